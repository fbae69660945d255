#include "archive/ArchiveSettings.h"

#include "config/iniplus.h"

namespace {

const QString kArchive = QStringLiteral("Archive");

QString Key(int indicator) {
    return QStringLiteral("Decimals%1").arg(indicator + 5);
}

} // namespace

int TArchiveSettings::DefaultDecimals(int indicator) {
    // Плотность, Пл.спирт, Пл.экстр, Пл.относит.
    return indicator >= 4 && indicator <= 7 ? 5 : 2;
}

std::array<int, IndicatorCount> TArchiveSettings::Defaults() {
    std::array<int, IndicatorCount> d{};
    for (int k = 0; k < IndicatorCount; ++k)
        d[size_t(k)] = DefaultDecimals(k);
    return d;
}

void TArchiveSettings::Read(const QString& path) {
    const TIniPlus ini(path);
    for (int k = 0; k < IndicatorCount; ++k) {
        const int n = ini.ReadNumber(kArchive, Key(k), DefaultDecimals(k));
        Decimals[size_t(k)] = n >= 0 && n <= MaxDecimals ? n : DefaultDecimals(k);
    }
}

void TArchiveSettings::Write(const QString& path) const {
    TIniPlus ini(path);
    for (int k = 0; k < IndicatorCount; ++k)
        ini.WriteNumber(kArchive, Key(k), Decimals[size_t(k)]);
}
