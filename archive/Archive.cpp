#include "archive/Archive.h"

#include "config/Cp1251.h"
#include "measurement/ValueText.h"
#include "resources/ProgramVersion.h"
#include "results/RecordCycle.h"

#include <QAtomicInt>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSysInfo>
#include <QUuid>
#include <QVariant>

namespace {

const QString kColumns = QStringLiteral(
    "id, uid, device, port, computer, user_name, program_version, measured_ms, calibration, "
    "v1, v2, v3, v4, v5, v6, v7, v8, v9, v10, v11, v12, v13, v14, v15, v16, v17, v18, v19, "
    "v20, v21, v22, v23, v24, v25, v26, v27, raw, received_ms, results_file, sample_name, "
    "source, invalid_reason, invalid_by, invalid_ms, imported_by, decimals");
constexpr int kFirstValue = 9;

// The measurement table's indexes, made again when the table is (schema 4).
const QString kTimeIndex =
    QStringLiteral("CREATE INDEX measurement_time ON measurement (measured_ms)");
// The open chart asks for the invalid rows at every new measurement: a few
// rows, found without reading a million.
const QString kInvalidIndex = QStringLiteral("CREATE INDEX measurement_invalid ON measurement "
                                             "(measured_ms, id) WHERE invalid_ms IS NOT NULL");

QString ValueColumn(int indicator) {
    return QStringLiteral("v%1").arg(indicator + 1);
}

QVariant Text(const QString& s) {
    return s.isNull() ? QVariant(QString::fromLatin1("")) : QVariant(s);
}

// Empty is not known: NULL.
QVariant TextOrNull(const QString& s) {
    return s.isEmpty() ? QVariant(QMetaType(QMetaType::QString)) : QVariant(s);
}

template <typename T> QVariant IntOrNull(const std::optional<T>& v) {
    return v ? QVariant(int(*v)) : QVariant(QMetaType(QMetaType::Int));
}

QVariant Ms(const QDateTime& t) {
    return t.isValid() ? QVariant(t.toMSecsSinceEpoch()) : QVariant(QMetaType(QMetaType::LongLong));
}

QDateTime FromMs(const QVariant& v) {
    return v.isNull() ? QDateTime() : QDateTime::fromMSecsSinceEpoch(v.toLongLong());
}

} // namespace

TArchiveMeasurement TArchive::ReadRow(const QSqlQuery& q) {
    TArchiveMeasurement m;
    m.Id = q.value(0).toLongLong();
    m.Uid = q.value(1).toString();
    if (const QVariant device = q.value(2); !device.isNull())
        m.Device = static_cast<quint16>(device.toUInt());
    m.Port = q.value(3).toString();
    m.Computer = q.value(4).toString();
    m.User = q.value(5).toString();
    m.ProgramVersion = q.value(6).toString();
    m.Measured = FromMs(q.value(7));
    m.Calibration = q.value(8).toInt();
    for (int k = 0; k < IndicatorCount; ++k) {
        const QVariant v = q.value(kFirstValue + k);
        if (!v.isNull())
            m.Values[size_t(k)] = v.toDouble();
    }
    m.Raw = q.value(36).toByteArray();
    m.Received = FromMs(q.value(37));
    m.ResultsFile = q.value(38).toString();
    m.SampleName = q.value(39).toString();
    m.Source = q.value(40).toString();
    m.InvalidReason = q.value(41).toString();
    m.InvalidBy = q.value(42).toString();
    m.InvalidAt = FromMs(q.value(43));
    m.ImportedBy = q.value(44).toString();
    if (const QVariant decimals = q.value(45); !decimals.isNull())
        m.Decimals = decimals.toInt();
    return m;
}

struct TArchive::TDatabase {
    TDatabase(const QString& path, int busyTimeoutMs) {
        static QAtomicInt counter;
        Name = QStringLiteral("savro2-archive-%1").arg(counter.fetchAndAddRelaxed(1));
        Db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), Name);
        Db.setDatabaseName(path);
        // Other connections write too (the window, an import, the uploader):
        // a write waits this long for theirs to end.
        Db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs));
    }
    ~TDatabase() {
        Insert.reset();
        for (std::unique_ptr<QSqlQuery>& q : FindRow)
            q.reset();
        Db.close();
        Db = QSqlDatabase();
        QSqlDatabase::removeDatabase(Name);
    }
    QString Name;
    QSqlDatabase Db;
    std::unique_ptr<QSqlQuery> Insert; // prepared once: every measurement uses it
    // Also once: an import asks for every row of a file. [1] matches the device.
    std::array<std::unique_ptr<QSqlQuery>, 2> FindRow;
};

TArchive::TArchive(const QString& folder, bool repair, int busyTimeoutMs)
    : Folder_(folder), Repair_(repair), BusyTimeoutMs_(busyTimeoutMs) {
    if (!QDir().mkpath(folder))
        throw EArchiveError(QStringLiteral("Не удалось создать папку архива «%1».")
                                .arg(QDir::toNativeSeparators(folder))
                                .toStdString());
    Path_ = QDir(folder).filePath(FileName);
    OpenFile();
}

TArchive::~TArchive() = default;

bool TArchive::LooksDamaged(const QString& nativeError) const {
    bool ok = false;
    const int code = nativeError.toInt(&ok) & 0xff;
    return ok && (code == 11 /* SQLITE_CORRUPT */ || code == 26 /* SQLITE_NOTADB */);
}

void TArchive::OpenFile() {
    Db_ = std::make_unique<TDatabase>(Path_, BusyTimeoutMs_);
    if (!Db_->Db.open())
        throw EArchiveError(QStringLiteral("Не удалось открыть архив «%1»: %2")
                                .arg(QDir::toNativeSeparators(Path_), Db_->Db.lastError().text())
                                .toStdString());
    QSqlQuery q(Db_->Db);
    // A file that is not a database fails here, on its first read. A
    // damaged page deeper in is found by the write that meets it (Add).
    for (const char* pragma : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL"}) {
        if (q.exec(QString::fromLatin1(pragma)))
            continue;
        if (Repair_ && LooksDamaged(q.lastError().nativeErrorCode()) && SetAside_.isEmpty()) {
            q = QSqlQuery();
            MoveAside();
            OpenFile();
            return;
        }
        Fail(QStringLiteral("Не удалось открыть архив"), q.lastError());
    }
    q = QSqlQuery();
    try {
        CreateSchema();
    } catch (const EArchiveError&) {
        if (!Repair_ || !SetAside_.isEmpty() || !LooksDamaged(LastNativeError_))
            throw;
        MoveAside();
        OpenFile();
    }
}

