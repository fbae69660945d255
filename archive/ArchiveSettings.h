#pragma once

#include "measurement/RecordDecoder.h"

#include <QString>

#include <array>

// The archive's keys in the settings file: [Archive] Decimals<column>, the
// number of decimals the archive window, its chart and its export show for
// each indicator (columns 5 to 31, as in the results table).
class TArchiveSettings {
public:
    static constexpr int MaxDecimals = 9;
    // Densities need 5 (1,00937 is not 1,01); the others 2 as in the table.
    static int DefaultDecimals(int indicator);

    std::array<int, IndicatorCount> Decimals = Defaults();

    static std::array<int, IndicatorCount> Defaults();
    // A missing or unreadable value keeps the default.
    void Read(const QString& path);
    void Write(const QString& path) const;
};
