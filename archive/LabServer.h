#pragma once

#include "archive/ArchiveReader.h"
#include "archive/LabSettings.h"

#include <QString>
#include <QStringList>

#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

class QSqlDatabase;
class QSqlQuery;

// The lab server refused or cannot be used; the message is for the
// operator, in Russian, with the server's reason.
class ELabServerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    // A refused login or a schema this program cannot use: no retry helps
    // until someone changes the settings or the server.
    bool Refused = false;
};

// One connection to the lab's PostgreSQL server (Qt SQL, QPSQL driver): the
// schema created and upgraded by the program (a version table, migrations in
// order, each in one transaction). Used from the thread that made it.
class TLabServer {
public:
    static constexpr int SchemaVersion = 3;
    // The roles roles.sql makes; each schema version grants them its tables.
    static inline const QString WriterRole = QStringLiteral("savro2_writer");
    static inline const QString ReaderRole = QStringLiteral("savro2_reader");

    // One step of the schema: its statements run in one transaction with
    // the version row.
    struct TMigration {
        int Version = 0;
        QStringList Statements;
    };
    // This program's steps, 1 to SchemaVersion.
    static const std::vector<TMigration>& Migrations();

    // Connects and brings the schema up to date; throws ELabServerError.
    explicit TLabServer(const TLabSettings& settings);
    // The same with other steps (a later program's, in the tests).
    TLabServer(const TLabSettings& settings, const std::vector<TMigration>& migrations);
    ~TLabServer();
    TLabServer(const TLabServer&) = delete;
    TLabServer& operator=(const TLabServer&) = delete;

    QSqlDatabase& Database();
    // The schema's version after connecting.
    int Version() const { return Version_; }
    // "15.4 (Debian 15.4-1)" and the like.
    QString ServerVersion();

    // The server's identity: a random id written when its schema was made.
    // A database made again has another; one restored from a dump the same.
    struct TLook {
        QString Identity;
        TServerHold Held; // Rows stays -1 unless counted
    };
    // The identity and what the server holds of the register's (registerId)
    // measurements; counting them reads every one of them.
    TLook Look(const QString& registerId, bool countRows);

    // One batch in one transaction, each row with the register that sends
    // it and its local id as the order of its changes (seq); what the
    // server has already is kept as it is (by the key), so a batch may come
    // again. Returns what the server took of its measurements. Throws
    // ELabServerError; nothing of the batch is kept then.
    TServerHold Upload(const QString& registerId, const std::vector<TArchiveMeasurement>& measurements,
                       const std::vector<TNameChange>& names,
                       const std::vector<TInvalidMark>& marks);

    // --- reconciliation: the register's own rows up to a local id
    // The checksum both sides sum: the first 32 bits of the key's MD5, signed.
    static qint32 KeyHash(const QString& key);
    // Measurements per span of spanMs (a day, an hour) at offsetMs from UTC,
    // numbered from 1970-01-01; only those measured in [fromMs, toMs] when
    // given.
    std::map<qint64, TKeySum> Sums(const QString& registerId, qint64 offsetMs, qint64 upto,
                                   qint64 spanMs, std::optional<qint64> fromMs = std::nullopt,
                                   std::optional<qint64> toMs = std::nullopt);
    enum class TChanges { Names, Marks };
    TKeySum ChangeSum(TChanges kind, const QString& registerId, qint64 upto);
    // Which of the keys the server has (measurement uids, or change keys),
    // each with whether the register is its owner.
    std::map<QString, bool> Present(std::optional<TChanges> changes, const QString& registerId,
                                    const QStringList& keys);

    // "Проверить соединение": a Russian sentence, success or the reason.
    static QString TestConnection(const TLabSettings& settings, bool* ok = nullptr);

private:
    struct TConnection;
    int ReadVersion();
    void Migrate(const std::vector<TMigration>& migrations);
    void Exec(const QString& sql, const QString& what);
    // Runs a statement and leaves its result to be read.
    QSqlQuery Query(const QString& sql, const QString& what);
    void Rollback();

    std::unique_ptr<TConnection> Connection_;
    TLabSettings Settings_;
    int Version_ = 0;
};
