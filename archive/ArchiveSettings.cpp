#include "archive/ArchiveSettings.h"

#include "config/iniplus.h"

#include <algorithm>

#include <cmath>

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

QString TArchiveSettings::Format(double value, int decimals, QChar separator) {
    if (!std::isfinite(value))
        return std::isnan(value) ? QStringLiteral("NAN")
               : value > 0       ? QStringLiteral("INF")
                                 : QStringLiteral("-INF");
    QString text = QString::number(value, 'f', decimals);
    if (text.startsWith(u'-') &&
        std::none_of(text.cbegin(), text.cend(), [](QChar c) { return c >= u'1' && c <= u'9'; }))
        text.remove(0, 1);
    if (separator != u'.')
        text.replace(u'.', separator);
    return text;
}
