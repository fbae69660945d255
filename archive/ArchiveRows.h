#pragma once

#include "archive/Archive.h"
#include "results/ResultsTable.h"

#include <QLocale>
#include <QString>

#include <array>
#include <map>
#include <optional>
#include <vector>

class TRecordCycle;

// Archive measurements as texts: the archive window's values and the
// results-table rows made from archive rows (a new table, the chart).
class TArchiveRows {
public:
    // Decimals per indicator; nullopt: the results table's own two decimals.
    // Either way an imported row gets no more than its file wrote.
    using TDecimals = std::optional<std::array<int, IndicatorCount>>;

    // A results-table row of m as the register writes a measurement: name,
    // the cycle's date and time texts, calibration and values. Column 0 (the
    // number) is left to RenumberRows.
    static TResultsTable::Row TableRow(const TArchiveMeasurement& m, const TRecordCycle& cycle,
                                       const TDecimals& decimals);
    // The rows below table's titles become list, one row each, then the
    // entry row; numbered and modified as a measurement leaves a table.
    static void FillTable(TResultsTable& table, const std::vector<TArchiveMeasurement>& list,
                          const TRecordCycle& cycle, const TDecimals& decimals);
    // The rows of table that hold one of the invalid measurements, with its
    // reason: by the row's key, else as the register wrote it (date, time,
    // calibration and values as numbers; the name may have changed since).
    static std::map<int, QString> InvalidRows(const TResultsTable& table,
                                              const std::vector<TArchiveMeasurement>& invalid,
                                              const TRecordCycle& cycle);
};
