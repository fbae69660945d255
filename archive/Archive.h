#pragma once

#include "archive/ArchiveReader.h"
#include "measurement/RecordDecoder.h"
#include "qc/ControlChart.h"
#include "results/ResultsTable.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

class QSqlDatabase;
class QSqlError;
class QSqlQuery;

// The lab's record on this computer: every measurement with its name history,
// invalid marks and the link's outages, in one SQLite file per settings
// profile. Each write is one transaction committed durably (WAL,
// synchronous=FULL). A file that is damaged or not a database is moved aside
// under a dated name when opened, and a fresh archive starts.
//
// Used from one thread: the one that opened it.
class TArchive : public TArchiveReader {
public:
    static inline const QString FileName = QStringLiteral("archive.sqlite");
    static inline const QString SourceAnalyser = QStringLiteral("analyser");
    static inline const QString SourceImport = QStringLiteral("import");
    static constexpr int SchemaVersion = 5;
    // How long a write waits for another connection's transaction to end
    // before it fails with EArchiveBusy: by default long, as scripts and
    // workers can wait.
    static constexpr int DefaultBusyTimeoutMs = 10000;

    // Opens (or creates) folder/archive.sqlite. Throws EArchiveError when no
    // archive can be had there at all. Without repair a damaged file is an
    // error, not set aside: for a second connection beside the owner's.
    explicit TArchive(const QString& folder, bool repair = true,
                      int busyTimeoutMs = DefaultBusyTimeoutMs);
    ~TArchive() override;
    TArchive(const TArchive&) = delete;
    TArchive& operator=(const TArchive&) = delete;

    const QString& Path() const { return Path_; }
    // Where a damaged file was moved at opening; empty when none was.
    const QString& SetAside() const { return SetAside_; }

    // The host name, the user's login name and this program's version, as
    // new measurements carry them.
    static QString ThisComputer();
    static QString ThisUser();

    // A measurement as the program takes it from the analyser: a new unique key,
    // the computer, the user and the program version filled in.
    static TArchiveMeasurement FromRecord(const QByteArray& recordBytes, const QDateTime& measured,
                                          quint16 device, const QString& port);

    // Stores m unless its Uid is stored already; true when it was new. A
    // record offered again comes with the key of its first offer (the
    // register decides that); equal bytes alone make no twin: two water
    // blanks in a row are two measurements. Throws EArchiveError (nothing
    // stored).
    bool Add(const TArchiveMeasurement& m);
    // Several at once in one transaction: all or nothing. Returns how many
    // were new.
    int AddAll(const std::vector<TArchiveMeasurement>& list);
    // Takes imported measurements out again (an import undone): the rows of
    // these keys that an import stored, with their name histories and
    // marks, in one transaction. Returns how many went.
    int RemoveImported(const QStringList& uids);
    bool Contains(const QString& uid) const;
    std::optional<TArchiveMeasurement> Find(const QString& uid) const;
    std::optional<TArchiveMeasurement> FindId(qint64 id) const override;

    // The measurement of a results-table row: its key where it has one the
    // archive holds; else the same date and time, calibration and values (as
    // numbers at the table's decimals); device is matched only when given.
    std::optional<QString> FindRow(const TResultsTable::Row& row, ControlChart::TDateTimeReader& reader,
                                   std::optional<quint16> device = std::nullopt) const;
    // A row selected with the archive's column order (id, uid, device, port,
    // computer, user, version, measured ms, calibration, v1..v27, raw,
    // received ms, results file, name, source, invalid reason, by, at ms,
    // imported by, decimals); the lab server's reader selects the same.
    static TArchiveMeasurement ReadRow(const QSqlQuery& query);

    // The row's texts as TArchiveMeasurement, or nullopt when the row holds no
    // measurement (no readable date, time or calibration). Values keep the
    // table's two decimals.
    static std::optional<TArchiveMeasurement> FromRow(const TResultsTable::Row& row,
                                                      ControlChart::TDateTimeReader& reader);

    // The sample's name changed: appended to the history (when, user, old,
    // new) and made current. Nothing is written when the name is the same.
    // Returns whether it was written.
    bool Rename(const QString& uid, const QString& newName, const QString& user = ThisUser(),
                const QDateTime& when = QDateTime::currentDateTime());
    std::vector<TNameChange> NameHistory(const QString& uid) const override;

    // Marks the measurement invalid (reason empty: valid again); it stays in
    // the archive.
    void MarkInvalid(qint64 id, const QString& reason, const QString& user = ThisUser(),
                     const QDateTime& when = QDateTime::currentDateTime());

    // Every measurement marked invalid, in time order, without its raw bytes.
    std::vector<TArchiveMeasurement> InvalidMeasurements() const;

    // Control-chart limits fixed for an indicator (0..26) and a sample
    // (ControlChart::SampleKey of its name); nullopt when none are. An empty
    // SetBy or zero SetMs is stored as this user and now.
    std::optional<TFixedLimits> ChartLimits(int indicator, const QString& sample) const;
    void SetChartLimits(int indicator, const QString& sample, const TFixedLimits& limits);
    void ClearChartLimits(int indicator, const QString& sample);

