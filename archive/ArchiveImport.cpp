#include "archive/ArchiveImport.h"

TArchiveImport::TResult TArchiveImport::ImportFiles(TArchive&, const QStringList&,
                                                    const std::function<bool(int, qint64)>&) {
    throw EArchiveError("not built yet");
}