void TArchive::MoveAside() {
    Db_.reset();
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString target = QStringLiteral("%1.damaged-%2").arg(Path_, stamp);
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = QStringLiteral("%1.damaged-%2-%3").arg(Path_, stamp).arg(n);
    if (!QFile::rename(Path_, target))
        throw EArchiveError(QStringLiteral("Архив «%1» повреждён, и его не удалось переименовать.")
                                .arg(QDir::toNativeSeparators(Path_))
                                .toStdString());
    // Its journal belongs to it: kept beside it, never replayed into the fresh one.
    for (const char* tail : {"-wal", "-shm"})
        if (QFileInfo::exists(Path_ + QLatin1String(tail)))
            QFile::rename(Path_ + QLatin1String(tail), target + QLatin1String(tail));
    SetAside_ = target;
}

void TArchive::Fail(const QString& what, const QSqlError& error) const {
    LastNativeError_ = error.nativeErrorCode();
    bool ok = false;
    const int code = LastNativeError_.toInt(&ok) & 0xff;
    if (ok && (code == 5 /* SQLITE_BUSY */ || code == 6 /* SQLITE_LOCKED */))
        throw EArchiveBusy(
            QStringLiteral("%1 «%2»: архив занят другой записью (импорт или другая программа).")
                .arg(what, QDir::toNativeSeparators(Path_))
                .toStdString());
    throw EArchiveError(QStringLiteral("%1 «%2»: %3")
                            .arg(what, QDir::toNativeSeparators(Path_), error.text())
                            .toStdString());
}

void TArchive::Exec(const QString& sql) const {
    QSqlQuery q(Db_->Db);
    if (!q.exec(sql))
        Fail(QStringLiteral("Ошибка архива"), q.lastError());
}

void TArchive::Begin() {
    if (Depth_ == 0)
        Exec(QStringLiteral("BEGIN IMMEDIATE"));
    ++Depth_;
}

void TArchive::Commit() {
    if (Depth_ == 1)
        Exec(QStringLiteral("COMMIT")); // on failure the transaction object rolls back
    --Depth_;
}

void TArchive::Rollback() {
    if (--Depth_ == 0) {
        QSqlQuery q(Db_->Db);
        q.exec(QStringLiteral("ROLLBACK"));
    }
}

TArchive::TTransaction::TTransaction(TArchive& archive) : Archive_(archive) {
    Archive_.Begin();
}

TArchive::TTransaction::~TTransaction() {
    if (!Done_)
        Archive_.Rollback();
}

void TArchive::TTransaction::Commit() {
    Archive_.Commit();
    Done_ = true;
}

int TArchive::StoredVersion() {
    QSqlQuery q(Db_->Db);
    if (!q.exec(QStringLiteral(
            "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'schema_version'")) ||
        !q.next())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    if (q.value(0).toInt() == 0)
        return 0;
    if (!q.exec(QStringLiteral("SELECT max(version) FROM schema_version")) || !q.next())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    return q.value(0).toInt();
}

