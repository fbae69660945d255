#include "archive/ArchiveRows.h"

#include "archive/ArchiveSettings.h"
#include "config/Cp1251.h"
#include "register/RecordCycle.h"

QString TArchiveRows::ValueText(double value, int decimals, const QLocale& locale) {
    return TArchiveSettings::Format(value, decimals, locale.decimalPoint().at(0));
}

TResultsTable::Row TArchiveRows::TableRow(const TArchiveMeasurement& m, const TRecordCycle& cycle,
                                          const TDecimals& decimals) {
    const QChar separator = cycle.Locale.decimalPoint().at(0);
    TResultsTable::Row row;
    row.SetCell(1, Cp1251::encode(TResultsTable::CleanName(m.SampleName)));
    row.SetCell(2, Cp1251::encode(cycle.DateText(m.Measured)));
    row.SetCell(3, Cp1251::encode(cycle.TimeText(m.Measured)));
    row.SetCell(4, QByteArray::number(m.Calibration));
    for (int k = 0; k < IndicatorCount; ++k) {
        const std::optional<double>& v = m.Values[size_t(k)];
        if (!v)
            continue;
        const QString text = decimals
                                 ? TArchiveSettings::Format(*v, (*decimals)[size_t(k)], separator)
                                 : FormatIndicator(*v, separator);
        row.SetCell(k + 5, Cp1251::encode(text));
    }
    return row;
}

void TArchiveRows::FillTable(TResultsTable& table, const std::vector<TArchiveMeasurement>& list,
                             const TRecordCycle& cycle, const TDecimals& decimals) {
    std::vector<TResultsTable::Row> rows;
    rows.reserve(list.size() + 2);
    rows.emplace_back(); // the titles' place, kept by the table
    for (const TArchiveMeasurement& m : list)
        rows.push_back(TableRow(m, cycle, decimals));
    rows.emplace_back(); // the entry row
    table.ReplaceRowsBelowTitles(std::move(rows));
    table.RenumberRows();
    table.SetModified(true);
}