    // The link went down; returns the outage's id for LinkBack.
    qint64 LinkLost(const QDateTime& from, const QString& port, quint16 device,
                    const QString& reason);
    void LinkBack(qint64 outage, const QDateTime& to);
    // Outages that overlap [from, to].
    std::vector<TLinkOutage> Outages(const QDateTime& from, const QDateTime& to) const;

    // The filter's rows in time order (then by Id), from after cursor, at most
    // limit of them.
    std::vector<TArchiveMeasurement> Page(const TArchiveFilter& filter,
                                          const std::optional<TArchiveCursor>& after,
                                          int limit) const override;
    // Every row of the filter in time order; visit returns false to stop.
    void ForEach(const TArchiveFilter& filter,
                 const std::function<bool(const TArchiveMeasurement&)>& visit) const override;
    // One indicator (0..26) of the filter's rows that have it.
    std::vector<TArchivePoint> Points(const TArchiveFilter& filter, int indicator) const override;
    qint64 Count(const TArchiveFilter& filter) const override;
    bool Writable() const override { return true; }

    // This archive's own random id: the register whose rows and changes it
    // sends (their order is the archive's ids). A fresh archive has another.
    const QString& RegisterId() const { return RegisterId_; }

    // --- what a lab server has not confirmed yet (server: its identity,
    // TLabServer::TLook::Identity; empty: a server not known, which has
    // nothing)
    struct TUploadMark {
        qint64 Measurement = 0; // ids up to these are confirmed
        qint64 NameChange = 0;
        qint64 InvalidMark = 0;
    };
    struct TUnsent {
        std::vector<TArchiveMeasurement> Measurements; // in id order
        // Only changes of measurements the server has, or gets with this batch.
        std::vector<TNameChange> NameChanges;
        std::vector<TInvalidMark> Marks;
        TUploadMark Upto; // MarkSent(server, Upto) once the server committed them
    };
    struct TBacklog {
        qint64 Measurements = 0;
        QDateTime Oldest; // received time of the oldest unsent measurement
        qint64 Changes = 0; // name changes and marks
    };
    // At most limit of each, oldest first.
    TUnsent Unsent(const QString& server, int limit) const;
    TUploadMark Sent(const QString& server) const;
    // Never backwards; added: what the server took of the batch's
    // measurements, counted into Held.
    void MarkSent(const QString& server, const TUploadMark& upto, const TServerHold& added = {});
    TBacklog Backlog(const QString& server) const;
    // What the server holds of this archive's measurements, as confirmed.
    TServerHold Held(const QString& server) const;
    // The server lost rows: nothing of it counts as confirmed any more, and
    // it holds what it says it holds now.
    void Forget(const QString& server, const TServerHold& holds);
    // A reconciliation found the server has everything up to upto.
    void Confirm(const QString& server, const TUploadMark& upto, const TServerHold& holds);
    // The identity last seen at a server's address (TLabSettings::ServerId);
    // empty when none was.
    QString ServerIdentity(const QString& address) const;
    void SetServerIdentity(const QString& address, const QString& identity);

    // --- for a reconciliation, up to ids a run started with
    TUploadMark Newest() const;
    // Each measurement's time and key, id <= upto, with measured_ms in
    // [fromMs, toMs] where given.
    void ForEachKey(qint64 upto,
                    const std::function<void(qint64 measuredMs, qint64 id, const QString& uid)>& visit,
                    std::optional<qint64> fromMs = std::nullopt,
                    std::optional<qint64> toMs = std::nullopt) const;
    // Changes in id order, after and up to the ids given, at most limit.
    std::vector<TNameChange> NameChanges(qint64 after, qint64 upto, int limit) const;
    std::vector<TInvalidMark> Marks(qint64 after, qint64 upto, int limit) const;

    // For a run of writes that must land together (an import); commits on
    // Commit(), rolls back when destroyed without it.
    class TTransaction {
    public:
        explicit TTransaction(TArchive& archive);
        ~TTransaction();
        TTransaction(const TTransaction&) = delete;
        TTransaction& operator=(const TTransaction&) = delete;
        void Commit();

    private:
        TArchive& Archive_;
        bool Done_ = false;
    };

private:
    struct TDatabase; // the named Qt SQL connection, removed when destroyed
    void OpenFile();
    // The schema's version, read without taking the write lock; 0 for a new file.
    int StoredVersion();
    void CreateSchema();
    void ReadRegisterId();
    bool LooksDamaged(const QString& nativeError) const;
    void MoveAside();
    void Exec(const QString& sql) const;
    void Begin();
    void Commit();
    void Rollback();
    bool Insert(const TArchiveMeasurement& m);
    QString Where(const TArchiveFilter& filter, QVariantList& binds) const;
    [[noreturn]] void Fail(const QString& what, const QSqlError& error) const;

    QString Folder_;
    QString Path_;
    QString SetAside_;
    QString RegisterId_;
    std::unique_ptr<TDatabase> Db_;
    bool Repair_ = true;
    int BusyTimeoutMs_ = DefaultBusyTimeoutMs;
    int Depth_ = 0; // open TTransaction objects
    mutable QString LastNativeError_; // of the last failed statement
};
