// Loading and saving a full day's register (50,000 rows, every field filled),
// each next to the plainest code that moves the same bytes: read-and-split
// for loading, join-and-write for saving. The ratios are printed at the end.
#include "bench/BenchData.h"
#include "results/ResultsFile.h"
#include "results/ResultsTable.h"

#include <QByteArrayList>
#include <QFile>
#include <QSaveFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kRows = 50000;

// The same file for every benchmark of the run.
struct Data {
    QTemporaryDir dir;
    QString input;
    QString output;
    QByteArray bytes;

    Data() {
        input = dir.filePath("day.txt");
        output = dir.filePath("out.txt");
        bytes = YearOfSamples(kRows);
        QFile f(input);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            std::fprintf(stderr, "cannot write %s\n", qPrintable(input));
    }
};

Data& data() {
    static Data d;
    return d;
}

using SplitRows = std::vector<QByteArrayList>;

SplitRows readAndSplit(const QString& path) {
    SplitRows rows;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return rows;
    const QByteArray all = f.readAll();
    rows.reserve(kRows);
    for (const QByteArray& line : all.split('\n')) {
        if (line.isEmpty())
            continue;
        rows.push_back(line.chopped(line.endsWith('\r') ? 1 : 0).split('\t'));
    }
    return rows;
}

qsizetype splitMemory(const SplitRows& rows) {
    constexpr qsizetype kHeader = 16;
    qsizetype total = qsizetype(rows.capacity() * sizeof(QByteArrayList));
    for (const QByteArrayList& row : rows) {
        total += row.capacity() * qsizetype(sizeof(QByteArray)) + kHeader;
        for (const QByteArray& field : row)
            total += field.capacity() + 1 + kHeader;
    }
    return total;
}

void setRowCounters(benchmark::State& state, qsizetype memory, qsizetype rows) {
    state.counters["rows/s"] = benchmark::Counter(double(kRows), benchmark::Counter::kIsIterationInvariantRate);
    if (memory > 0)
        state.counters["bytes/row"] = double(memory) / double(rows);
}

void BM_LoadModel(benchmark::State& state) {
    Data& d = data();
    qsizetype memory = 0;
    qsizetype rows = 1;
    for (auto _ : state) {
        TResultsTable table;
        LoadResultsFile(table, d.input);
        benchmark::DoNotOptimize(table.RowCount());
        memory = table.MemoryBytes();
        rows = table.RowCount();
    }
    setRowCounters(state, memory, rows);
}

void BM_LoadBaseline(benchmark::State& state) {
    Data& d = data();
    qsizetype memory = 0;
    qsizetype rows = 1;
    for (auto _ : state) {
        SplitRows split = readAndSplit(d.input);
        benchmark::DoNotOptimize(split.size());
        memory = splitMemory(split);
        rows = qsizetype(split.size());
    }
    setRowCounters(state, memory, rows);
}

void BM_SaveModel(benchmark::State& state) {
    Data& d = data();
    TResultsTable table;
    LoadResultsFile(table, d.input);
    for (auto _ : state)
        SaveResultsFile(table, d.output);
    setRowCounters(state, 0, 1);
}

void BM_SaveBaseline(benchmark::State& state) {
    Data& d = data();
    const SplitRows rows = readAndSplit(d.input);
    for (auto _ : state) {
        // Same atomic replace as the model's save, so only the formatting differs.
        QSaveFile f(d.output);
        if (!f.open(QIODevice::WriteOnly)) {
            state.SkipWithError("cannot open output");
            break;
        }
        QByteArray out;
        for (const QByteArrayList& row : rows) {
            out += row.join('\t');
            out += "\r\n";
        }
        f.write(out);
        f.commit();
    }
    setRowCounters(state, 0, 1);
}

BENCHMARK(BM_LoadModel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadBaseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveModel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveBaseline)->Unit(benchmark::kMillisecond);

// Keeps each benchmark's time per iteration for the closing ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.iterations > 0 && !run.error_occurred)
                times[run.benchmark_name()] = run.real_accumulated_time / double(run.iterations);
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

void printRatio(const RatioReporter& r, const char* model, const char* baseline) {
    const auto m = r.times.find(model);
    const auto b = r.times.find(baseline);
    if (m == r.times.end() || b == r.times.end() || b->second <= 0)
        return;
    std::printf("%s / %s = %.2f (target: within 3x)\n", model, baseline, m->second / b->second);
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printRatio(reporter, "BM_LoadModel", "BM_LoadBaseline");
    printRatio(reporter, "BM_SaveModel", "BM_SaveBaseline");
    benchmark::Shutdown();
    return 0;
}