void TArchive::CreateSchema() {
    // An archive of this version is opened without the write lock, so
    // opening does not wait for an import's transaction.
    if (StoredVersion() == SchemaVersion) {
        ReadRegisterId();
        return;
    }
    TTransaction t(*this);
    Exec(QStringLiteral("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)"));
    QSqlQuery q(Db_->Db);
    if (!q.exec(QStringLiteral("SELECT max(version) FROM schema_version")))
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    const int version = q.next() ? q.value(0).toInt() : 0;
    q.finish();
    if (version > SchemaVersion)
        throw EArchiveTooNew(
            QStringLiteral("Архив «%1» записан более новой версией программы (схема %2); "
                           "эта версия понимает схему до %3.")
                .arg(QDir::toNativeSeparators(Path_))
                .arg(version)
                .arg(SchemaVersion)
                .toStdString());
    if (version < 1) {
        QString values;
        for (int k = 0; k < IndicatorCount; ++k)
            values += QStringLiteral(", %1 REAL").arg(ValueColumn(k));
        Exec(QStringLiteral("CREATE TABLE measurement ("
                            "id INTEGER PRIMARY KEY, uid TEXT NOT NULL UNIQUE, "
                            "device INTEGER NOT NULL, port TEXT NOT NULL, computer TEXT NOT NULL, "
                            "user_name TEXT NOT NULL, program_version TEXT NOT NULL, "
                            "measured_ms INTEGER NOT NULL, calibration INTEGER NOT NULL%1, "
                            "raw BLOB, received_ms INTEGER NOT NULL, results_file TEXT NOT NULL, "
                            "sample_name TEXT NOT NULL, sample_lower TEXT NOT NULL, "
                            "source TEXT NOT NULL, invalid_reason TEXT, invalid_by TEXT, "
                            "invalid_ms INTEGER)")
                 .arg(values));
        Exec(kTimeIndex);
        Exec(QStringLiteral(
            "CREATE TABLE name_change ("
            "id INTEGER PRIMARY KEY, uid TEXT NOT NULL, changed_ms INTEGER NOT NULL, "
            "user_name TEXT NOT NULL, old_name TEXT NOT NULL, new_name TEXT NOT NULL)"));
        Exec(QStringLiteral("CREATE INDEX name_change_uid ON name_change (uid)"));
        Exec(QStringLiteral("CREATE TABLE link_outage ("
                            "id INTEGER PRIMARY KEY, from_ms INTEGER NOT NULL, to_ms INTEGER, "
                            "port TEXT NOT NULL, device INTEGER NOT NULL, reason TEXT NOT NULL)"));
        Exec(QStringLiteral("CREATE INDEX link_outage_from ON link_outage (from_ms)"));
        // Unused since: whether a record is offered again is the register's
        // to decide, and the key it gives says so.
        Exec(
            QStringLiteral("CREATE TABLE last_record (device INTEGER NOT NULL, port TEXT NOT NULL, "
                           "uid TEXT NOT NULL, raw BLOB NOT NULL, PRIMARY KEY (device, port))"));
        Exec(QStringLiteral("INSERT INTO schema_version (version) VALUES (1)"));
    }
    if (version < 2) {
        // Name changes and invalid marks get keys of their own and the
        // marks a history, so both can go to a lab server exactly once; and
        // how far each server has confirmed.
        Exec(QStringLiteral("ALTER TABLE name_change ADD COLUMN key TEXT"));
        Exec(QStringLiteral(
            "UPDATE name_change SET key = lower(hex(randomblob(16))) WHERE key IS NULL"));
        Exec(QStringLiteral("CREATE UNIQUE INDEX name_change_key ON name_change (key)"));
        Exec(QStringLiteral(
            "CREATE TABLE invalid_mark (id INTEGER PRIMARY KEY, key TEXT NOT NULL UNIQUE, "
            "uid TEXT NOT NULL, marked_ms INTEGER NOT NULL, user_name TEXT NOT NULL, "
            "reason TEXT NOT NULL)"));
        Exec(QStringLiteral(
            "INSERT INTO invalid_mark (key, uid, marked_ms, user_name, reason) "
            "SELECT lower(hex(randomblob(16))), uid, invalid_ms, coalesce(invalid_by, ''), "
            "coalesce(invalid_reason, '') FROM measurement WHERE invalid_ms IS NOT NULL "
            "ORDER BY id"));
        Exec(QStringLiteral("CREATE TABLE upload_state (server TEXT PRIMARY KEY, "
                            "measurement_id INTEGER NOT NULL DEFAULT 0, "
                            "name_change_id INTEGER NOT NULL DEFAULT 0, "
                            "invalid_mark_id INTEGER NOT NULL DEFAULT 0)"));
        Exec(QStringLiteral("INSERT INTO schema_version (version) VALUES (2)"));
    }
    if (version < 3) {
        // Control-chart limits an operator fixed per indicator and sample.
        Exec(QStringLiteral("CREATE TABLE chart_limits (indicator INTEGER NOT NULL, "
                            "sample_key TEXT NOT NULL, kind TEXT NOT NULL, centre REAL NOT NULL, "
                            "sigma REAL NOT NULL, base_from_ms INTEGER, base_to_ms INTEGER, "
                            "nominal REAL, tolerance REAL, set_by TEXT NOT NULL, "
                            "set_ms INTEGER NOT NULL, PRIMARY KEY (indicator, sample_key))"));
        Exec(kInvalidIndex);
        Exec(QStringLiteral("INSERT INTO schema_version (version) VALUES (3)"));
    }
    if (version < 4) {
        // A results file knows neither the analyser nor who measured: those
        // become NULL, the importing user and the file's decimals get columns
        // of their own. SQLite cannot drop NOT NULL in place, so the table is
        // made anew with its ids, and its indexes again.
        QString values;
        for (int k = 0; k < IndicatorCount; ++k)
            values += QStringLiteral(", %1 REAL").arg(ValueColumn(k));
        Exec(QStringLiteral("CREATE TABLE measurement_new ("
                            "id INTEGER PRIMARY KEY, uid TEXT NOT NULL UNIQUE, "
                            "device INTEGER, port TEXT NOT NULL, computer TEXT NOT NULL, "
                            "user_name TEXT, program_version TEXT NOT NULL, "
                            "measured_ms INTEGER NOT NULL, calibration INTEGER NOT NULL%1, "
                            "raw BLOB, received_ms INTEGER NOT NULL, results_file TEXT NOT NULL, "
                            "sample_name TEXT NOT NULL, sample_lower TEXT NOT NULL, "
                            "source TEXT NOT NULL, invalid_reason TEXT, invalid_by TEXT, "
                            "invalid_ms INTEGER, imported_by TEXT, decimals INTEGER)")
                 .arg(values));
        QString copied;
        for (int k = 0; k < IndicatorCount; ++k)
            copied += ValueColumn(k) + QStringLiteral(", ");
        // A register-written file has two decimals.
        Exec(
            QStringLiteral("INSERT INTO measurement_new (id, uid, device, port, computer, "
                           "user_name, program_version, measured_ms, calibration, %1raw, "
                           "received_ms, results_file, sample_name, sample_lower, source, "
                           "invalid_reason, invalid_by, invalid_ms, imported_by, decimals) "
                           "SELECT id, uid, CASE WHEN source = 'import' THEN NULL ELSE device END, "
                           "port, computer, CASE WHEN source = 'import' THEN NULL ELSE user_name "
                           "END, program_version, measured_ms, calibration, %1raw, received_ms, "
                           "results_file, sample_name, sample_lower, source, invalid_reason, "
                           "invalid_by, invalid_ms, CASE WHEN source = 'import' THEN "
                           "nullif(user_name, '') END, CASE WHEN source = 'import' THEN 2 END "
                           "FROM measurement ORDER BY id")
                .arg(copied));
        Exec(QStringLiteral("DROP TABLE measurement"));
        Exec(QStringLiteral("ALTER TABLE measurement_new RENAME TO measurement"));
        Exec(kTimeIndex);
        Exec(kInvalidIndex);
        Exec(QStringLiteral("INSERT INTO schema_version (version) VALUES (4)"));
    }
    if (version < 5) {
        // This archive's own id, and what each server confirmed kept by the
        // server's identity: an address's confirmations say nothing of a
        // server made again there, so everything goes once more.
        // (IF NOT EXISTS: a file whose version rows were taken back keeps its id.)
        Exec(QStringLiteral("CREATE TABLE IF NOT EXISTS register_identity (id TEXT NOT NULL)"));
        Exec(QStringLiteral("INSERT INTO register_identity (id) SELECT '%1' "
                            "WHERE NOT EXISTS (SELECT 1 FROM register_identity)")
                 .arg(QUuid::createUuid().toString(QUuid::WithoutBraces)));
        Exec(QStringLiteral("CREATE TABLE IF NOT EXISTS server_upload (identity TEXT PRIMARY KEY, "
                            "measurement_id INTEGER NOT NULL DEFAULT 0, "
                            "name_change_id INTEGER NOT NULL DEFAULT 0, "
                            "invalid_mark_id INTEGER NOT NULL DEFAULT 0, "
                            "held_rows INTEGER NOT NULL DEFAULT 0, "
                            "held_top INTEGER NOT NULL DEFAULT 0)"));
        Exec(QStringLiteral("CREATE TABLE IF NOT EXISTS server_address (address TEXT PRIMARY KEY, "
                            "identity TEXT NOT NULL)"));
        Exec(QStringLiteral("DROP TABLE IF EXISTS upload_state"));
        Exec(QStringLiteral("INSERT INTO schema_version (version) VALUES (5)"));
    }
    ReadRegisterId();
    t.Commit();
}

void TArchive::ReadRegisterId() {
    QSqlQuery q(Db_->Db);
    if (!q.exec(QStringLiteral("SELECT id FROM register_identity")) || !q.next())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    RegisterId_ = q.value(0).toString();
}

QString TArchive::ThisComputer() {
    return QSysInfo::machineHostName();
}

QString TArchive::ThisUser() {
    QString user = qEnvironmentVariable("USER");
    if (user.isEmpty())
        user = qEnvironmentVariable("LOGNAME");
    if (user.isEmpty())
        user = qEnvironmentVariable("USERNAME");
    return user;
}

