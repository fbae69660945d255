// Start-up of the main window as the operator sees it: construction (reading
// Savro2.Ini, filling the menus, loading the current results file), then
// show and the first paint of the grid, offscreen. Once with an empty table
// and once with a full day's register (50,000 rows, every field filled).
// The first window of the process is timed on its own: it also pays Qt's
// one-time costs (fonts, styles, resources), as a real program start does.
#include "app/Application.h"
#include "bench/BenchData.h"
#include "config/ConfigFile.h"
#include "config/iniplus.h"
#include "register/ClGrid.h"
#include "register/Unit1.h"
#include "results/ResultsTable.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <memory>

namespace {

constexpr int kRows = 50000;

// Files shared by all benchmarks of the run: a configuration per case and
// the 50,000-row register.
struct Data {
    QTemporaryDir dir;
    QString emptyConfig;
    QString fullConfig;
    QString fullFile;
    bool ok = false;

    Data() {
        if (!dir.isValid())
            return;
        fullFile = dir.filePath("day.txt");
        const QByteArray bytes = YearOfSamples(kRows);
        QFile f(fullFile);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            return;
        f.close();
        try {
            emptyConfig = makeConfig("empty", dir.filePath("missing.txt"));
            fullConfig = makeConfig("full", fullFile);
            ok = true;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "cannot prepare the configuration: %s\n", e.what());
        }
    }

    // The default configuration with FileName pointing at file.
    QString makeConfig(const QString& folder, const QString& file) {
        QDir(dir.path()).mkpath(folder);
        const QString path = dir.filePath(folder + "/Savro2.Ini");
        EnsureConfigFile(path);
        TIniPlus(path).WriteText("Config", "FileName", file);
        return path;
    }
};

Data& data() {
    static Data d;
    return d;
}

// Notes the grid's first paint; the window's whole backing store is painted
// and flushed by the time the event that caused it has been processed.
class PaintSpy : public QObject {
public:
    using QObject::QObject;
    bool painted = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            painted = true;
        return QObject::eventFilter(watched, event);
    }
};

// A modal box would block the run for good (offscreen, nobody clicks):
// close any that appears and remember that it did.
class ModalWatchdog {
public:
    ModalWatchdog() {
        timer_.setInterval(200);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (QWidget* box = QApplication::activeModalWidget()) {
                fired = true;
                box->close();
            }
        });
        timer_.start();
    }
    bool fired = false;

private:
    QTimer timer_;
};

struct StartUp {
    qint64 nanoseconds = 0;
    qint64 constructNanoseconds = 0;
    qint64 heapBytes = 0; // heap in use by the shown window
    int rows = 0;
    QString error;
};

// One start-up: construct, show, wait for the first paint. The window is
// destroyed after the clock has stopped.
StartUp startWindow(const QString& configPath) {
    StartUp result;
    ModalWatchdog watchdog;
    const size_t heapBefore = mallinfo2().uordblks;
    QElapsedTimer clock;
    clock.start();
    auto form = std::make_unique<TForm1>(nullptr, configPath);
    result.constructNanoseconds = clock.nsecsElapsed();
    // Errors during creation would otherwise go to a modal box.
    form->ErrorBox = [&result](const QString&, const QString& text) { result.error = text; };
    PaintSpy spy;
    form->MainGrid->viewport()->installEventFilter(&spy);
    form->show();
    const QDeadlineTimer bound(60000);
    // Blocks until something happens; the watchdog's timer wakes it at least every 200 ms.
    while (!spy.painted && !bound.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    result.nanoseconds = clock.nsecsElapsed();
    result.heapBytes = qint64(mallinfo2().uordblks) - qint64(heapBefore);
    result.rows = form->Table()->RowCount();
    if (!spy.painted)
        result.error = "the grid was never painted";
    if (watchdog.fired && result.error.isEmpty())
        result.error = "an error box appeared during start-up";
    form->MainGrid->viewport()->removeEventFilter(&spy);
    form.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    return result;
}

// expectedRows: table rows after loading (titles, data, entry row).
void runStartUp(benchmark::State& state, const QString& configPath, int dataRows,
                int expectedRows) {
    Data& d = data();
    if (!d.ok) {
        state.SkipWithError("test data could not be written");
        return;
    }
    double seconds = 0;
    double constructSeconds = 0;
    qint64 heapBytes = 0;
    for (auto _ : state) {
        const StartUp s = startWindow(configPath);
        if (!s.error.isEmpty() || s.rows != expectedRows) {
            const QString why = s.error.isEmpty()
                                    ? QString("%1 table rows, expected %2").arg(s.rows).arg(expectedRows)
                                    : s.error;
            state.SkipWithError(qPrintable(why));
            break;
        }
        const double t = double(s.nanoseconds) / 1e9;
        state.SetIterationTime(t);
        seconds += t;
        constructSeconds += double(s.constructNanoseconds) / 1e9;
        heapBytes = std::max(heapBytes, s.heapBytes);
    }
    if (state.iterations() > 0 && seconds > 0) {
        const double n = double(state.iterations());
        state.counters["ms"] = seconds * 1e3 / n;
        // Construction (configuration, menus, loading) against show and first paint.
        state.counters["create_ms"] = constructSeconds * 1e3 / n;
        state.counters["show_paint_ms"] = (seconds - constructSeconds) * 1e3 / n;
        // Heap the shown window holds: model, view, menus, all of it.
        state.counters["heap_kB"] = double(heapBytes) / 1024.0;
        if (dataRows > 0) {
            state.counters["rows/s"] = double(dataRows) * double(state.iterations()) / seconds;
            state.counters["heap_bytes/row"] = double(heapBytes) / double(dataRows);
        }
    }
}

// A missing results file: the table holds the titles and the entry row.
void BM_StartUpEmptyFirstWindow(benchmark::State& state) {
    runStartUp(state, data().emptyConfig, 0, 2);
}

void BM_StartUpEmpty(benchmark::State& state) {
    runStartUp(state, data().emptyConfig, 0, 2);
}

// The last line holds a measurement, so an entry row follows the data.
void BM_StartUp50000Rows(benchmark::State& state) {
    runStartUp(state, data().fullConfig, kRows, kRows + 2);
}

// Registered first so it really is the process's first window.
BENCHMARK(BM_StartUpEmptyFirstWindow)->Iterations(1)->UseManualTime()->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StartUpEmpty)->UseManualTime()->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StartUp50000Rows)->UseManualTime()->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    // The data is written before any clock runs.
    return RunWindowBenchmarks(argc, argv, [] { data(); });
}
