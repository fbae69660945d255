// From a record reply handed to the window (OpSavro1PutResult's body) to the
// recovery copy synced on disk, with a 50-row and a 50,000-row table: the
// time command 9 waits for. The whole copy is written once, by the first
// measurement; the timed ones append. For comparison, the full rewrite that
// the coalesced edits use.
#include "bench/BenchData.h"
#include "config/ConfigFile.h"
#include "config/iniplus.h"
#include "measurement/RecordDecoder.h"
#include "register/Unit1.h"
#include "results/ResultsTable.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>

namespace {

QByteArray RecordReply(double value) {
    TMeasurementRecord record;
    record.Mask = 0x7FFFFFF; // all 27 indicators
    record.Flags = 0x0800;
    record.Calibration = 7;
    for (int k = 0; k < IndicatorCount; ++k)
        record.Values[k] = value + k;
    return EncodeRecordCarriers(record) + QByteArray("\x91\xa0\xa0\xa0", 4);
}

// A window on a results file of rows samples, its recovery folder fresh.
struct TWindow {
    QTemporaryDir dir;
    std::unique_ptr<TForm1> form;
    QString error;

    explicit TWindow(int rows) {
        const QString file = dir.filePath(QStringLiteral("day.txt"));
        QFile f(file);
        const QByteArray bytes = YearOfSamples(rows);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size()) {
            error = QStringLiteral("cannot write the results file");
            return;
        }
        f.close();
        const QString ini = dir.filePath(QStringLiteral("Savro2.Ini"));
        EnsureConfigFile(ini);
        TIniPlus(ini).WriteText(QStringLiteral("Config"), QStringLiteral("FileName"), file);
        qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath(QStringLiteral("data"))));
        form = std::make_unique<TForm1>(nullptr, ini);
        form->ErrorBox = [this](const QString&, const QString& text) { error = text; };
        form->AskRestore = [](const QString&) { return QMessageBox::No; };
        // The first measurement writes the whole copy.
        Measure(0.5);
    }

    void Measure(double value) {
        form->PutRecordReply(6, ReplyStatusComplete, RecordReply(value), true);
    }
    void Acknowledge() { form->PutRecordReply(9, ReplyStatusComplete, {}, true); }
};

using Clock = std::chrono::steady_clock;

void runMeasurement(benchmark::State& state, int rows) {
    TWindow w(rows);
    if (!w.error.isEmpty()) {
        state.SkipWithError(qPrintable(w.error));
        return;
    }
    w.Acknowledge();
    const int appendsBefore = w.form->Doc.Recovery().Appends();
    double value = 1.0;
    for (auto _ : state) {
        const auto start = Clock::now();
        w.Measure(value);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        w.Acknowledge();
        value += 1.0;
    }
    QCoreApplication::processEvents(); // a failure is shown queued
    if (!w.error.isEmpty())
        state.SkipWithError(qPrintable(w.error));
    state.counters["rows"] = rows;
    state.counters["appends"] = w.form->Doc.Recovery().Appends() - appendsBefore;
}

void runRewrite(benchmark::State& state, int rows) {
    TWindow w(rows);
    if (!w.error.isEmpty()) {
        state.SkipWithError(qPrintable(w.error));
        return;
    }
    for (auto _ : state) {
        const auto start = Clock::now();
        w.form->Doc.Recovery().Write(*w.form->Table());
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
    state.counters["rows"] = rows;
}

void BM_MeasurementToDisk50Rows(benchmark::State& state) { runMeasurement(state, 50); }
void BM_MeasurementToDisk50000Rows(benchmark::State& state) { runMeasurement(state, 50000); }
void BM_FullRewrite50Rows(benchmark::State& state) { runRewrite(state, 50); }
void BM_FullRewrite50000Rows(benchmark::State& state) { runRewrite(state, 50000); }

BENCHMARK(BM_MeasurementToDisk50Rows)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MeasurementToDisk50000Rows)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullRewrite50Rows)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullRewrite50000Rows)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    return RunWindowBenchmarks(argc, argv);
}
