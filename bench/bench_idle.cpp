// Processor time of a register that polls with nothing to do: the analyser
// simulator on a pseudo-terminal, the first record fetched and acknowledged,
// then 10 s of idle turns (the next record is due only after two minutes)
// with the event loop running. The process's own time (all threads, the
// poller's worker included) is read from /proc/self/stat and given as a
// share of one core; the simulator's share is shown beside it. The same for
// the bare poller whose handlers never ask for anything (command 0), and for
// a window whose port has gone and that tries to reopen it every 2 s.
#include "analyser/OpSavro.h"
#include "app/Application.h"
#include "bench/BenchData.h"
#include "controls/numedit.h"
#include "register/Unit1.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <unistd.h>

namespace {

constexpr int kMeasureMs = 10000;
// Lets the exchange that ended the busy part settle before the clock starts.
constexpr int kSettleMs = 500;
constexpr quint16 kDevice = 1;

// Serves the event loop (and so the poller's hand-overs) for ms.
void serveEvents(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// utime + stime of a process in seconds from /proc/<pid>/stat; -1 when
// unreadable. The fields are counted after the command name's closing
// parenthesis, since the name itself may hold blanks.
double processCpuSeconds(const QString& pid) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = f.readAll();
    const qsizetype close = text.lastIndexOf(')');
    if (close < 0)
        return -1;
    // After ")": state(3) ppid(4) ... utime(14) stime(15).
    const QList<QByteArray> fields = text.mid(close + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    bool okU = false;
    bool okS = false;
    const double ticks = double(fields[11].toULongLong(&okU) + fields[12].toULongLong(&okS));
    if (!okU || !okS)
        return -1;
    return ticks / double(sysconf(_SC_CLK_TCK));
}

// The same for this process with nanosecond resolution, as a cross-check of
// the clock-tick figure.
double ownCpuSecondsFine() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// The analyser simulator as a child: its port, its event lines, its pid.
class Simulator {
public:
    Simulator() { process_.setProcessChannelMode(QProcess::ForwardedErrorChannel); }
    ~Simulator() {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Beside the benchmarks in the build's bin folder, unless SAVRO2_SIM names it.
    static QString Program() {
        const QString given = qEnvironmentVariable("SAVRO2_SIM");
        return given.isEmpty() ? QCoreApplication::applicationDirPath() + "/savro2-sim" : given;
    }

    // Starts it and waits for its PORT line; an empty text on success.
    QString Start(const QStringList& more = {}) {
        if (!QFileInfo(Program()).isExecutable())
            return Program() + " not found (build the savro2-sim target)";
        process_.start(Program(),
                       QStringList{"--device", QString::number(kDevice), "--verbose", "--no-stdin"} +
                           more);
        if (!process_.waitForStarted(10000))
            return "the simulator did not start";
        const QString line = WaitForLine("PORT ", 10000);
        port_ = line.mid(5).trimmed();
        return port_.isEmpty() ? "the simulator reported no port" : QString();
    }

    QString Port() const { return port_; }
    // The line goes as with a pulled cable: the simulator ends.
    void HangUp() {
        process_.terminate();
        process_.waitForFinished(5000);
    }
    QString Pid() const { return QString::number(process_.processId()); }

    QString WaitForLine(const QString& prefix, int timeoutMs) {
        const QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            Collect();
            for (const QString& l : lines_)
                if (l.startsWith(prefix))
                    return l;
            if (deadline.hasExpired() || process_.state() == QProcess::NotRunning)
                return {};
            serveEvents(10);
        }
    }

    int CountLines(const QString& prefix) {
        Collect();
        int n = 0;
        for (const QString& l : lines_)
            n += l.startsWith(prefix) ? 1 : 0;
        return n;
    }

private:
    void Collect() {
        partial_ += process_.readAllStandardOutput();
        qsizetype nl;
        while ((nl = partial_.indexOf('\n')) >= 0) {
            lines_.append(QString::fromUtf8(partial_.left(nl)).trimmed());
            partial_.remove(0, nl + 1);
        }
    }

    QProcess process_;
    QByteArray partial_;
    QStringList lines_;
    QString port_;
};

// Makes a folder the current one for its lifetime.
class CurrentFolder {
public:
    explicit CurrentFolder(const QString& path) : old_(QDir::currentPath()) { QDir::setCurrent(path); }
    ~CurrentFolder() { QDir::setCurrent(old_); }
    CurrentFolder(const CurrentFolder&) = delete;
    CurrentFolder& operator=(const CurrentFolder&) = delete;

private:
    QString old_;
};

struct IdleFigures {
    double wallSeconds = 0;
    double ownCpu = 0;     // /proc/self/stat
    double ownCpuFine = 0; // CLOCK_PROCESS_CPUTIME_ID
    double simCpu = 0;
    int turns = 0;
    int requests = 0;
};

// Runs the event loop for the measured span and notes what it cost.
// turns counts the poller's OnGetNumber hand-overs.
IdleFigures measureIdle(Simulator& sim, const int& turns) {
    IdleFigures f;
    const int turns0 = turns;
    const int requests0 = sim.CountLines("CMD ");
    const double own0 = processCpuSeconds("self");
    const double fine0 = ownCpuSecondsFine();
    const double sim0 = processCpuSeconds(sim.Pid());
    QElapsedTimer wall;
    wall.start();
    serveEvents(kMeasureMs);
    f.wallSeconds = double(wall.nsecsElapsed()) / 1e9;
    f.ownCpu = processCpuSeconds("self") - own0;
    f.ownCpuFine = ownCpuSecondsFine() - fine0;
    f.simCpu = processCpuSeconds(sim.Pid()) - sim0;
    f.turns = turns - turns0;
    f.requests = sim.CountLines("CMD ") - requests0;
    return f;
}

void report(benchmark::State& state, const IdleFigures& f) {
    state.SetIterationTime(f.wallSeconds);
    state.counters["cpu_%core"] = 100.0 * f.ownCpu / f.wallSeconds;
    state.counters["cpu_%core_ns"] = 100.0 * f.ownCpuFine / f.wallSeconds;
    state.counters["sim_%core"] = 100.0 * f.simCpu / f.wallSeconds;
    state.counters["turns/s"] = double(f.turns) / f.wallSeconds;
    // Frames sent while idle: anything but 0 means the cycle is not idle.
    state.counters["requests"] = f.requests;
}

// The window as the operator leaves it: shown, polling, nothing due.
void BM_IdleWindow(benchmark::State& state) {
    for (auto _ : state) {
        QTemporaryDir dir;
        Simulator sim;
        if (const QString why = dir.isValid() ? sim.Start() : "no temporary folder"; !why.isEmpty()) {
            state.SkipWithError(qPrintable(why));
            break;
        }
        // A results file named relative to the current folder stays in the temporary one.
        const CurrentFolder current(dir.path());
        QStringList errors;
        int turns = 0;
        {
            TForm1 form(nullptr, dir.filePath("Savro2.Ini"));
            form.ErrorBox = [&errors](const QString&, const QString& text) { errors << text; };
            form.AskSaveOnClose = [] { return QMessageBox::No; };
            form.OpSavro1->Port = sim.Port();
            form.NumberEdit1->SetValue(kDevice);
            const auto getNumber = form.OpSavro1->OnGetNumber;
            form.OpSavro1->OnGetNumber = [&turns, getNumber](TOpSavro* s) {
                ++turns;
                getNumber(s);
            };
            form.show();
            form.actOpr->trigger();
            // The first record is asked for at once and acknowledged (9);
            // after that nothing is due for two minutes.
            const bool acknowledged = !sim.WaitForLine("CMD 9", 20000).isEmpty();
            serveEvents(kSettleMs);
            if (!acknowledged || !form.OpSavro1->Active() || !errors.isEmpty()) {
                state.SkipWithError(errors.isEmpty() ? "the first record was not acknowledged"
                                                     : qPrintable(errors.join("; ")));
                form.close();
                break;
            }
            const IdleFigures f = measureIdle(sim, turns);
            report(state, f);
            form.close();
        }
    }
}

// The poller alone: every turn's handler leaves the command at 0.
void BM_IdlePoller(benchmark::State& state) {
    for (auto _ : state) {
        Simulator sim;
        if (const QString why = sim.Start(); !why.isEmpty()) {
            state.SkipWithError(qPrintable(why));
            break;
        }
        int turns = 0;
        bool openFailed = false;
        TOpSavro poller;
        poller.Port = sim.Port();
        poller.OnGetNumber = [&turns](TOpSavro* s) {
            ++turns;
            s->DeviceNumber = kDevice;
            s->Command = 0;
        };
        poller.OnErrorOpenPort = [&openFailed](TOpSavro*) { openFailed = true; };
        poller.Start();
        const QDeadlineTimer bound(20000);
        while (turns == 0 && !openFailed && !bound.hasExpired())
            serveEvents(10);
        serveEvents(kSettleMs);
        if (turns == 0 || openFailed || !poller.Active()) {
            state.SkipWithError(openFailed ? "the port could not be opened" : "the poller made no turn");
            poller.Stop();
            break;
        }
        const IdleFigures f = measureIdle(sim, turns);
        report(state, f);
        poller.Stop();
        const QDeadlineTimer end(20000);
        while (poller.Active() && !end.hasExpired())
            serveEvents(10);
    }
}

// A window whose port went away: polling waits for it, trying every 2 s.
void BM_IdleRetrying(benchmark::State& state) {
    for (auto _ : state) {
        QTemporaryDir dir;
        Simulator sim;
        const QString link = dir.filePath("savro-line");
        if (const QString why = dir.isValid() ? sim.Start({"--link", link}) : "no temporary folder";
            !why.isEmpty()) {
            state.SkipWithError(qPrintable(why));
            break;
        }
        const CurrentFolder current(dir.path());
        QStringList errors;
        {
            TForm1 form(nullptr, dir.filePath("Savro2.Ini"));
            form.ErrorBox = [&errors](const QString&, const QString& text) { errors << text; };
            form.AskSaveOnClose = [] { return QMessageBox::No; };
            form.OpSavro1->Port = link;
            form.NumberEdit1->SetValue(kDevice);
            form.show();
            form.actOpr->trigger();
            const bool acknowledged = !sim.WaitForLine("CMD 9", 20000).isEmpty();
            sim.HangUp();
            const QDeadlineTimer bound(20000);
            while (!form.Link.Retrying() && !bound.hasExpired())
                serveEvents(10);
            if (!acknowledged || !form.Link.Retrying()) {
                state.SkipWithError("the lost port was not noticed");
                form.close();
                break;
            }
            IdleFigures f;
            const int tries0 = form.Link.RetryCount();
            const double own0 = processCpuSeconds("self");
            const double fine0 = ownCpuSecondsFine();
            QElapsedTimer wall;
            wall.start();
            serveEvents(kMeasureMs);
            f.wallSeconds = double(wall.nsecsElapsed()) / 1e9;
            f.ownCpu = processCpuSeconds("self") - own0;
            f.ownCpuFine = ownCpuSecondsFine() - fine0;
            state.SetIterationTime(f.wallSeconds);
            state.counters["cpu_%core"] = 100.0 * f.ownCpu / f.wallSeconds;
            state.counters["cpu_%core_ns"] = 100.0 * f.ownCpuFine / f.wallSeconds;
            state.counters["tries"] = form.Link.RetryCount() - tries0;
            form.actOpr->trigger();
            form.close();
        }
    }
}

BENCHMARK(BM_IdleWindow)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_IdlePoller)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_IdleRetrying)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    return RunWindowBenchmarks(argc, argv);
}
