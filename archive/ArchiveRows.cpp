#include "archive/ArchiveRows.h"

#include "archive/ArchiveSettings.h"
#include "config/Cp1251.h"
#include "measurement/ValueText.h"
#include "results/RecordCycle.h"

#include <QHash>

TResultsTable::Row TArchiveRows::TableRow(const TArchiveMeasurement& m, const TRecordCycle& cycle,
                                          const TDecimals& decimals) {
    const QChar separator = TValueText::Separator(cycle.Locale);
    TResultsTable::Row row;
    row.Key = m.Uid;
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

std::map<int, QString> TArchiveRows::InvalidRows(const TResultsTable& table,
                                                 const std::vector<TArchiveMeasurement>& invalid,
                                                 const TRecordCycle& cycle) {
    std::map<int, QString> out;
    if (invalid.empty())
        return out;
    QHash<QString, const TArchiveMeasurement*> byKey;
    // Date and time: most rows are ruled out by these alone.
    QMultiHash<qint64, const TArchiveMeasurement*> byMoment;
    for (const TArchiveMeasurement& m : invalid) {
        byKey.insert(m.Uid, &m);
        byMoment.insert(m.Measured.toMSecsSinceEpoch(), &m);
    }
    ControlChart::TDateTimeReader reader(cycle.Locale);
    for (int r = 1; r < table.RowCount(); ++r) {
        const TResultsTable::Row& row = table.RowAt(r);
        if (!row.Key.isEmpty()) {
            if (const auto it = byKey.constFind(row.Key); it != byKey.constEnd())
                out[r] = (*it)->InvalidReason;
            continue;
        }
        const std::optional<qint64> when = reader.When(row.Cell(2), row.Cell(3));
        if (!when)
            continue;
        for (auto it = byMoment.constFind(*when); it != byMoment.constEnd() && it.key() == *when;
             ++it) {
            if (TRecordCycle::Shows(row, (*it)->Calibration, (*it)->Values)) {
                out[r] = (*it)->InvalidReason;
                break;
            }
        }
    }
    return out;
}
