#include "measurement/RecordDecoder.h"
#include "measurement/ValueText.h"

#include <benchmark/benchmark.h>

#include <cmath>

namespace {

// A record with all 27 indicators present and values of the usual size.
QByteArray typicalReply() {
    TMeasurementRecord rec;
    rec.Mask = (1u << IndicatorCount) - 1;
    rec.Flags = 0x0800;
    rec.Calibration = 5;
    for (int k = 0; k < IndicatorCount; ++k)
        rec.Values[k] = (k % 3 == 0 ? -1.0 : 1.0) * (0.013 + k * 7.77) * std::pow(10.0, k % 5 - 2);
    return EncodeRecordCarriers(rec, 0x30) + QByteArray("\x31\x32\x33\x34", 4);
}

void BM_DecodeAndFormatRecord(benchmark::State& state) {
    const QByteArray reply = typicalReply();
    const QChar separator(',');
    TMeasurementRecord rec;
    for (auto _ : state) {
        const bool ok = DecodeRecord(0x40, reply, rec);
        benchmark::DoNotOptimize(ok);
        for (int k = 0; k < IndicatorCount; ++k)
            if (rec.Mask & (1u << k)) {
                QString text = TValueText::Table(rec.Values[k], separator);
                benchmark::DoNotOptimize(text);
            }
    }
}
BENCHMARK(BM_DecodeAndFormatRecord);

void BM_DecodeRecordOnly(benchmark::State& state) {
    const QByteArray reply = typicalReply();
    TMeasurementRecord rec;
    for (auto _ : state) {
        const bool ok = DecodeRecord(0x40, reply, rec);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(rec);
    }
}
BENCHMARK(BM_DecodeRecordOnly);

// The slowest input for the exact decimal expansion: many fraction digits.
void BM_FormatSmallestDeviceFloat(benchmark::State& state) {
    const double value = std::ldexp(double((1 << 23) - 1), -150);
    for (auto _ : state) {
        QString text = TValueText::Table(value, QChar(','));
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_FormatSmallestDeviceFloat);

} // namespace

BENCHMARK_MAIN();
