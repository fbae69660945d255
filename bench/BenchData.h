#pragma once

#include <QByteArray>

// A year of samples as the register saves them: rows of 31 tab-separated
// fields (name, date, time, calibration, 27 indicators), CR LF each, code
// page 1251.
inline QByteArray YearOfSamples(int rows) {
    constexpr int kIndicators = 27;
    QByteArray bytes;
    bytes.reserve(qsizetype(rows) * 200);
    for (int r = 1; r <= rows; ++r) {
        // "Проба N" in code page 1251, then date, time, calibration, indicators.
        bytes += "\xcf\xf0\xee\xe1\xe0 " + QByteArray::number(r);
        bytes += "\t08.12.2026\t14:16:53\t7";
        for (int i = 0; i < kIndicators; ++i)
            bytes += '\t' + QByteArray::number((r * 31 + i * 7) % 10000 / 100.0, 'f', 2)
                                .replace('.', ',');
        bytes += "\r\n";
    }
    return bytes;
}

#include "app/Application.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <functional>

// The offscreen platform says on every show that it cannot pass size hints
// on; that is no news for a measurement.
inline void QuietOffscreenNotes(QtMsgType type, const QMessageLogContext& context,
                                const QString& text) {
    if (text.contains(QLatin1String("propagateSizeHints")))
        return;
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
}

// main() of a benchmark that needs the application: offscreen unless the
// caller chose a platform; prepare runs before any clock does.
inline int RunWindowBenchmarks(int argc, char** argv, const std::function<void()>& prepare = {}) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(QuietOffscreenNotes);
    TApplication app(argc, argv);
    if (prepare)
        prepare();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
