#pragma once

#include "archive/Archive.h"

#include <QString>
#include <QStringList>

#include <functional>

// Brings results files written earlier into the archive. Each row enters
// once however often a file is imported (and not at all when the live
// measurement is there already); a file that is not a results file is
// refused with its name and line, and nothing of it is stored.
//
// A file is stored in batches, one transaction each, so another connection
// (the register's) waits a moment at most; every row is checked before the
// first batch, and a file cancelled or failing midway is taken out again,
// also one that changes while it is imported. Files are read as code page
// 1251, UTF-8 or UTF-16 (with its byte order mark).
class TArchiveImport {
public:
    struct TResult {
        int Files = 0;
        qint64 Rows = 0;  // measurement rows read
        qint64 Added = 0; // of them new to the archive
        // Cells of those rows that say "no number" (NAN, INF, ∞ in any
        // case): stored without a value.
        qint64 NotANumber = 0;
    };
    // files done, rows of the current file done; false cancels.
    using TProgress = std::function<bool(int files, qint64 rows)>;

    static constexpr int DefaultBatchRows = 2000;

    // progress (may be empty) is called on the importing thread before each
    // file and after each batch, never while the archive is held; false
    // cancels, and the current file is taken out again (the files done so
    // far stay). Throws EArchiveError naming the file (and line) that failed;
    // the files before it stay imported, nothing of it does.
    // For the summary: how many "no number" cells were stored without a
    // value; empty for none.
    static QString NotANumberNotice(qint64 cells);

    static TResult ImportFiles(TArchive& archive, const QStringList& fileNames,
                               const TProgress& progress = {},
                               int batchRows = DefaultBatchRows);
};
