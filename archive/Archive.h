#pragma once

#include "register/ControlChart.h"
#include "register/RecordDecoder.h"
#include "register/ResultsTable.h"

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

// The archive cannot be opened, read or written; the message is for the
// operator, in Russian.
class EArchiveError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The archive was written by a newer program: it is left as it is.
class EArchiveTooNew : public EArchiveError {
public:
    using EArchiveError::EArchiveError;
};

// One measurement as the archive keeps it.
struct TArchiveMeasurement {
    qint64 Id = 0;  // the archive's own row number; 0 before it is stored
    QString Uid;    // unique key: the same measurement is never stored twice
    quint16 Device = 0;
    QString Port;
    QString Computer;
    QString User;
    QString ProgramVersion;
    // The measurement's date and time as the results table shows it (whole
    // seconds, local time).
    QDateTime Measured;
    int Calibration = 0;
    // As the analyser sent it; nullopt where the indicator is absent.
    std::array<std::optional<double>, IndicatorCount> Values{};
    QByteArray Raw;     // the 115 record bytes; empty for imported rows
    QDateTime Received; // when the program took it (imported: when imported)
    QString ResultsFile;
    QString SampleName; // current name; earlier ones are in the name history
    QString Source;     // SourceAnalyser or SourceImport
    // Set while the measurement is marked invalid.
    QString InvalidReason;
    QString InvalidBy;
    QDateTime InvalidAt;

    bool Invalid() const { return InvalidAt.isValid(); }
};

struct TNameChange {
    QDateTime When;
    QString User;
    QString OldName;
    QString NewName;
};

// A time the link to the analyser was down.
struct TLinkOutage {
    qint64 Id = 0;
    QDateTime From;
    QDateTime To; // invalid while it lasts
    QString Port;
    quint16 Device = 0;
    QString Reason;
};

struct TArchiveFilter {
    QDateTime From; // inclusive; invalid: no lower bound
    QDateTime To;   // inclusive; invalid: no upper bound
    QString SampleContains; // case-insensitive; empty: every name
    std::optional<quint16> Device;
    bool IncludeInvalid = true;
    // When not empty, only these rows (Id), whatever else the filter says.
    std::vector<qint64> Ids;
};

// Where a page of the list ends, so the next one starts after it without
// counting rows (keyset paging keeps the millionth page as fast as the first).
struct TArchiveCursor {
    qint64 MeasuredMs = 0;
    qint64 Id = 0;
};

// One chart point straight from the archive.
struct TArchivePoint {
    qint64 Id = 0;
    qint64 When = 0; // local date and time, ms since the epoch
    double Value = 0;
    bool Invalid = false;
};

// The lab's record on this computer: every measurement with its name history,
// invalid marks and the link's outages, in one SQLite file per settings
// profile. Each write is one transaction committed durably (WAL,
// synchronous=FULL). A file that is damaged or not a database is moved aside
// under a dated name when opened, and a fresh archive starts.
//
// Used from one thread: the one that opened it.
class TArchive {
public:
    static inline const QString FileName = QStringLiteral("archive.sqlite");
    static inline const QString SourceAnalyser = QStringLiteral("analyser");
    static inline const QString SourceImport = QStringLiteral("import");
    static constexpr int SchemaVersion = 1;

    // Opens (or creates) folder/archive.sqlite. Throws EArchiveError when no
    // archive can be had there at all.
    explicit TArchive(const QString& folder);
    ~TArchive();
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

    // Stores m unless its Uid is stored already, or it is a record from the
    // analyser whose bytes are those of the last record of its device and
    // port (offered again: the same measurement); true when it was new.
    // Throws EArchiveError (nothing stored).
    bool Add(const TArchiveMeasurement& m);
    // Several at once in one transaction: all or nothing. Returns how many
    // were new.
    int AddAll(const std::vector<TArchiveMeasurement>& list);
    bool Contains(const QString& uid) const;
    std::optional<TArchiveMeasurement> Find(const QString& uid) const;
    std::optional<TArchiveMeasurement> FindId(qint64 id) const;

    // The measurement of a results-table row: same date and time, calibration
    // and (as the table shows them, two decimals) values; device is matched
    // only when given.
    std::optional<QString> FindRow(const TResultsTable::Row& row, ControlChart::TDateTimeReader& reader,
                                   std::optional<quint16> device = std::nullopt) const;
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
    std::vector<TNameChange> NameHistory(const QString& uid) const;

    // Marks the measurement invalid (reason empty: valid again); it stays in
    // the archive.
    void MarkInvalid(qint64 id, const QString& reason, const QString& user = ThisUser(),
                     const QDateTime& when = QDateTime::currentDateTime());

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
                                          int limit) const;
    // Every row of the filter in time order; visit returns false to stop.
    void ForEach(const TArchiveFilter& filter,
                 const std::function<bool(const TArchiveMeasurement&)>& visit) const;
    // One indicator (0..26) of the filter's rows that have it.
    std::vector<TArchivePoint> Points(const TArchiveFilter& filter, int indicator) const;
    qint64 Count(const TArchiveFilter& filter) const;

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
    void CreateSchema();
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
    std::unique_ptr<TDatabase> Db_;
    int Depth_ = 0; // open TTransaction objects
    mutable QString LastNativeError_; // of the last failed statement
};
