// Building the chart of one indicator, all samples, for a year of samples
// (50,000 rows): the core's point selection, limits and rules on their own;
// the chart window's whole rebuild of its data (sample list, series, lines,
// axes); and that with one drawing of the chart, offscreen. The dates and
// times are spread over the year so every row's date and time is read, as in
// a real register.
#include "bench/BenchData.h"
#include "chart/ChartWindow.h"
#include "config/Cp1251.h"
#include "qc/ControlChart.h"
#include "results/ResultsFile.h"
#include "results/ResultsTable.h"

#include <QFile>
#include <QPixmap>
#include <QTemporaryDir>
#include <QtCharts/QChartView>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>

namespace {

constexpr int kRows = 50000;
constexpr int kAlcohol = 6;
const QLocale kRu(QLocale::Russian, QLocale::Russia);

// The register loaded from the shared year of samples, with names repeating
// as a lab's do (a reference and some products) and one row every ten
// minutes or so from the first of January on.
TResultsTable& table() {
    static std::unique_ptr<TResultsTable> t = [] {
        auto table = std::make_unique<TResultsTable>();
        QTemporaryDir dir;
        const QString file = dir.filePath("year.txt");
        QFile f(file);
        const QByteArray bytes = YearOfSamples(kRows);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
        f.close();
        LoadResultsFile(*table, file);
        const QDateTime start(QDate(2026, 1, 1), QTime(8, 0, 0));
        for (int r = 1; r <= kRows; ++r) {
            const QDateTime when = start.addSecs(qint64(r) * 631);
            table->SetCell(1, r,
                           Cp1251::encode(r % 4 == 0 ? QStringLiteral("Эталон")
                                                     : QStringLiteral("Пиво %1").arg(r % 40)));
            table->SetCell(2, r, Cp1251::encode(kRu.toString(when.date(), QLocale::ShortFormat)));
            table->SetCell(3, r, Cp1251::encode(when.time().toString(QStringLiteral("HH:mm:ss"))));
        }
        return table;
    }();
    return *t;
}

void BM_ChartData_AllSamples(benchmark::State& state) {
    TResultsTable& t = table();
    size_t points = 0;
    for (auto _ : state) {
        const TChartData data = ControlChart::Build(t, kAlcohol, QString(), kRu);
        points = data.Points.size();
        benchmark::DoNotOptimize(data.Limits.Sigma);
    }
    state.counters["points"] = double(points);
}
BENCHMARK(BM_ChartData_AllSamples)->Unit(benchmark::kMillisecond);

void BM_ChartData_OneSample(benchmark::State& state) {
    TResultsTable& t = table();
    for (auto _ : state) {
        const TChartData data = ControlChart::Build(t, kAlcohol, QStringLiteral("Эталон"), kRu);
        benchmark::DoNotOptimize(data.Limits.Sigma);
    }
}
BENCHMARK(BM_ChartData_OneSample)->Unit(benchmark::kMillisecond);

// What a new measurement or a changed choice costs the open window.
void BM_ChartWindow_Rebuild(benchmark::State& state) {
    TResultsTable& t = table();
    TChartWindow window(&t, kRu);
    window.SetColumn(kAlcohol);
    window.show();
    for (auto _ : state)
        window.Rebuild();
    state.counters["points"] = double(window.Data().Points.size());
}
BENCHMARK(BM_ChartWindow_Rebuild)->Unit(benchmark::kMillisecond);

// The same and the picture the operator then sees: the chart drawn once.
void BM_ChartWindow_RebuildAndDraw(benchmark::State& state) {
    TResultsTable& t = table();
    TChartWindow window(&t, kRu);
    window.SetColumn(kAlcohol);
    window.show();
    for (auto _ : state) {
        window.Rebuild();
        const QPixmap picture = window.ChartView->grab();
        benchmark::DoNotOptimize(picture.cacheKey());
    }
}
BENCHMARK(BM_ChartWindow_RebuildAndDraw)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    return RunWindowBenchmarks(argc, argv, [] { table(); });
}
