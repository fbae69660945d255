// A 400,000-row results file imported into the archive, as "Импорт в
// архив…" does it (a thread and a connection of its own, in batches), while
// the register's document is polled on the main thread as the window's
// hand-overs poll it: a measurement asked for every second, written (ack
// slot, recovery copy, archive) and acknowledged. Reported: the main
// thread's longest stall (the longest gap between runs of a 10 ms timer;
// target under 100 ms), the longest time from a measurement taken to its
// acknowledgement, how often one was held for a busy archive, and the
// import's rate. Once more polling alone for 20 s, for the stall the
// register's own synced writes cost without an import.
#include "archive/ImportJob.h"
#include "bench/BenchData.h"
#include "document/RegisterDocument.h"
#include "measurement/RecordDecoder.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>

namespace {

constexpr int kImportRows = 400000;
constexpr int kTurnMs = 100;   // the poller's idle turn
constexpr int kTickMs = 10;    // the stall probe
constexpr qint64 kIntervalMs = 1000; // a measurement asked for this often
constexpr qint64 kAloneMs = 20000;    // polling without an import

QByteArray RecordReply(int n) {
    TMeasurementRecord record;
    record.Mask = 0xFFF;
    record.Flags = 0x0800;
    record.Calibration = 3;
    for (int k = 0; k < 12; ++k)
        record.Values[k] = n + k * 0.25;
    return EncodeRecordCarriers(record) + QByteArray("\x91\xa0\xa0\xa0", 4);
}

// Years of a lab's results: rows five minutes apart, 12 indicators, code page 1251.
QByteArray ResultsFile() {
    QByteArray bytes;
    bytes.reserve(qsizetype(kImportRows) * 120);
    QDateTime when(QDate(2019, 1, 14), QTime(8, 0));
    for (int r = 0; r < kImportRows; ++r, when = when.addSecs(300)) {
        bytes += "\xcf\xf0\xee\xe1\xe0 " + QByteArray::number(r % 40); // "Проба N"
        bytes += '\t' + when.toString(QStringLiteral("dd.MM.yyyy\tHH:mm:ss")).toLatin1();
        bytes += '\t' + QByteArray::number(r % 8);
        for (int k = 0; k < IndicatorCount; ++k) {
            bytes += '\t';
            if (k < 12)
                bytes += QByteArray::number(5.0 + k + double((r * 31 + k * 7) % 1000) / 100, 'f',
                                            2)
                             .replace('.', ',');
        }
        bytes += "\r\n";
    }
    return bytes;
}

struct TFile {
    QTemporaryDir Dir;
    QString Path;
    bool Ok = false;
    TFile() {
        Path = Dir.filePath(QStringLiteral("years.txt"));
        QFile f(Path);
        const QByteArray bytes = ResultsFile();
        Ok = f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    }
};

TFile& File() {
    static TFile file;
    return file;
}

// The analyser's side of the turns: one measurement at a time, new until
// acknowledged, offered again after a held one is asked for again.
struct TPolling {
    explicit TPolling(TRegisterDocument& doc) : Doc(doc) {}
    TRegisterDocument& Doc;
    quint8 Command = 0;
    int Measurement = 1;
    int Taken = 0;
    int Held = 0;
    QElapsedTimer Since; // the current measurement's take
    qint64 LongestAckMs = 0;

    void Turn() {
        Command = Doc.CommandForTurn(Command);
        if (Command == 6) {
            const int rows = Doc.Table().RowCount();
            Command = Doc.PutRecordReply(6, ReplyStatusComplete, RecordReply(Measurement), true);
            if (Doc.Table().RowCount() != rows) {
                ++Taken;
                Since.start();
            }
            Held += Command == 0 && Doc.Held() ? 1 : 0;
        }
        if (Command == 9) {
            Command = Doc.PutRecordReply(9, ReplyStatusComplete, {}, true);
            LongestAckMs = std::max(LongestAckMs, Since.elapsed());
            ++Measurement;
        }
    }
};

void run(benchmark::State& state, bool import) {
    if (!File().Ok) {
        state.SkipWithError("the results file could not be written");
        return;
    }
    for (auto _ : state) {
        QTemporaryDir dir;
        TRegisterDocument doc(dir.filePath(QStringLiteral("data")),
                              dir.filePath(QStringLiteral("locks")));
        doc.Cycle().IntervalMs = kIntervalMs;
        doc.Start(dir.filePath(QStringLiteral("day.txt")));
        doc.SetLink(QStringLiteral("ttyUSB0"), 1);
        TPolling polling(doc);
        polling.Turn(); // the first measurement, before the import

        QTimer turns;
        QObject::connect(&turns, &QTimer::timeout, [&polling] { polling.Turn(); });
        turns.start(kTurnMs);
        QElapsedTimer sinceTick;
        qint64 longestStallMs = 0;
        QTimer probe;
        probe.setTimerType(Qt::PreciseTimer);
        QObject::connect(&probe, &QTimer::timeout, [&] {
            longestStallMs = std::max(longestStallMs, sinceTick.restart());
        });

        TImportJob job(QFileInfo(doc.Archive()->Path()).absolutePath(), {File().Path});
        QElapsedTimer clock;
        clock.start();
        sinceTick.start();
        probe.start(kTickMs);
        if (import) {
            job.start();
            while (!job.isFinished())
                QCoreApplication::processEvents(QEventLoop::AllEvents |
                                                QEventLoop::WaitForMoreEvents);
        } else {
            while (clock.elapsed() < kAloneMs)
                QCoreApplication::processEvents(QEventLoop::AllEvents |
                                                QEventLoop::WaitForMoreEvents);
        }
        const double seconds = double(clock.elapsed()) / 1000;
        probe.stop();
        turns.stop();
        state.SetIterationTime(seconds);
        if (import) {
            try {
                const TArchiveImport::TResult result = job.Result();
                state.counters["rows/s"] = double(result.Added) / seconds;
            } catch (const std::exception& e) {
                state.SkipWithError(e.what());
                break;
            }
        }
        state.counters["stall_ms"] = double(longestStallMs);
        state.counters["measurements"] = polling.Taken;
        state.counters["held"] = polling.Held;
        state.counters["longest_ack_ms"] = double(polling.LongestAckMs);
    }
}

void BM_Import400000WhilePolling(benchmark::State& state) {
    run(state, true);
}

// The same polling without an import: the stall of the register's own writes.
void BM_PollingAlone(benchmark::State& state) {
    run(state, false);
}

BENCHMARK(BM_Import400000WhilePolling)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_PollingAlone)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    // The file is written before any clock runs.
    return RunWindowBenchmarks(argc, argv, [] { File(); });
}
