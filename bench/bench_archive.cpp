// The archive at the size of years of lab work: a million measurements over
// three years, some forty sample names, the reference sample among them
// often. Timed: one measurement stored durably, the archive window's first
// page and chart points for one sample over 90 days, the export of every row,
// and the import of a 50,000-row results file. The archive is built once per
// run; its bytes per measurement are reported beside the first benchmark.
#include "app/ArchiveCommand.h"
#include "archive/ArchiveExport.h"
#include "archive/ArchiveImport.h"
#include "config/Cp1251.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QUuid>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <random>

namespace {

constexpr qint64 kRows = 1000000;
constexpr int kBatch = 10000;
constexpr int kImportRows = 50000;
constexpr int kDays = 3 * 365;
const QString kReference = QStringLiteral("Контрольный образец");
const QDateTime kStart(QDate(2023, 1, 9), QTime(8, 0));

QString SampleName(int n) {
    static const char* const kinds[] = {"Пиво светлое",  "Пиво тёмное", "Квас", "Сидр",
                                        "Вино столовое", "Сусло",       "Морс", "Медовуха"};
    return QStringLiteral("%1 №%2").arg(QString::fromUtf8(kinds[n % 8])).arg(n / 8 + 1);
}

// A measurement as the analyser gives it: its record bytes, 12 of the 27
// indicators, the reference sample every fourth time.
TArchiveMeasurement Measurement(std::mt19937& random, const QDateTime& when) {
    TArchiveMeasurement m;
    m.Uid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    m.Device = 1;
    m.Port = QStringLiteral("/dev/ttyUSB0");
    m.Computer = QStringLiteral("lab-pc");
    m.User = QStringLiteral("operator");
    m.ProgramVersion = QStringLiteral("1.0.0");
    m.Measured = when;
    m.Received = when.addMSecs(350);
    m.Calibration = int(random() % 8);
    std::uniform_real_distribution<double> spread(-1, 1);
    for (int k = 0; k < 12; ++k)
        m.Values[size_t(k)] = (k >= 4 && k <= 7 ? 1.01 : 5.0 + k) + spread(random) * 0.05;
    m.Raw = QByteArray(115, '\0');
    for (char& c : m.Raw)
        c = char(random());
    m.ResultsFile =
        QStringLiteral("/home/operator/Результаты/%1.txt").arg(when.date().toString(Qt::ISODate));
    m.SampleName = random() % 4 == 0 ? kReference : SampleName(int(random() % 39));
    m.Source = TArchive::SourceAnalyser;
    return m;
}

// The big archive, built once: kRows measurements evenly over kDays.
struct TBigArchive {
    QTemporaryDir Dir;
    std::unique_ptr<TArchive> Archive;
    std::mt19937 Random{20260308};
    QDateTime End;

    TBigArchive() {
        QElapsedTimer timer;
        timer.start();
        Archive = std::make_unique<TArchive>(Dir.filePath(QStringLiteral("archive")));
        const qint64 stepMs = qint64(kDays) * 86400000 / kRows;
        std::vector<TArchiveMeasurement> batch;
        for (qint64 n = 0; n < kRows; n += kBatch) {
            batch.clear();
            for (qint64 i = n; i < n + kBatch; ++i)
                batch.push_back(
                    Measurement(Random, kStart.addMSecs(i * stepMs - i * stepMs % 1000)));
            Archive->AddAll(batch);
        }
        End = kStart.addDays(kDays);
        std::fprintf(stderr, "archive of %lld rows built in %.1f s\n", kRows,
                     double(timer.elapsed()) / 1000);
    }

    qint64 Bytes() const {
        qint64 total = 0;
        for (const char* tail : {"", "-wal"})
            total += QFileInfo(Archive->Path() + QLatin1String(tail)).size();
        return total;
    }
};

TBigArchive& Big() {
    static TBigArchive big;
    return big;
}

TArchiveFilter Reference90Days() {
    TArchiveFilter filter;
    filter.To = Big().End;
    filter.From = filter.To.addDays(-90);
    filter.SampleContains = QStringLiteral("контрольный");
    return filter;
}

// A results file of kImportRows measurements, five minutes apart.
QByteArray ResultsFile() {
    std::mt19937 random(7);
    QByteArray bytes;
    QDateTime when(QDate(2026, 1, 12), QTime(8, 0));
    for (int r = 0; r < kImportRows; ++r, when = when.addSecs(300)) {
        bytes += Cp1251::encode(r % 4 == 0 ? kReference : SampleName(r % 39));
        bytes += '\t' + when.toString(QStringLiteral("dd.MM.yyyy\tHH:mm:ss")).toLatin1();
        bytes += '\t' + QByteArray::number(r % 8);
        for (int k = 0; k < IndicatorCount; ++k) {
            bytes += '\t';
            if (k < 12)
                bytes += QByteArray::number(5.0 + k + double(random() % 1000) / 100, 'f', 2)
                             .replace('.', ',');
        }
        bytes += "\r\n";
    }
    return bytes;
}

void BM_AddDurable(benchmark::State& state) {
    TBigArchive& big = Big();
    QDateTime when = big.End;
    for (auto _ : state) {
        state.PauseTiming();
        const TArchiveMeasurement m = Measurement(big.Random, when = when.addSecs(60));
        state.ResumeTiming();
        big.Archive->Add(m);
    }
    const qint64 count = big.Archive->Count({});
    state.counters["rows"] = double(count);
    state.counters["bytes/measurement"] = double(big.Bytes()) / double(count);
}

void BM_SampleFirstPage(benchmark::State& state) {
    const TArchiveFilter filter = Reference90Days();
    size_t rows = 0;
    for (auto _ : state)
        rows = Big().Archive->Page(filter, std::nullopt, 200).size();
    state.counters["rows"] = double(rows);
}

void BM_SamplePoints(benchmark::State& state) {
    const TArchiveFilter filter = Reference90Days();
    size_t points = 0;
    for (auto _ : state)
        points = Big().Archive->Points(filter, 0).size();
    state.counters["points"] = double(points);
}

void BM_ExportCsv(benchmark::State& state) {
    const QString file = Big().Dir.filePath(QStringLiteral("export.csv"));
    TArchiveFilter all;
    qint64 rows = 0;
    for (auto _ : state)
        rows = TArchiveExport::WriteFile(*Big().Archive, all, TExportFormat::CsvRu,
                                         TArchiveSettings(), QStringList(), file);
    state.counters["rows"] = double(rows);
    state.counters["MB"] = double(QFileInfo(file).size()) / 1e6;
    QFile::remove(file);
}

void BM_ImportResultsFile(benchmark::State& state) {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("results.txt"));
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(ResultsFile()) < 0)
        state.SkipWithError("cannot write the results file");
    out.close();
    int round = 0;
    qint64 added = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto archive =
            std::make_unique<TArchive>(dir.filePath(QStringLiteral("archive%1").arg(++round)));
        state.ResumeTiming();
        added = TArchiveImport::ImportFiles(*archive, {file}).Added;
    }
    state.counters["added"] = double(added);
}

BENCHMARK(BM_AddDurable)->Unit(benchmark::kMillisecond)->Iterations(200);
BENCHMARK(BM_SampleFirstPage)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SamplePoints)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExportCsv)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_ImportResultsFile)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    // As the command line runs them.
    TArchiveCommand::HoldTimeZone();
    QCoreApplication app(argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
