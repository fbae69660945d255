#pragma once

#include "archive/ArchiveReader.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <stdexcept>
#include <vector>

class TArchive;
class TArchiveSettings;
class TRecordCycle;
class TResultsTable;

// A report cannot be made or written; the message is for the operator.
class EReportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TReportRow {
    QStringList Cells; // one per column
    QString Invalid;   // "Недействительно: <reason> (...)"; empty: a valid row
};

// What a report shows, as texts: made from archive rows or from the results
// table, then laid out (TReportLayout) and painted (TReportPainter).
class TReport {
public:
    // The first columns, before the indicators: number, name, date, time,
    // calibration.
    static constexpr int FixedColumns = 5;
    static constexpr int NameColumn = 1;

    QString Title = QStringLiteral("Протокол измерений");
    QString Laboratory;
    QString Instrument;
    QString Period;
    QString Filter;
    QString User;
    QDateTime Printed;
    QStringList Columns;
    std::vector<TReportRow> Rows;

    // The rows filter gives, indicators (0-based) with the archive's
    // decimals; titles are the table's 32 column titles.
    static TReport FromArchive(const TArchiveReader& archive, const TArchiveFilter& filter,
                               const QStringList& titles, const std::vector<int>& indicators,
                               const TArchiveSettings& settings, const TRecordCycle& cycle);
    // The table's measurement rows. Where archive holds a row's measurement
    // its values take the archive's decimals and its invalid mark.
    static TReport FromTable(const TResultsTable& table, const QString& fileName,
                             const TArchive* archive, const std::vector<int>& indicators,
                             const TArchiveSettings& settings, const TRecordCycle& cycle);

    // The filter in words, for the report's heading.
    static QString FilterText(const TArchiveFilter& filter, const QLocale& locale);

private:
    static TReport Start(const QStringList& titles, const std::vector<int>& indicators);
    // The instruments' texts and the period from first to last.
    void Finish(const QStringList& instruments, const QDateTime& first, const QDateTime& last,
                const TRecordCycle& cycle);
};