TArchiveMeasurement TArchive::FromRecord(const QByteArray& recordBytes, const QDateTime& measured,
                                         quint16 device, const QString& port) {
    TArchiveMeasurement m;
    m.Uid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    m.Device = device;
    m.Port = port;
    m.Computer = ThisComputer();
    m.User = ThisUser();
    m.ProgramVersion = ProgramVersion();
    // As the table shows it: whole seconds.
    m.Measured = measured.addMSecs(-measured.time().msec());
    m.Received = measured;
    m.Raw = recordBytes;
    m.Source = SourceAnalyser;
    TMeasurementRecord record;
    if (DecodeRecord(ReplyStatusComplete, EncodeCarriers(recordBytes), record)) {
        m.Calibration = record.Calibration;
        for (int k = 0; k < IndicatorCount; ++k)
            if (record.Mask & (1u << k))
                m.Values[size_t(k)] = record.Values[size_t(k)];
    }
    return m;
}

bool TArchive::Insert(const TArchiveMeasurement& m) {
    if (!Db_->Insert) {
        QString placeholders;
        for (int i = 1; i < 46; ++i)
            placeholders += QStringLiteral(", ?");
        Db_->Insert = std::make_unique<QSqlQuery>(Db_->Db);
        const QString columns = QString(kColumns).remove(0, 4) + QStringLiteral(", sample_lower");
        // Only a stored Uid is passed over: OR IGNORE would also drop a row
        // that breaks NOT NULL, without a word.
        if (!Db_->Insert->prepare(QStringLiteral("INSERT INTO measurement (%1) VALUES (?%2) "
                                                 "ON CONFLICT (uid) DO NOTHING")
                                      .arg(columns, placeholders))) {
            const QSqlError error = Db_->Insert->lastError();
            Db_->Insert.reset();
            Fail(QStringLiteral("Не удалось записать в архив"), error);
        }
    }
    QSqlQuery& q = *Db_->Insert;
    int i = 0;
    q.bindValue(i++, m.Uid);
    q.bindValue(i++, IntOrNull(m.Device));
    q.bindValue(i++, Text(m.Port));
    q.bindValue(i++, Text(m.Computer));
    q.bindValue(i++, TextOrNull(m.User));
    q.bindValue(i++, Text(m.ProgramVersion));
    q.bindValue(i++, m.Measured.toMSecsSinceEpoch());
    q.bindValue(i++, m.Calibration);
    for (const std::optional<double>& v : m.Values)
        q.bindValue(i++, v ? QVariant(*v) : QVariant(QMetaType(QMetaType::Double)));
    q.bindValue(i++,
                m.Raw.isEmpty() ? QVariant(QMetaType(QMetaType::QByteArray)) : QVariant(m.Raw));
    q.bindValue(i++, (m.Received.isValid() ? m.Received : m.Measured).toMSecsSinceEpoch());
    q.bindValue(i++, Text(m.ResultsFile));
    q.bindValue(i++, Text(m.SampleName));
    q.bindValue(i++, Text(m.Source));
    q.bindValue(i++,
                m.Invalid() ? QVariant(m.InvalidReason) : QVariant(QMetaType(QMetaType::QString)));
    q.bindValue(i++, m.Invalid() ? QVariant(m.InvalidBy) : QVariant(QMetaType(QMetaType::QString)));
    q.bindValue(i++, Ms(m.InvalidAt));
    q.bindValue(i++, TextOrNull(m.ImportedBy));
    q.bindValue(i++, IntOrNull(m.Decimals));
    q.bindValue(i++, Text(m.SampleName.toLower()));
    if (!q.exec())
        Fail(QStringLiteral("Не удалось записать в архив"), q.lastError());
    return q.numRowsAffected() > 0;
}

bool TArchive::Add(const TArchiveMeasurement& m) {
    try {
        TTransaction t(*this);
        const bool added = Insert(m);
        t.Commit();
        return added;
    } catch (const EArchiveError&) {
        // A damaged file is set aside once and the measurement goes into a
        // fresh one; any other failure (a full disk) is the caller's to hold.
        if (!Repair_ || !SetAside_.isEmpty() || Depth_ != 0 || !LooksDamaged(LastNativeError_))
            throw;
    }
    MoveAside();
    OpenFile();
    TTransaction t(*this);
    const bool added = Insert(m);
    t.Commit();
    return added;
}

int TArchive::AddAll(const std::vector<TArchiveMeasurement>& list) {
    TTransaction t(*this);
    int added = 0;
    for (const TArchiveMeasurement& m : list)
        added += Insert(m) ? 1 : 0;
    t.Commit();
    return added;
}

int TArchive::RemoveImported(const QStringList& uids) {
    TTransaction t(*this);
    QSqlQuery measurement(Db_->Db);
    QSqlQuery names(Db_->Db);
    QSqlQuery marks(Db_->Db);
    for (auto [q, sql] : {std::pair{&measurement, "DELETE FROM measurement WHERE uid = ? AND "
                                                   "source = ?"},
                          {&names, "DELETE FROM name_change WHERE uid = ?"},
                          {&marks, "DELETE FROM invalid_mark WHERE uid = ?"}})
        if (!q->prepare(QString::fromLatin1(sql)))
            Fail(QStringLiteral("Не удалось записать в архив"), q->lastError());
    int removed = 0;
    for (const QString& uid : uids) {
        measurement.bindValue(0, uid);
        measurement.bindValue(1, SourceImport);
        if (!measurement.exec())
            Fail(QStringLiteral("Не удалось записать в архив"), measurement.lastError());
        if (measurement.numRowsAffected() <= 0)
            continue;
        ++removed;
        for (QSqlQuery* q : {&names, &marks}) {
            q->bindValue(0, uid);
            if (!q->exec())
                Fail(QStringLiteral("Не удалось записать в архив"), q->lastError());
        }
    }
    t.Commit();
    return removed;
}

bool TArchive::Contains(const QString& uid) const {
    QSqlQuery q(Db_->Db);
    q.prepare(QStringLiteral("SELECT 1 FROM measurement WHERE uid = ?"));
    q.addBindValue(uid);
    if (!q.exec())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    return q.next();
}

std::optional<TArchiveMeasurement> TArchive::Find(const QString& uid) const {
    QSqlQuery q(Db_->Db);
    q.prepare(QStringLiteral("SELECT %1 FROM measurement WHERE uid = ?").arg(kColumns));
    q.addBindValue(uid);
    if (!q.exec())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    if (!q.next())
        return std::nullopt;
    return TArchive::ReadRow(q);
}

std::vector<TArchiveMeasurement> TArchive::InvalidMeasurements() const {
    QSqlQuery q(Db_->Db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT %1 FROM measurement WHERE invalid_ms IS NOT NULL "
                               "ORDER BY measured_ms, id")
                    .arg(kColumns)))
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    std::vector<TArchiveMeasurement> out;
    while (q.next()) {
        out.push_back(ReadRow(q));
        out.back().Raw.clear();
    }
    return out;
}

