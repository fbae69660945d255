#include "archive/ArchiveRows.h"

#include "archive/ArchiveSettings.h"
#include "config/Cp1251.h"
#include "measurement/ValueText.h"
#include "register/RecordCycle.h"

#include <QHash>
#include <QSet>

TResultsTable::Row TArchiveRows::TableRow(const TArchiveMeasurement& m, const TRecordCycle& cycle,
                                          const TDecimals& decimals) {
    const QChar separator = TValueText::Separator(cycle.Locale);
    TResultsTable::Row row;
    row.SetCell(1, Cp1251::encode(TResultsTable::CleanName(m.SampleName)));
    row.SetCell(2, Cp1251::encode(cycle.DateText(m.Measured)));
    row.SetCell(3, Cp1251::encode(cycle.TimeText(m.Measured)));
    row.SetCell(4, QByteArray::number(m.Calibration));
    static const std::array<int, IndicatorCount> table = [] {
        std::array<int, IndicatorCount> d{};
        d.fill(TValueText::TableDecimals);
        return d;
    }();
    for (int k = 0; k < IndicatorCount; ++k) {
        const std::optional<double>& v = m.Values[size_t(k)];
        if (!v)
            continue;
        const int shown = ShownDecimals(m, k, decimals ? *decimals : table);
        const QString text = decimals || shown < TValueText::TableDecimals
                                 ? TValueText::Fixed(*v, shown, separator)
                                 : TValueText::Table(*v, separator);
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

namespace {

// Columns 2 to 31 of a row: what the register wrote for the measurement.
QByteArray MeasurementKey(const TResultsTable::Row& row) {
    QByteArray key;
    for (int c = 2; c < TResultsTable::ColCount; ++c) {
        key += row.Cell(c).trimmed();
        key += '\t';
    }
    return key;
}

} // namespace

std::map<int, QString> TArchiveRows::InvalidRows(const TResultsTable& table,
                                                 const std::vector<TArchiveMeasurement>& invalid,
                                                 const TRecordCycle& cycle) {
    std::map<int, QString> out;
    if (invalid.empty())
        return out;
    QHash<QByteArray, QString> reasons;
    QSet<QByteArray> moments; // date and time: most rows are ruled out by these alone
    for (const TArchiveMeasurement& m : invalid) {
        const TResultsTable::Row row = TableRow(m, cycle, std::nullopt);
        reasons.insert(MeasurementKey(row), m.InvalidReason);
        moments.insert(row.Cell(2).toByteArray() + '\t' + row.Cell(3).toByteArray());
    }
    for (int r = 1; r < table.RowCount(); ++r) {
        if (!moments.contains(table.CellView(2, r).trimmed().toByteArray() + '\t' +
                              table.CellView(3, r).trimmed().toByteArray()))
            continue;
        const auto it = reasons.constFind(MeasurementKey(table.RowAt(r)));
        if (it != reasons.constEnd())
            out[r] = *it;
    }
    return out;
}
