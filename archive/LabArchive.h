#pragma once

#include "archive/ArchiveReader.h"
#include "archive/LabSettings.h"

#include <QVariantList>

#include <memory>

class QSqlError;
class QSqlQuery;

// The lab server's archive as the archive window reads it: every bench's
// measurements, read only. A connection of its own (QPSQL), so reading
// needs no rights to the schema beyond SELECT. Ids are the server's.
// Used from the thread that made it.
class TLabArchive : public TArchiveReader {
public:
    // Connects; throws EArchiveError with the server's reason.
    explicit TLabArchive(const TLabSettings& settings);
    ~TLabArchive() override;
    TLabArchive(const TLabArchive&) = delete;
    TLabArchive& operator=(const TLabArchive&) = delete;

    const TLabSettings& Settings() const { return Settings_; }

    std::vector<TArchiveMeasurement> Page(const TArchiveFilter& filter,
                                          const std::optional<TArchiveCursor>& after,
                                          int limit) const override;
    void ForEach(const TArchiveFilter& filter,
                 const std::function<bool(const TArchiveMeasurement&)>& visit) const override;
    std::vector<TArchivePoint> Points(const TArchiveFilter& filter, int indicator) const override;
    qint64 Count(const TArchiveFilter& filter) const override;
    std::vector<TNameChange> NameHistory(const QString& uid) const override;
    std::optional<TArchiveMeasurement> FindId(qint64 id) const override;
    bool Writable() const override { return false; }

private:
    struct TConnection; // the named Qt SQL connection, removed when destroyed
    static QString Where(const TArchiveFilter& filter, QVariantList& binds);
    QSqlQuery Select(const QString& sql, const QVariantList& binds) const;
    [[noreturn]] void Fail(const QSqlError& error) const;

    TLabSettings Settings_;
    std::unique_ptr<TConnection> Db_;
};