std::optional<TArchiveMeasurement> TArchive::FindId(qint64 id) const {
    QSqlQuery q(Db_->Db);
    q.prepare(QStringLiteral("SELECT %1 FROM measurement WHERE id = ?").arg(kColumns));
    q.addBindValue(id);
    if (!q.exec())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    if (!q.next())
        return std::nullopt;
    return TArchive::ReadRow(q);
}

std::optional<TArchiveMeasurement> TArchive::FromRow(const TResultsTable::Row& row,
                                                     ControlChart::TDateTimeReader& reader) {
    const std::optional<qint64> when = reader.When(row.Cell(2), row.Cell(3));
    bool ok = false;
    const int calibration = row.Cell(4).trimmed().toByteArray().toInt(&ok);
    if (!when || !ok)
        return std::nullopt;
    TArchiveMeasurement m;
    m.Measured = QDateTime::fromMSecsSinceEpoch(*when);
    m.Calibration = calibration;
    for (int k = 0; k < IndicatorCount; ++k)
        if (const std::optional<double> v = TValueText::Parse(row.Cell(k + 5)))
            m.Values[size_t(k)] = *v;
    m.SampleName = Cp1251::decode(row.Cell(1));
    m.Source = SourceImport;
    return m;
}

std::optional<QString> TArchive::FindRow(const TResultsTable::Row& row,
                                         ControlChart::TDateTimeReader& reader,
                                         std::optional<quint16> device) const {
    if (!row.Key.isEmpty() && Contains(row.Key))
        return row.Key;
    const std::optional<qint64> when = reader.When(row.Cell(2), row.Cell(3));
    bool ok = false;
    const int calibration = row.Cell(4).trimmed().toByteArray().toInt(&ok);
    if (!when || !ok)
        return std::nullopt;
    std::unique_ptr<QSqlQuery>& query = Db_->FindRow[device ? 1 : 0];
    if (!query) {
        QString values;
        for (int k = 0; k < IndicatorCount; ++k)
            values += QStringLiteral(", ") + ValueColumn(k);
        query = std::make_unique<QSqlQuery>(Db_->Db);
        query->setForwardOnly(true);
        if (!query->prepare(
                QStringLiteral("SELECT uid%1 FROM measurement WHERE measured_ms = ? AND "
                               "calibration = ?%2 ORDER BY id DESC")
                    .arg(values, device ? QStringLiteral(" AND device = ?") : QString()))) {
            const QSqlError error = query->lastError();
            query.reset();
            Fail(QStringLiteral("Не удалось прочитать архив"), error);
        }
    }
    QSqlQuery& q = *query;
    q.bindValue(0, *when);
    q.bindValue(1, calibration);
    if (device)
        q.bindValue(2, int(*device));
    if (!q.exec())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    // Imported rows hold the file's own decimals, live ones the analyser's
    // full values: either way what the table shows of them must agree.
    std::optional<QString> found;
    std::array<std::optional<double>, IndicatorCount> values;
    while (!found && q.next()) {
        for (int k = 0; k < IndicatorCount; ++k) {
            const QVariant v = q.value(1 + k);
            values[size_t(k)] = v.isNull() ? std::nullopt : std::optional(v.toDouble());
        }
        if (TRecordCycle::Shows(row, calibration, values))
            found = q.value(0).toString();
    }
    q.finish(); // the statement stays prepared, not open
    return found;
}

bool TArchive::Rename(const QString& uid, const QString& newName, const QString& user,
                      const QDateTime& when) {
    TTransaction t(*this);
    QSqlQuery q(Db_->Db);
    q.prepare(QStringLiteral("SELECT sample_name FROM measurement WHERE uid = ?"));
    q.addBindValue(uid);
    if (!q.exec())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    if (!q.next())
        return false;
    const QString old = q.value(0).toString();
    q.finish();
    if (old == newName)
        return false;
    q.prepare(QStringLiteral(
        "INSERT INTO name_change (key, uid, changed_ms, user_name, old_name, new_name) "
        "VALUES (?, ?, ?, ?, ?, ?)"));
    q.addBindValue(QUuid::createUuid().toString(QUuid::WithoutBraces));
    q.addBindValue(uid);
    q.addBindValue(when.toMSecsSinceEpoch());
    q.addBindValue(Text(user));
    q.addBindValue(Text(old));
    q.addBindValue(Text(newName));
    if (!q.exec())
        Fail(QStringLiteral("Не удалось записать в архив"), q.lastError());
    q.prepare(
        QStringLiteral("UPDATE measurement SET sample_name = ?, sample_lower = ? WHERE uid = ?"));
    q.addBindValue(Text(newName));
    q.addBindValue(Text(newName.toLower()));
    q.addBindValue(uid);
    if (!q.exec())
        Fail(QStringLiteral("Не удалось записать в архив"), q.lastError());
    t.Commit();
    return true;
}

std::vector<TNameChange> TArchive::NameHistory(const QString& uid) const {
    QSqlQuery q(Db_->Db);
    q.prepare(
        QStringLiteral("SELECT changed_ms, user_name, old_name, new_name, id, key FROM name_change "
                       "WHERE uid = ? ORDER BY id"));
    q.addBindValue(uid);
    if (!q.exec())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    std::vector<TNameChange> list;
    while (q.next()) {
        list.push_back({FromMs(q.value(0)), q.value(1).toString(), q.value(2).toString(),
                        q.value(3).toString(), q.value(4).toLongLong(), q.value(5).toString(),
                        uid});
    }
    return list;
}

void TArchive::MarkInvalid(qint64 id, const QString& reason, const QString& user,
                           const QDateTime& when) {
    TTransaction t(*this);
    QSqlQuery q(Db_->Db);
    q.prepare(
        QStringLiteral("UPDATE measurement SET invalid_reason = ?, invalid_by = ?, invalid_ms = ? "
                       "WHERE id = ?"));
    const bool valid = reason.trimmed().isEmpty();
    q.addBindValue(valid ? QVariant(QMetaType(QMetaType::QString)) : QVariant(reason));
    q.addBindValue(valid ? QVariant(QMetaType(QMetaType::QString)) : Text(user));
    q.addBindValue(valid ? QVariant(QMetaType(QMetaType::LongLong)) : Ms(when));
    q.addBindValue(id);
    if (!q.exec())
        Fail(QStringLiteral("Не удалось записать в архив"), q.lastError());
    if (q.numRowsAffected() > 0) {
        q.prepare(
            QStringLiteral("INSERT INTO invalid_mark (key, uid, marked_ms, user_name, reason) "
                           "SELECT ?, uid, ?, ?, ? FROM measurement WHERE id = ?"));
        q.addBindValue(QUuid::createUuid().toString(QUuid::WithoutBraces));
        q.addBindValue(when.toMSecsSinceEpoch());
        q.addBindValue(Text(user));
        q.addBindValue(valid ? QString::fromLatin1("") : reason);
        q.addBindValue(id);
        if (!q.exec())
            Fail(QStringLiteral("Не удалось записать в архив"), q.lastError());
    }
    t.Commit();
}

