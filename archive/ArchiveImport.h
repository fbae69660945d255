#pragma once

#include "archive/Archive.h"

#include <QString>
#include <QStringList>

#include <functional>

// Brings results files written earlier into the archive. Each row enters
// once however often a file is imported (and not at all when the live
// measurement is there already); a file that is not a results file is
// refused with its name and line, and nothing of it is stored.
class TArchiveImport {
public:
    struct TResult {
        int Files = 0;
        qint64 Rows = 0;  // measurement rows read
        qint64 Added = 0; // of them new to the archive
    };

    // progress (may be empty): files done, rows of the current file done;
    // false cancels before the next file (the files done so far stay).
    // Throws EArchiveError naming the file (and line) that failed; the files
    // before it stay imported.
    static TResult ImportFiles(TArchive& archive, const QStringList& fileNames,
                               const std::function<bool(int files, qint64 rows)>& progress = {});
};
