#pragma once

#include "archive/Archive.h"
#include "archive/ArchiveSettings.h"

#include <QIODevice>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

enum class TExportFormat {
    CsvRu,     // UTF-8 with BOM, ';'-separated, decimal commas: a Russian spreadsheet
    Csv,       // RFC 4180, ',' and decimal points
    JsonLines  // one JSON object per measurement, for a LIMS
};

// Writes archive rows for other programs. No widgets: the archive window and
// the command line both use it.
class TArchiveExport {
public:
    // "csv-ru", "csv", "jsonl"; nullopt for anything else.
    static std::optional<TExportFormat> ParseFormat(const QString& name);
    // The format a file name suggests (".jsonl": JSON Lines, else CSV-ru).
    static TExportFormat FormatFor(const QString& fileName);

    // titles: the 32 column titles of the results table (the indicator
    // columns name the values). progress (may be empty) is called now and
    // then with the rows written so far; false cancels (EArchiveError).
    // Returns the number of rows written.
    static qint64 Write(const TArchiveReader& archive, const TArchiveFilter& filter, TExportFormat format,
                        const TArchiveSettings& settings, const QStringList& titles, QIODevice& out,
                        const std::function<bool(qint64 rows)>& progress = {});
    // The same into a file, replaced atomically; throws EArchiveError with the
    // file's name on failure.
    static qint64 WriteFile(const TArchiveReader& archive, const TArchiveFilter& filter,
                            TExportFormat format, const TArchiveSettings& settings,
                            const QStringList& titles, const QString& fileName,
                            const std::function<bool(qint64 rows)>& progress = {});
};