TArchive::TUnsent TArchive::Unsent(const QString& server, int limit) const {
    const TUploadMark sent = Sent(server);
    TUnsent unsent;
    QSqlQuery q(Db_->Db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT %1 FROM measurement WHERE id > ? ORDER BY id LIMIT %2")
                  .arg(kColumns)
                  .arg(limit));
    q.addBindValue(sent.Measurement);
    if (!q.exec())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    while (q.next())
        unsent.Measurements.push_back(TArchive::ReadRow(q));
    unsent.Upto = sent;
    if (!unsent.Measurements.empty())
        unsent.Upto.Measurement = unsent.Measurements.back().Id;
    // Changes of measurements the server will have after this batch, in
    // order, up to the first that must wait for a later batch.
    q.prepare(QStringLiteral(
                  "SELECT n.id, n.key, n.uid, n.changed_ms, n.user_name, n.old_name, n.new_name, "
                  "m.id FROM name_change n LEFT JOIN measurement m ON m.uid = n.uid "
                  "WHERE n.id > ? ORDER BY n.id LIMIT %1")
                  .arg(limit));
    q.addBindValue(sent.NameChange);
    if (!q.exec())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    while (q.next() && q.value(7).toLongLong() <= unsent.Upto.Measurement) {
        unsent.NameChanges.push_back({FromMs(q.value(3)), q.value(4).toString(),
                                      q.value(5).toString(), q.value(6).toString(),
                                      q.value(0).toLongLong(), q.value(1).toString(),
                                      q.value(2).toString()});
        unsent.Upto.NameChange = unsent.NameChanges.back().Id;
    }
    q.prepare(QStringLiteral("SELECT i.id, i.key, i.uid, i.marked_ms, i.user_name, i.reason, m.id "
                             "FROM invalid_mark i LEFT JOIN measurement m ON m.uid = i.uid "
                             "WHERE i.id > ? ORDER BY i.id LIMIT %1")
                  .arg(limit));
    q.addBindValue(sent.InvalidMark);
    if (!q.exec())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    while (q.next() && q.value(6).toLongLong() <= unsent.Upto.Measurement) {
        unsent.Marks.push_back({q.value(0).toLongLong(), q.value(1).toString(),
                                q.value(2).toString(), FromMs(q.value(3)), q.value(4).toString(),
                                q.value(5).toString()});
        unsent.Upto.InvalidMark = unsent.Marks.back().Id;
    }
    return unsent;
}

TArchive::TUploadMark TArchive::Sent(const QString& server) const {
    QSqlQuery q(Db_->Db);
    q.prepare(
        QStringLiteral("SELECT measurement_id, name_change_id, invalid_mark_id FROM server_upload "
                       "WHERE identity = ?"));
    q.addBindValue(server);
    if (!q.exec())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    if (!q.next())
        return {};
    return {q.value(0).toLongLong(), q.value(1).toLongLong(), q.value(2).toLongLong()};
}

void TArchive::MarkSent(const QString& server, const TUploadMark& upto, const TServerHold& added) {
    TTransaction t(*this);
    QSqlQuery q(Db_->Db);
    // Never backwards: a late confirmation of an older batch changes nothing.
    q.prepare(QStringLiteral(
        "INSERT INTO server_upload (identity, measurement_id, name_change_id, invalid_mark_id, "
        "held_rows, held_top) VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (identity) DO UPDATE SET "
        "measurement_id = max(measurement_id, excluded.measurement_id), "
        "name_change_id = max(name_change_id, excluded.name_change_id), "
        "invalid_mark_id = max(invalid_mark_id, excluded.invalid_mark_id), "
        "held_rows = held_rows + excluded.held_rows, "
        "held_top = max(held_top, excluded.held_top)"));
    q.addBindValue(server);
    q.addBindValue(upto.Measurement);
    q.addBindValue(upto.NameChange);
    q.addBindValue(upto.InvalidMark);
    q.addBindValue(added.Rows);
    q.addBindValue(added.Top);
    if (!q.exec())
        Fail(QStringLiteral("Не удалось записать в архив"), q.lastError());
    t.Commit();
}

TServerHold TArchive::Held(const QString& server) const {
    QSqlQuery q(Db_->Db);
    q.prepare(QStringLiteral("SELECT held_rows, held_top FROM server_upload WHERE identity = ?"));
    q.addBindValue(server);
    if (!q.exec())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    if (!q.next())
        return {};
    return {q.value(0).toLongLong(), q.value(1).toLongLong()};
}

void TArchive::Forget(const QString& server, const TServerHold& holds) {
    TTransaction t(*this);
    QSqlQuery q(Db_->Db);
    q.prepare(QStringLiteral("INSERT OR REPLACE INTO server_upload (identity, held_rows, held_top) "
                             "VALUES (?, ?, ?)"));
    q.addBindValue(server);
    q.addBindValue(holds.Rows);
    q.addBindValue(holds.Top);
    if (!q.exec())
        Fail(QStringLiteral("Не удалось записать в архив"), q.lastError());
    t.Commit();
}

void TArchive::Confirm(const QString& server, const TUploadMark& upto, const TServerHold& holds) {
    TTransaction t(*this);
    MarkSent(server, upto);
    QSqlQuery q(Db_->Db);
    q.prepare(
        QStringLiteral("UPDATE server_upload SET held_rows = ?, held_top = ? WHERE identity = ?"));
    q.addBindValue(holds.Rows);
    q.addBindValue(holds.Top);
    q.addBindValue(server);
    if (!q.exec())
        Fail(QStringLiteral("Не удалось записать в архив"), q.lastError());
    t.Commit();
}

QString TArchive::ServerIdentity(const QString& address) const {
    QSqlQuery q(Db_->Db);
    q.prepare(QStringLiteral("SELECT identity FROM server_address WHERE address = ?"));
    q.addBindValue(address);
    if (!q.exec())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    return q.next() ? q.value(0).toString() : QString();
}

void TArchive::SetServerIdentity(const QString& address, const QString& identity) {
    TTransaction t(*this);
    QSqlQuery q(Db_->Db);
    q.prepare(
        QStringLiteral("INSERT OR REPLACE INTO server_address (address, identity) VALUES (?, ?)"));
    q.addBindValue(address);
    q.addBindValue(identity);
    if (!q.exec())
        Fail(QStringLiteral("Не удалось записать в архив"), q.lastError());
    t.Commit();
}

