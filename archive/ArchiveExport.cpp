#include "archive/ArchiveExport.h"

std::optional<TExportFormat> TArchiveExport::ParseFormat(const QString&) {
    return std::nullopt;
}

TExportFormat TArchiveExport::FormatFor(const QString&) {
    return TExportFormat::CsvRu;
}

qint64 TArchiveExport::Write(const TArchive&, const TArchiveFilter&, TExportFormat,
                             const TArchiveSettings&, const QStringList&, QIODevice&,
                             const std::function<bool(qint64)>&) {
    throw EArchiveError("not built yet");
}

qint64 TArchiveExport::WriteFile(const TArchive&, const TArchiveFilter&, TExportFormat,
                                 const TArchiveSettings&, const QStringList&, const QString&,
                                 const std::function<bool(qint64)>&) {
    throw EArchiveError("not built yet");
}