TArchive::TBacklog TArchive::Backlog(const QString& server) const {
    const TUploadMark sent = Sent(server);
    QSqlQuery q(Db_->Db);
    q.prepare(QStringLiteral("SELECT count(*), min(received_ms) FROM measurement WHERE id > ?"));
    q.addBindValue(sent.Measurement);
    if (!q.exec() || !q.next())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    TBacklog backlog{q.value(0).toLongLong(), FromMs(q.value(1)), 0};
    q.finish();
    q.prepare(QStringLiteral("SELECT (SELECT count(*) FROM name_change WHERE id > ?) + "
                             "(SELECT count(*) FROM invalid_mark WHERE id > ?)"));
    q.addBindValue(sent.NameChange);
    q.addBindValue(sent.InvalidMark);
    if (!q.exec() || !q.next())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    backlog.Changes = q.value(0).toLongLong();
    return backlog;
}

TArchive::TUploadMark TArchive::Newest() const {
    QSqlQuery q(Db_->Db);
    if (!q.exec(QStringLiteral("SELECT (SELECT coalesce(max(id), 0) FROM measurement), "
                               "(SELECT coalesce(max(id), 0) FROM name_change), "
                               "(SELECT coalesce(max(id), 0) FROM invalid_mark)")) ||
        !q.next())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    return {q.value(0).toLongLong(), q.value(1).toLongLong(), q.value(2).toLongLong()};
}

void TArchive::ForEachKey(
    qint64 upto, const std::function<void(qint64 measuredMs, qint64 id, const QString& uid)>& visit,
    std::optional<qint64> fromMs, std::optional<qint64> toMs) const {
    QSqlQuery q(Db_->Db);
    q.setForwardOnly(true);
    QString sql = QStringLiteral("SELECT measured_ms, id, uid FROM measurement WHERE id <= ?");
    if (fromMs)
        sql += QStringLiteral(" AND measured_ms >= ?");
    if (toMs)
        sql += QStringLiteral(" AND measured_ms <= ?");
    q.prepare(sql);
    q.addBindValue(upto);
    if (fromMs)
        q.addBindValue(*fromMs);
    if (toMs)
        q.addBindValue(*toMs);
    if (!q.exec())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    while (q.next())
        visit(q.value(0).toLongLong(), q.value(1).toLongLong(), q.value(2).toString());
}

std::vector<TNameChange> TArchive::NameChanges(qint64 after, qint64 upto, int limit) const {
    QSqlQuery q(Db_->Db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT changed_ms, user_name, old_name, new_name, id, key, uid "
                             "FROM name_change WHERE id > ? AND id <= ? ORDER BY id LIMIT %1")
                  .arg(limit));
    q.addBindValue(after);
    q.addBindValue(upto);
    if (!q.exec())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    std::vector<TNameChange> list;
    while (q.next())
        list.push_back({FromMs(q.value(0)), q.value(1).toString(), q.value(2).toString(),
                        q.value(3).toString(), q.value(4).toLongLong(), q.value(5).toString(),
                        q.value(6).toString()});
    return list;
}

std::vector<TInvalidMark> TArchive::Marks(qint64 after, qint64 upto, int limit) const {
    QSqlQuery q(Db_->Db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT id, key, uid, marked_ms, user_name, reason FROM invalid_mark "
                             "WHERE id > ? AND id <= ? ORDER BY id LIMIT %1")
                  .arg(limit));
    q.addBindValue(after);
    q.addBindValue(upto);
    if (!q.exec())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    std::vector<TInvalidMark> list;
    while (q.next())
        list.push_back({q.value(0).toLongLong(), q.value(1).toString(), q.value(2).toString(),
                        FromMs(q.value(3)), q.value(4).toString(), q.value(5).toString()});
    return list;
}

qint64 TArchive::LinkLost(const QDateTime& from, const QString& port, quint16 device,
                          const QString& reason) {
    TTransaction t(*this);
    QSqlQuery q(Db_->Db);
    q.prepare(QStringLiteral(
        "INSERT INTO link_outage (from_ms, port, device, reason) VALUES (?, ?, ?, ?)"));
    q.addBindValue(from.toMSecsSinceEpoch());
    q.addBindValue(Text(port));
    q.addBindValue(int(device));
    q.addBindValue(Text(reason));
    if (!q.exec())
        Fail(QStringLiteral("Не удалось записать в архив"), q.lastError());
    const qint64 id = q.lastInsertId().toLongLong();
    t.Commit();
    return id;
}

void TArchive::LinkBack(qint64 outage, const QDateTime& to) {
    TTransaction t(*this);
    QSqlQuery q(Db_->Db);
    q.prepare(QStringLiteral("UPDATE link_outage SET to_ms = ? WHERE id = ? AND to_ms IS NULL"));
    q.addBindValue(to.toMSecsSinceEpoch());
    q.addBindValue(outage);
    if (!q.exec())
        Fail(QStringLiteral("Не удалось записать в архив"), q.lastError());
    t.Commit();
}

std::vector<TLinkOutage> TArchive::Outages(const QDateTime& from, const QDateTime& to) const {
    QSqlQuery q(Db_->Db);
    q.prepare(
        QStringLiteral("SELECT id, from_ms, to_ms, port, device, reason FROM link_outage "
                       "WHERE from_ms <= ? AND (to_ms IS NULL OR to_ms >= ?) ORDER BY from_ms"));
    q.addBindValue(to.isValid() ? to.toMSecsSinceEpoch() : std::numeric_limits<qint64>::max());
    q.addBindValue(from.isValid() ? from.toMSecsSinceEpoch() : std::numeric_limits<qint64>::min());
    if (!q.exec())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    std::vector<TLinkOutage> list;
    while (q.next())
        list.push_back({q.value(0).toLongLong(), FromMs(q.value(1)), FromMs(q.value(2)),
                        q.value(3).toString(), static_cast<quint16>(q.value(4).toUInt()),
                        q.value(5).toString()});
    return list;
}

QString TArchive::Where(const TArchiveFilter& filter, QVariantList& binds) const {
    QStringList terms;
    if (!filter.Ids.empty()) {
        QStringList ids;
        for (const qint64 id : filter.Ids)
            ids << QString::number(id);
        terms << QStringLiteral("id IN (%1)").arg(ids.join(u','));
    } else {
        if (filter.From.isValid()) {
            terms << QStringLiteral("measured_ms >= ?");
            binds << filter.From.toMSecsSinceEpoch();
        }
        if (filter.To.isValid()) {
            terms << QStringLiteral("measured_ms <= ?");
            binds << filter.To.toMSecsSinceEpoch();
        }
        if (!filter.SampleContains.isEmpty()) {
            terms << QStringLiteral("instr(sample_lower, ?) > 0");
            binds << filter.SampleContains.toLower();
        }
        if (filter.Device) {
            terms << QStringLiteral("device = ?");
            binds << int(*filter.Device);
        }
    }
    if (!filter.IncludeInvalid)
        terms << QStringLiteral("invalid_ms IS NULL");
    return terms.isEmpty() ? QString()
                           : QStringLiteral(" WHERE ") + terms.join(QStringLiteral(" AND "));
}

std::vector<TArchiveMeasurement> TArchive::Page(const TArchiveFilter& filter,
                                                const std::optional<TArchiveCursor>& after,
                                                int limit) const {
    QVariantList binds;
    QString where = Where(filter, binds);
    if (after) {
        where += where.isEmpty() ? QStringLiteral(" WHERE ") : QStringLiteral(" AND ");
        where += QStringLiteral("(measured_ms, id) > (?, ?)");
        binds << after->MeasuredMs << after->Id;
    }
    QSqlQuery q(Db_->Db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT %1 FROM measurement%2 ORDER BY measured_ms, id LIMIT %3")
                  .arg(kColumns, where)
                  .arg(limit));
    for (const QVariant& b : binds)
        q.addBindValue(b);
    if (!q.exec())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    std::vector<TArchiveMeasurement> list;
    while (q.next())
        list.push_back(TArchive::ReadRow(q));
    return list;
}

void TArchive::ForEach(const TArchiveFilter& filter,
                       const std::function<bool(const TArchiveMeasurement&)>& visit) const {
    QVariantList binds;
    const QString where = Where(filter, binds);
    QSqlQuery q(Db_->Db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT %1 FROM measurement%2 ORDER BY measured_ms, id")
                  .arg(kColumns, where));
    for (const QVariant& b : binds)
        q.addBindValue(b);
    if (!q.exec())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    while (q.next())
        if (!visit(TArchive::ReadRow(q)))
            break;
}

std::vector<TArchivePoint> TArchive::Points(const TArchiveFilter& filter, int indicator) const {
    if (indicator < 0 || indicator >= IndicatorCount)
        return {};
    QVariantList binds;
    QString where = Where(filter, binds);
    where += where.isEmpty() ? QStringLiteral(" WHERE ") : QStringLiteral(" AND ");
    where += ValueColumn(indicator) + QStringLiteral(" IS NOT NULL");
    QSqlQuery q(Db_->Db);
    q.setForwardOnly(true);
    q.prepare(
        QStringLiteral("SELECT id, measured_ms, %1, invalid_ms IS NOT NULL FROM measurement%2 "
                       "ORDER BY measured_ms, id")
            .arg(ValueColumn(indicator), where));
    for (const QVariant& b : binds)
        q.addBindValue(b);
    if (!q.exec())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    std::vector<TArchivePoint> points;
    while (q.next())
        points.push_back({q.value(0).toLongLong(), q.value(1).toLongLong(), q.value(2).toDouble(),
                          q.value(3).toBool()});
    return points;
}

qint64 TArchive::Count(const TArchiveFilter& filter) const {
    QVariantList binds;
    const QString where = Where(filter, binds);
    QSqlQuery q(Db_->Db);
    q.prepare(QStringLiteral("SELECT count(*) FROM measurement%1").arg(where));
    for (const QVariant& b : binds)
        q.addBindValue(b);
    if (!q.exec() || !q.next())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    return q.value(0).toLongLong();
}

namespace {

const QString kBaseKind = QStringLiteral("base");
const QString kNominalKind = QStringLiteral("nominal");

QString ChartSampleKey(const QString& sample) {
    return Cp1251::decode(ControlChart::SampleKey(Cp1251::encode(sample)));
}

} // namespace

std::optional<TFixedLimits> TArchive::ChartLimits(int indicator, const QString& sample) const {
    QSqlQuery q(Db_->Db);
    q.prepare(QStringLiteral("SELECT kind, centre, sigma, base_from_ms, base_to_ms, nominal, "
                             "tolerance, set_by, set_ms FROM chart_limits "
                             "WHERE indicator = ? AND sample_key = ?"));
    q.addBindValue(indicator);
    q.addBindValue(ChartSampleKey(sample));
    if (!q.exec())
        Fail(QStringLiteral("Не удалось прочитать архив"), q.lastError());
    if (!q.next())
        return std::nullopt;
    TFixedLimits f;
    f.Kind = q.value(0).toString() == kNominalKind ? TLimitsKind::Nominal : TLimitsKind::BasePeriod;
    f.Centre = q.value(1).toDouble();
    f.Sigma = q.value(2).toDouble();
    f.BaseFromMs = q.value(3).toLongLong();
    f.BaseToMs = q.value(4).toLongLong();
    f.Nominal = q.value(5).toDouble();
    f.Tolerance = q.value(6).toDouble();
    f.SetBy = q.value(7).toString();
    f.SetMs = q.value(8).toLongLong();
    return f;
}

void TArchive::SetChartLimits(int indicator, const QString& sample, const TFixedLimits& limits) {
    const bool nominal = limits.Kind == TLimitsKind::Nominal;
    TTransaction t(*this);
    QSqlQuery q(Db_->Db);
    q.prepare(QStringLiteral("INSERT OR REPLACE INTO chart_limits (indicator, sample_key, kind, "
                             "centre, sigma, base_from_ms, base_to_ms, nominal, tolerance, set_by, "
                             "set_ms) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, coalesce(?, ''), ?)"));
    q.addBindValue(indicator);
    q.addBindValue(ChartSampleKey(sample));
    q.addBindValue(nominal ? kNominalKind : kBaseKind);
    q.addBindValue(limits.Centre);
    q.addBindValue(limits.Sigma);
    q.addBindValue(nominal ? QVariant() : QVariant(limits.BaseFromMs));
    q.addBindValue(nominal ? QVariant() : QVariant(limits.BaseToMs));
    q.addBindValue(nominal ? QVariant(limits.Nominal) : QVariant());
    q.addBindValue(nominal ? QVariant(limits.Tolerance) : QVariant());
    // Who and when default to this user and now.
    q.addBindValue(limits.SetBy.isEmpty() ? ThisUser() : limits.SetBy);
    q.addBindValue(limits.SetMs ? limits.SetMs : QDateTime::currentMSecsSinceEpoch());
    if (!q.exec())
        Fail(QStringLiteral("Не удалось записать в архив"), q.lastError());
    t.Commit();
}

void TArchive::ClearChartLimits(int indicator, const QString& sample) {
    TTransaction t(*this);
    QSqlQuery q(Db_->Db);
    q.prepare(QStringLiteral("DELETE FROM chart_limits WHERE indicator = ? AND sample_key = ?"));
    q.addBindValue(indicator);
    q.addBindValue(ChartSampleKey(sample));
    if (!q.exec())
        Fail(QStringLiteral("Не удалось записать в архив"), q.lastError());
    t.Commit();
}
