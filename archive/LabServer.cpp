#include "archive/LabServer.h"

#include "measurement/ValueText.h"

#include <QAtomicInt>
#include <QCryptographicHash>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

#include <charconv>
#include <cmath>

namespace {

// Rows per INSERT statement: a few hundred kilobytes of SQL each.
constexpr size_t kRowsPerStatement = 1000;
// Keys per question of a reconciliation: some hundred kilobytes of SQL.
constexpr qsizetype kKeysPerQuestion = 5000;

// Stands in a migration's statements for a random id made when it runs:
// each server gets its own.
const QString kIdentityToken = QStringLiteral("{identity}");

// True for a change that counts first for the measurement of owner (NULL:
// sent by an older program, which knew no owners).
QString OwnerFirst(const QString& alias) {
    return QStringLiteral("(owner IS NULL OR %1.register_id IS NULL OR %1.register_id = owner)")
        .arg(alias);
}

// The SQL of KeyHash for a text column.
QString KeyHashSql(const QString& column) {
    return QStringLiteral("(('x' || left(md5(%1), 8))::bit(32)::int)").arg(column);
}

ELabServerError Failure(const QString& text, bool refused) {
    ELabServerError e(text.toStdString());
    e.Refused = refused;
    return e;
}

// libpq's and the server's words on one line, without Qt's prefix.
QString Why(const QSqlError& error) {
    QString text = error.databaseText().simplified();
    if (text.isEmpty())
        text = error.text().simplified();
    // The statement's text under the error says nothing to an operator.
    static const QRegularExpression where(QStringLiteral(" LINE \\d+: .*\\^"));
    return text.remove(where);
}

// Said by the server (or libpq) about the login itself: the settings or the
// server's roles must change before a retry can help. In English and in
// Russian, as libpq and the server may speak either.
bool LoginRefused(const QString& why) {
    static const char* const fragments[] = {"authentication failed",
                                            "no password supplied",
                                            "pg_hba.conf",
                                            "does not exist",
                                            "permission denied",
                                            "does not support SSL",
                                            "certificate",
                                            "service file",
                                            "definition of service",
                                            "проверку подлинности",
                                            "не существует",
                                            "нет доступа",
                                            "запрещён",
                                            "не поддерживает SSL",
                                            "сертификат",
                                            "определений служб",
                                            "определение службы"};
    for (const char* f : fragments)
        if (why.contains(QString::fromUtf8(f), Qt::CaseInsensitive))
            return true;
    return false;
}

// Why a secure connection failed, in the operator's words; empty when the
// failure is not about SSL.
QString SslProblem(const QString& why) {
    const auto has = [&why](const char* text) {
        return why.contains(QString::fromUtf8(text), Qt::CaseInsensitive);
    };
    if (has("does not support SSL") || has("не поддерживает SSL"))
        return QStringLiteral("сервер не поддерживает SSL, а настройки требуют защищённого "
                              "соединения");
    if (has("root certificate") || has("корневого сертификата") || has("certificate verify") ||
        has("certificate") || has("сертификат"))
        return QStringLiteral("сертификат сервера не удалось проверить");
    if (has("SSL"))
        return QStringLiteral("защищённое соединение (SSL) не установлено");
    return {};
}

// A statement failed because the link or the server is down or busy, not
// because of what it asked.
bool Transient(const QSqlError& error) {
    const QString code = error.nativeErrorCode();
    if (code.isEmpty())
        return true; // no answer at all: the connection broke
    return code.startsWith(QLatin1String("08")) || code.startsWith(QLatin1String("53")) ||
           code.startsWith(QLatin1String("57")) || code.startsWith(QLatin1String("58")) ||
           code == QLatin1String("40001") || code == QLatin1String("40P01") ||
           code == QLatin1String("55P03");
}

void AppendText(QString& sql, const QString& text) {
    sql += u'\'';
    for (const QChar c : text) {
        if (c == u'\'')
            sql += QLatin1String("''");
        else if (c != QChar(0)) // PostgreSQL text cannot hold it
            sql += c;
    }
    sql += u'\'';
}

// Empty is not known: NULL.
void AppendTextOrNull(QString& sql, const QString& text) {
    if (text.isEmpty())
        sql += QLatin1String("NULL");
    else
        AppendText(sql, text);
}

template <typename T> void AppendInteger(QString& sql, const std::optional<T>& value) {
    if (value)
        sql += QString::number(*value);
    else
        sql += QLatin1String("NULL");
}

// UTC from the milliseconds, written out by hand: QDateTime's own text
// takes several times as long, and a batch holds thousands of them.
void AppendTime(QString& sql, const QDateTime& time) {
    if (!time.isValid()) {
        sql += QLatin1String("NULL");
        return;
    }
    constexpr qint64 kDayMs = 86400000;
    const qint64 ms = time.toMSecsSinceEpoch();
    const qint64 days = ms / kDayMs - (ms % kDayMs < 0 ? 1 : 0);
    const qint64 inDay = ms - days * kDayMs;
    const QDate date = QDate::fromJulianDay(2440588 + days); // 1970-01-01
    if (date.year() < 1 || date.year() > 9999) {
        AppendText(sql, time.toUTC().toString(Qt::ISODateWithMs));
        return;
    }
    const auto digits = [&sql](int value, int width) {
        char text[12];
        const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
        Q_UNUSED(ec);
        for (qsizetype n = end - text; n < width; ++n)
            sql += u'0';
        sql += QLatin1String(text, end - text);
    };
    sql += u'\'';
    digits(date.year(), 4);
    sql += u'-';
    digits(date.month(), 2);
    sql += u'-';
    digits(date.day(), 2);
    sql += u' ';
    digits(int(inDay / 3600000), 2);
    sql += u':';
    digits(int(inDay / 60000 % 60), 2);
    sql += u':';
    digits(int(inDay / 1000 % 60), 2);
    sql += u'.';
    digits(int(inDay % 1000), 3);
    sql += QLatin1String("+00'");
}

void AppendValue(QString& sql, const std::optional<double>& value) {
    if (!value)
        sql += QLatin1String("NULL");
    else if (std::isnan(*value))
        sql += QLatin1String("'NaN'");
    else if (std::isinf(*value))
        sql += *value > 0 ? QLatin1String("'Infinity'") : QLatin1String("'-Infinity'");
    else
        sql += TValueText::Shortest(*value);
}

void AppendBytes(QString& sql, const QByteArray& bytes) {
    if (bytes.isEmpty()) {
        sql += QLatin1String("NULL");
        return;
    }
    sql += QLatin1String("'\\x");
    sql += QLatin1String(bytes.toHex());
    sql += u'\'';
}

template <typename T, typename F>
void AppendRows(std::vector<QString>& statements, const std::vector<T>& rows, const QString& head,
                const QString& tail, F&& row) {
    for (size_t from = 0; from < rows.size(); from += kRowsPerStatement) {
        const size_t to = std::min(rows.size(), from + kRowsPerStatement);
        QString sql = head;
        sql.reserve(qsizetype(to - from) * 600 + head.size() + tail.size());
        for (size_t i = from; i < to; ++i) {
            sql += i == from ? QLatin1String(" (") : QLatin1String(", (");
            row(sql, rows[i]);
            sql += u')';
        }
        sql += tail;
        statements.push_back(std::move(sql));
    }
}

QString ValueColumns(const QString& type) {
    QString columns;
    for (int k = 1; k <= IndicatorCount; ++k)
        columns += QStringLiteral(", v%1%2").arg(k).arg(type);
    return columns;
}

} // namespace

const std::vector<TLabServer::TMigration>& TLabServer::Migrations() {
    static const std::vector<TMigration> steps = {
        {1,
         {QStringLiteral("CREATE TABLE schema_version (version integer PRIMARY KEY, "
                         "applied timestamptz NOT NULL DEFAULT now())"),
          // id: the reader's row number, for paging in time order.
          QStringLiteral("CREATE TABLE measurement ("
                         "uid text PRIMARY KEY, "
                         "id bigint GENERATED ALWAYS AS IDENTITY UNIQUE, "
                         "device integer NOT NULL, port text NOT NULL, computer text NOT NULL, "
                         "user_name text NOT NULL, program_version text NOT NULL, "
                         "measured timestamptz NOT NULL, calibration integer NOT NULL%1, "
                         "raw bytea, received timestamptz NOT NULL, results_file text NOT NULL, "
                         "sample_name text NOT NULL, source text NOT NULL, "
                         "uploaded timestamptz NOT NULL DEFAULT now(), "
                         "current_name text NOT NULL, invalid_reason text, invalid_by text, "
                         "invalid_at timestamptz)")
              .arg(ValueColumns(QStringLiteral(" double precision"))),
          QStringLiteral("CREATE INDEX measurement_measured ON measurement (measured, id)"),
          // The reader looks for a part of a name over a period. A btree
          // cannot serve "contains"; trigrams can, and the server joins them
          // with the time range. Without pg_trgm (a server without contrib)
          // the search still works, only slower.
          QStringLiteral(
              "DO $$\n"
              "DECLARE trgm name;\n"
              "BEGIN\n"
              "  IF NOT EXISTS (SELECT FROM pg_extension WHERE extname = 'pg_trgm') THEN\n"
              "    BEGIN\n"
              "      CREATE EXTENSION pg_trgm;\n"
              "    EXCEPTION WHEN OTHERS THEN\n"
              "      RAISE NOTICE 'pg_trgm: %', SQLERRM;\n"
              "    END;\n"
              "  END IF;\n"
              "  SELECT extnamespace::regnamespace::name INTO trgm FROM pg_extension WHERE extname "
              "= 'pg_trgm';\n"
              "  IF trgm IS NOT NULL THEN\n"
              "    EXECUTE format('CREATE INDEX measurement_name ON measurement '\n"
              "                   'USING gin (lower(current_name) %I.gin_trgm_ops)', trgm);\n"
              "  END IF;\n"
              "END $$"),
          // id: the order of arrival, for changes stamped with the same time.
          QStringLiteral("CREATE TABLE name_change (key text PRIMARY KEY, "
                         "id bigint GENERATED ALWAYS AS IDENTITY UNIQUE, uid text NOT NULL, "
                         "changed timestamptz NOT NULL, user_name text NOT NULL, "
                         "old_name text NOT NULL, new_name text NOT NULL)"),
          QStringLiteral("CREATE INDEX name_change_uid ON name_change (uid, changed, id)"),
          QStringLiteral(
              "CREATE TABLE invalid_mark (key text PRIMARY KEY, "
              "id bigint GENERATED ALWAYS AS IDENTITY UNIQUE, uid text NOT NULL, "
              "marked timestamptz NOT NULL, user_name text NOT NULL, reason text NOT NULL)"),
          QStringLiteral("CREATE INDEX invalid_mark_uid ON invalid_mark (uid, marked, id)"),
          // The current name and invalid state follow the latest change, in
          // whatever order changes and measurements arrive. The functions run
          // as the owner, so the writer needs no UPDATE.
          QStringLiteral(
              "CREATE FUNCTION measurement_current() RETURNS trigger LANGUAGE plpgsql "
              "SECURITY DEFINER SET search_path FROM CURRENT AS $$\n"
              "BEGIN\n"
              "  NEW.current_name := coalesce((SELECT c.new_name FROM name_change c WHERE c.uid = "
              "NEW.uid\n"
              "    ORDER BY c.changed DESC, c.id DESC LIMIT 1), NEW.sample_name);\n"
              "  SELECT nullif(i.reason, ''), CASE WHEN i.reason <> '' THEN i.user_name END,\n"
              "         CASE WHEN i.reason <> '' THEN i.marked END\n"
              "    INTO NEW.invalid_reason, NEW.invalid_by, NEW.invalid_at\n"
              "    FROM invalid_mark i WHERE i.uid = NEW.uid ORDER BY i.marked DESC, i.id DESC "
              "LIMIT 1;\n"
              "  RETURN NEW;\n"
              "END $$"),
          QStringLiteral("CREATE TRIGGER measurement_current BEFORE INSERT ON measurement "
                         "FOR EACH ROW EXECUTE FUNCTION measurement_current()"),
          QStringLiteral(
              "CREATE FUNCTION name_change_applied() RETURNS trigger LANGUAGE plpgsql "
              "SECURITY DEFINER SET search_path FROM CURRENT AS $$\n"
              "BEGIN\n"
              "  UPDATE measurement m SET current_name = c.new_name\n"
              "    FROM (SELECT new_name FROM name_change WHERE uid = NEW.uid\n"
              "          ORDER BY changed DESC, id DESC LIMIT 1) c\n"
              "   WHERE m.uid = NEW.uid AND m.current_name IS DISTINCT FROM c.new_name;\n"
              "  RETURN NULL;\n"
              "END $$"),
          QStringLiteral("CREATE TRIGGER name_change_applied AFTER INSERT ON name_change "
                         "FOR EACH ROW EXECUTE FUNCTION name_change_applied()"),
          QStringLiteral(
              "CREATE FUNCTION invalid_mark_applied() RETURNS trigger LANGUAGE plpgsql "
              "SECURITY DEFINER SET search_path FROM CURRENT AS $$\n"
              "BEGIN\n"
              "  UPDATE measurement m SET invalid_reason = nullif(i.reason, ''),\n"
              "         invalid_by = CASE WHEN i.reason <> '' THEN i.user_name END,\n"
              "         invalid_at = CASE WHEN i.reason <> '' THEN i.marked END\n"
              "    FROM (SELECT reason, user_name, marked FROM invalid_mark WHERE uid = NEW.uid\n"
              "          ORDER BY marked DESC, id DESC LIMIT 1) i\n"
              "   WHERE m.uid = NEW.uid;\n"
              "  RETURN NULL;\n"
              "END $$"),
          QStringLiteral("CREATE TRIGGER invalid_mark_applied AFTER INSERT ON invalid_mark "
                         "FOR EACH ROW EXECUTE FUNCTION invalid_mark_applied()"),
          QStringLiteral("REVOKE ALL ON FUNCTION measurement_current(), name_change_applied(), "
                         "invalid_mark_applied() FROM PUBLIC"),
          // Without roles.sql's roles (a single computer's own server) the
          // owner alone uses the tables.
          QStringLiteral(
              "DO $$\n"
              "BEGIN\n"
              "  IF EXISTS (SELECT FROM pg_roles WHERE rolname = '%1') THEN\n"
              "    GRANT SELECT, INSERT ON measurement, name_change, invalid_mark TO %1;\n"
              "    GRANT SELECT ON schema_version TO %1;\n"
              "  END IF;\n"
              "  IF EXISTS (SELECT FROM pg_roles WHERE rolname = '%2') THEN\n"
              "    GRANT SELECT ON measurement, name_change, invalid_mark, schema_version TO %2;\n"
              "  END IF;\n"
              "END $$")
              .arg(WriterRole, ReaderRole)}},
        // Imported rows: the analyser and who measured are not known, who
        // imported and the file's decimals get columns of their own.
        {2,
         {QStringLiteral("ALTER TABLE measurement ALTER COLUMN device DROP NOT NULL, "
                         "ALTER COLUMN user_name DROP NOT NULL, ADD COLUMN imported_by text, "
                         "ADD COLUMN decimals integer"),
          QStringLiteral("UPDATE measurement SET device = NULL, user_name = NULL, "
                         "imported_by = nullif(user_name, ''), decimals = 2 "
                         "WHERE source = 'import'")}},
        // The server's identity, and the order of each register's changes:
        // its own increasing local ids (seq), not the clocks' time stamps.
        // Rows of older programs have neither and keep their time order.
        {3,
         {QStringLiteral("CREATE TABLE server_identity (id uuid NOT NULL, "
                         "made timestamptz NOT NULL DEFAULT now())"),
          QStringLiteral("CREATE UNIQUE INDEX server_identity_one ON server_identity ((true))"),
          QStringLiteral("INSERT INTO server_identity (id) VALUES ('%1')").arg(kIdentityToken),
          QStringLiteral("ALTER TABLE measurement ADD COLUMN register_id uuid, "
                         "ADD COLUMN seq bigint"),
          QStringLiteral("ALTER TABLE name_change ADD COLUMN register_id uuid, "
                         "ADD COLUMN seq bigint"),
          QStringLiteral("ALTER TABLE invalid_mark ADD COLUMN register_id uuid, "
                         "ADD COLUMN seq bigint"),
          QStringLiteral("CREATE INDEX measurement_register ON measurement (register_id, seq)"),
          QStringLiteral("CREATE INDEX name_change_register ON name_change (register_id, seq)"),
          QStringLiteral("CREATE INDEX invalid_mark_register ON invalid_mark (register_id, seq)"),
          // The latest change of a measurement: its owner's (the register
          // that sent it) come first, then by the owner's order, then, for
          // rows without one, by time and arrival.
          QStringLiteral("CREATE FUNCTION latest_name(u text, owner uuid) RETURNS text "
                         "LANGUAGE sql STABLE SET search_path FROM CURRENT AS $$\n"
                         "  SELECT c.new_name FROM name_change c WHERE c.uid = u\n"
                         "   ORDER BY %1 DESC, c.seq DESC NULLS LAST, c.changed DESC, c.id DESC\n"
                         "   LIMIT 1\n"
                         "$$")
              .arg(OwnerFirst(QStringLiteral("c"))),
          QStringLiteral("CREATE FUNCTION latest_mark(u text, owner uuid) RETURNS invalid_mark "
                         "LANGUAGE sql STABLE SET search_path FROM CURRENT AS $$\n"
                         "  SELECT i.* FROM invalid_mark i WHERE i.uid = u\n"
                         "   ORDER BY %1 DESC, i.seq DESC NULLS LAST, i.marked DESC, i.id DESC\n"
                         "   LIMIT 1\n"
                         "$$")
              .arg(OwnerFirst(QStringLiteral("i"))),
          QStringLiteral(
              "CREATE FUNCTION measurement_refresh(u text) RETURNS void LANGUAGE plpgsql "
              "SECURITY DEFINER SET search_path FROM CURRENT AS $$\n"
              "DECLARE owner uuid; sample text; i invalid_mark;\n"
              "BEGIN\n"
              "  SELECT register_id, sample_name INTO owner, sample FROM measurement WHERE uid = u;\n"
              "  IF NOT FOUND THEN RETURN; END IF;\n"
              "  i := latest_mark(u, owner);\n"
              "  UPDATE measurement SET current_name = coalesce(latest_name(u, owner), sample),\n"
              "         invalid_reason = nullif(i.reason, ''),\n"
              "         invalid_by = CASE WHEN i.reason <> '' THEN i.user_name END,\n"
              "         invalid_at = CASE WHEN i.reason <> '' THEN i.marked END\n"
              "   WHERE uid = u;\n"
              "END $$"),
          // A row an older program sent, sent again by a register, becomes
          // that register's: its order and owner count from then on.
          QStringLiteral(
              "CREATE OR REPLACE FUNCTION measurement_current() RETURNS trigger "
              "LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$\n"
              "DECLARE i invalid_mark;\n"
              "BEGIN\n"
              "  IF NEW.register_id IS NOT NULL THEN\n"
              "    UPDATE measurement SET register_id = NEW.register_id, seq = NEW.seq\n"
              "     WHERE uid = NEW.uid AND register_id IS NULL;\n"
              "    IF FOUND THEN\n"
              "      PERFORM measurement_refresh(NEW.uid);\n"
              "      RETURN NULL;\n"
              "    END IF;\n"
              "  END IF;\n"
              "  NEW.current_name := coalesce(latest_name(NEW.uid, NEW.register_id), "
              "NEW.sample_name);\n"
              "  i := latest_mark(NEW.uid, NEW.register_id);\n"
              "  NEW.invalid_reason := nullif(i.reason, '');\n"
              "  NEW.invalid_by := CASE WHEN i.reason <> '' THEN i.user_name END;\n"
              "  NEW.invalid_at := CASE WHEN i.reason <> '' THEN i.marked END;\n"
              "  RETURN NEW;\n"
              "END $$"),
          QStringLiteral("CREATE OR REPLACE FUNCTION name_change_applied() RETURNS trigger "
                         "LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$\n"
                         "BEGIN\n"
                         "  PERFORM measurement_refresh(NEW.uid);\n"
                         "  RETURN NULL;\n"
                         "END $$"),
          QStringLiteral("CREATE OR REPLACE FUNCTION invalid_mark_applied() RETURNS trigger "
                         "LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$\n"
                         "BEGIN\n"
                         "  PERFORM measurement_refresh(NEW.uid);\n"
                         "  RETURN NULL;\n"
                         "END $$"),
          QStringLiteral(
              "CREATE FUNCTION change_claimed() RETURNS trigger LANGUAGE plpgsql "
              "SECURITY DEFINER SET search_path FROM CURRENT AS $$\n"
              "BEGIN\n"
              "  IF NEW.register_id IS NULL THEN RETURN NEW; END IF;\n"
              "  IF TG_TABLE_NAME = 'name_change' THEN\n"
              "    UPDATE name_change SET register_id = NEW.register_id, seq = NEW.seq\n"
              "     WHERE key = NEW.key AND register_id IS NULL;\n"
              "  ELSE\n"
              "    UPDATE invalid_mark SET register_id = NEW.register_id, seq = NEW.seq\n"
              "     WHERE key = NEW.key AND register_id IS NULL;\n"
              "  END IF;\n"
              "  IF NOT FOUND THEN RETURN NEW; END IF;\n"
              "  PERFORM measurement_refresh(NEW.uid);\n"
              "  RETURN NULL;\n"
              "END $$"),
          QStringLiteral("CREATE TRIGGER name_change_claimed BEFORE INSERT ON name_change "
                         "FOR EACH ROW EXECUTE FUNCTION change_claimed()"),
          QStringLiteral("CREATE TRIGGER invalid_mark_claimed BEFORE INSERT ON invalid_mark "
                         "FOR EACH ROW EXECUTE FUNCTION change_claimed()"),
          QStringLiteral("REVOKE ALL ON FUNCTION latest_name(text, uuid), latest_mark(text, uuid), "
                         "measurement_refresh(text), change_claimed() FROM PUBLIC"),
          QStringLiteral("DO $$\n"
                         "BEGIN\n"
                         "  IF EXISTS (SELECT FROM pg_roles WHERE rolname = '%1') THEN\n"
                         "    GRANT SELECT ON server_identity TO %1;\n"
                         "  END IF;\n"
                         "  IF EXISTS (SELECT FROM pg_roles WHERE rolname = '%2') THEN\n"
                         "    GRANT SELECT ON server_identity TO %2;\n"
                         "  END IF;\n"
                         "END $$")
              .arg(WriterRole, ReaderRole)}},
    };
    return steps;
}

struct TLabServer::TConnection {
    TConnection() {
        static QAtomicInt counter;
        Name = QStringLiteral("savro2-labserver-%1").arg(counter.fetchAndAddRelaxed(1));
        Db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), Name);
    }
    ~TConnection() {
        Db.close();
        Db = QSqlDatabase();
        QSqlDatabase::removeDatabase(Name);
    }
    QString Name;
    QSqlDatabase Db;
};

TLabServer::TLabServer(const TLabSettings& settings) : TLabServer(settings, Migrations()) {}

TLabServer::TLabServer(const TLabSettings& settings, const std::vector<TMigration>& migrations)
    : Settings_(settings) {
    const QString server = QStringLiteral("%1:%2").arg(settings.Host).arg(settings.Port);
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL")))
        throw Failure(QStringLiteral("Драйвер PostgreSQL для Qt (QPSQL, пакет libqt6sql6-psql) "
                                     "не установлен."),
                      true);
    if (const QString problem = settings.Problem(); !problem.isEmpty())
        throw Failure(problem, true);
    Connection_ = std::make_unique<TConnection>();
    QSqlDatabase& db = Connection_->Db;
    db.setHostName(settings.Host);
    db.setPort(settings.Port);
    db.setDatabaseName(settings.Database);
    db.setUserName(settings.User);
    // No password here: libpq takes it from the password or service file.
    // Keepalives end a connection whose server went away within a minute
    // instead of hours.
    db.setConnectOptions(settings.ConnectOptions() +
                         QStringLiteral(";application_name=savro2;keepalives_idle=20;"
                                        "keepalives_interval=10;keepalives_count=3;"
                                        "tcp_user_timeout=60000"));
    if (!db.open()) {
        const QString why = Why(db.lastError());
        if (const QString ssl = SslProblem(why); !ssl.isEmpty())
            throw Failure(QStringLiteral("Сервер лаборатории %1: %2: %3").arg(server, ssl, why),
                          true);
        if (LoginRefused(why))
            throw Failure(
                QStringLiteral("Сервер лаборатории %1 отказал во входе пользователю «%2»: %3")
                    .arg(server, settings.User, why),
                true);
        throw Failure(QStringLiteral("Нет связи с сервером лаборатории %1: %2").arg(server, why),
                      false);
    }
    // The batches are written as SQL text: quotes doubled, backslashes plain.
    Exec(QStringLiteral("SET standard_conforming_strings = on"),
         QStringLiteral("Не удалось настроить соединение с сервером лаборатории"));
    Migrate(migrations);
}

TLabServer::~TLabServer() = default;

QSqlDatabase& TLabServer::Database() {
    return Connection_->Db;
}

void TLabServer::Exec(const QString& sql, const QString& what) {
    QSqlQuery q(Connection_->Db);
    q.setForwardOnly(true);
    if (!q.exec(sql))
        throw Failure(QStringLiteral("%1: %2").arg(what, Why(q.lastError())),
                      !Transient(q.lastError()));
}

QSqlQuery TLabServer::Query(const QString& sql, const QString& what) {
    QSqlQuery q(Connection_->Db);
    q.setForwardOnly(true);
    if (!q.exec(sql))
        throw Failure(QStringLiteral("%1: %2").arg(what, Why(q.lastError())),
                      !Transient(q.lastError()));
    return q;
}

void TLabServer::Rollback() {
    if (!Connection_->Db.isOpen())
        return; // the driver closed it when the server went away
    QSqlQuery q(Connection_->Db);
    q.exec(QStringLiteral("ROLLBACK"));
}

int TLabServer::ReadVersion() {
    QSqlQuery q(Connection_->Db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT to_regclass('schema_version') IS NOT NULL")) || !q.next())
        throw Failure(
            QStringLiteral("Не удалось прочитать версию схемы архива на сервере лаборатории: %1")
                .arg(Why(q.lastError())),
            !Transient(q.lastError()));
    if (!q.value(0).toBool())
        return 0;
    if (!q.exec(QStringLiteral("SELECT coalesce(max(version), 0) FROM schema_version")) ||
        !q.next())
        throw Failure(
            QStringLiteral("Не удалось прочитать версию схемы архива на сервере лаборатории: %1")
                .arg(Why(q.lastError())),
            !Transient(q.lastError()));
    return q.value(0).toInt();
}

void TLabServer::Migrate(const std::vector<TMigration>& migrations) {
    const int known = migrations.empty() ? 0 : migrations.back().Version;
    const auto checkNotNewer = [&] {
        if (Version_ > known)
            throw Failure(
                QStringLiteral("Схема архива на сервере лаборатории — версии %1, а эта версия "
                               "программы знает схемы до версии %2: нужна более новая "
                               "версия программы.")
                    .arg(Version_)
                    .arg(known),
                true);
    };
    Version_ = ReadVersion();
    checkNotNewer();
    for (const TMigration& step : migrations) {
        if (step.Version <= Version_)
            continue;
        QSqlQuery q(Connection_->Db);
        q.setForwardOnly(true);
        QString failed;
        try {
            Exec(QStringLiteral("BEGIN"), QStringLiteral("Нет связи с сервером лаборатории"));
            // Two registers updated at once start together: one upgrades,
            // the other waits here and then finds it done.
            Exec(QStringLiteral("SELECT pg_advisory_xact_lock(7402186319)"),
                 QStringLiteral("Нет связи с сервером лаборатории"));
            Version_ = ReadVersion();
            checkNotNewer();
            if (step.Version <= Version_) {
                Exec(QStringLiteral("COMMIT"), QStringLiteral("Нет связи с сервером лаборатории"));
                continue;
            }
            // The trigger functions keep the schema they were made in.
            Exec(QStringLiteral(
                     "SELECT set_config('search_path', quote_ident(s) || ', pg_temp', true) "
                     "FROM current_schema() s WHERE s IS NOT NULL"),
                 QStringLiteral("Нет связи с сервером лаборатории"));
            QStringList statements = step.Statements;
            statements.replaceInStrings(kIdentityToken,
                                        QUuid::createUuid().toString(QUuid::WithoutBraces));
            statements << QStringLiteral("INSERT INTO schema_version (version) VALUES (%1)")
                              .arg(step.Version);
            for (const QString& sql : statements) {
                if (q.exec(sql))
                    continue;
                const QSqlError error = q.lastError();
                if (Transient(error))
                    throw Failure(
                        QStringLiteral("Нет связи с сервером лаборатории: %1").arg(Why(error)),
                        false);
                const bool privilege = error.nativeErrorCode() == QLatin1String("42501");
                if (privilege && Version_ == 0)
                    failed = QStringLiteral(
                                 "Схемы архива на сервере лаборатории ещё нет, а пользователь "
                                 "«%1» не может её создать: %2. Её создаёт владелец базы "
                                 "(savro2_owner, см. roles.sql), соединившись с сервером из "
                                 "программы.")
                                 .arg(Settings_.User, Why(error));
                else if (privilege)
                    failed =
                        QStringLiteral("Схема архива на сервере лаборатории устарела (версия %1, "
                                       "программе нужна %2), а пользователь «%3» не может её "
                                       "обновить: %4. Её обновляет владелец базы (savro2_owner, "
                                       "см. roles.sql), соединившись с сервером из программы.")
                            .arg(Version_)
                            .arg(known)
                            .arg(Settings_.User, Why(error));
                else
                    failed =
                        QStringLiteral("Не удалось обновить схему архива на сервере лаборатории "
                                       "до версии %1: %2")
                            .arg(step.Version)
                            .arg(Why(error));
                throw Failure(failed, true);
            }
            Exec(QStringLiteral("COMMIT"),
                 QStringLiteral("Не удалось обновить схему архива на сервере лаборатории"));
            Version_ = step.Version;
        } catch (const ELabServerError&) {
            q = QSqlQuery();
            Rollback();
            throw;
        }
    }
}

QString TLabServer::ServerVersion() {
    QSqlQuery q(Connection_->Db);
    if (q.exec(QStringLiteral("SHOW server_version")) && q.next())
        return q.value(0).toString();
    return QStringLiteral("?");
}

TServerHold TLabServer::Upload(const QString& registerId,
                               const std::vector<TArchiveMeasurement>& measurements,
                               const std::vector<TNameChange>& names,
                               const std::vector<TInvalidMark>& marks) {
    if (measurements.empty() && names.empty() && marks.empty())
        return {};
    // Each statement tells how many rows it added and the highest of them.
    std::vector<QString> statements;
    AppendRows(
        statements, measurements,
        QStringLiteral("WITH added AS (INSERT INTO measurement (uid, device, port, computer, "
                       "user_name, program_version, measured, calibration%1, raw, received, "
                       "results_file, sample_name, source, imported_by, decimals, register_id, "
                       "seq) VALUES")
            .arg(ValueColumns(QString())),
        QStringLiteral(" ON CONFLICT (uid) DO NOTHING RETURNING seq) "
                       "SELECT count(*), coalesce(max(seq), 0) FROM added"),
        [&registerId](QString& sql, const TArchiveMeasurement& m) {
            AppendText(sql, m.Uid);
            sql += QLatin1String(", ");
            AppendInteger(sql, m.Device);
            sql += QLatin1String(", ");
            AppendText(sql, m.Port);
            sql += QLatin1String(", ");
            AppendText(sql, m.Computer);
            sql += QLatin1String(", ");
            AppendTextOrNull(sql, m.User);
            sql += QLatin1String(", ");
            AppendText(sql, m.ProgramVersion);
            sql += QLatin1String(", ");
            AppendTime(sql, m.Measured);
            sql += QStringLiteral(", %1").arg(m.Calibration);
            for (const std::optional<double>& v : m.Values) {
                sql += QLatin1String(", ");
                AppendValue(sql, v);
            }
            sql += QLatin1String(", ");
            AppendBytes(sql, m.Raw);
            sql += QLatin1String(", ");
            AppendTime(sql, m.Received);
            sql += QLatin1String(", ");
            AppendText(sql, m.ResultsFile);
            sql += QLatin1String(", ");
            AppendText(sql, m.SampleName);
            sql += QLatin1String(", ");
            AppendText(sql, m.Source);
            sql += QLatin1String(", ");
            AppendTextOrNull(sql, m.ImportedBy);
            sql += QLatin1String(", ");
            AppendInteger(sql, m.Decimals);
            sql += QLatin1String(", ");
            AppendTextOrNull(sql, registerId);
            sql += QStringLiteral(", %1").arg(m.Id);
        });
    const size_t measurementStatements = statements.size();
    AppendRows(statements, names,
               QStringLiteral("INSERT INTO name_change (key, uid, changed, user_name, old_name, "
                              "new_name, register_id, seq) VALUES"),
               QStringLiteral(" ON CONFLICT (key) DO NOTHING"),
               [&registerId](QString& sql, const TNameChange& c) {
                   for (const QString& text : {c.Key, c.Uid}) {
                       AppendText(sql, text);
                       sql += QLatin1String(", ");
                   }
                   AppendTime(sql, c.When);
                   for (const QString& text : {c.User, c.OldName, c.NewName}) {
                       sql += QLatin1String(", ");
                       AppendText(sql, text);
                   }
                   sql += QLatin1String(", ");
                   AppendTextOrNull(sql, registerId);
                   sql += QStringLiteral(", %1").arg(c.Id);
               });
    AppendRows(statements, marks,
               QStringLiteral("INSERT INTO invalid_mark (key, uid, marked, user_name, reason, "
                              "register_id, seq) VALUES"),
               QStringLiteral(" ON CONFLICT (key) DO NOTHING"),
               [&registerId](QString& sql, const TInvalidMark& i) {
                   for (const QString& text : {i.Key, i.Uid}) {
                       AppendText(sql, text);
                       sql += QLatin1String(", ");
                   }
                   AppendTime(sql, i.When);
                   for (const QString& text : {i.User, i.Reason}) {
                       sql += QLatin1String(", ");
                       AppendText(sql, text);
                   }
                   sql += QLatin1String(", ");
                   AppendTextOrNull(sql, registerId);
                   sql += QStringLiteral(", %1").arg(i.Id);
               });
    const QString what = QStringLiteral("Не удалось записать на сервер лаборатории");
    TServerHold added;
    try {
        Exec(QStringLiteral("BEGIN"), what);
        for (size_t n = 0; n < statements.size(); ++n) {
            if (n >= measurementStatements) {
                Exec(statements[n], what);
                continue;
            }
            QSqlQuery q = Query(statements[n], what);
            if (q.next()) {
                added.Rows += q.value(0).toLongLong();
                added.Top = std::max(added.Top, q.value(1).toLongLong());
            }
        }
        Exec(QStringLiteral("COMMIT"), what);
    } catch (const ELabServerError&) {
        Rollback();
        throw;
    }
    return added;
}

TLabServer::TLook TLabServer::Look(const QString& registerId, bool countRows) {
    QString reg;
    AppendText(reg, registerId);
    QString sql = QStringLiteral(
                      "SELECT (SELECT id::text FROM server_identity LIMIT 1), "
                      "(SELECT coalesce(max(seq), 0) FROM measurement WHERE register_id = %1)")
                      .arg(reg);
    if (countRows)
        sql += QStringLiteral(", (SELECT count(*) FROM measurement WHERE register_id = %1)").arg(reg);
    QSqlQuery q = Query(sql, QStringLiteral("Не удалось прочитать сервер лаборатории"));
    TLook look;
    look.Held.Rows = -1;
    if (q.next()) {
        look.Identity = q.value(0).toString();
        look.Held.Top = q.value(1).toLongLong();
        if (countRows)
            look.Held.Rows = q.value(2).toLongLong();
    }
    if (look.Identity.isEmpty())
        throw Failure(QStringLiteral("На сервере лаборатории нет метки базы (таблица "
                                     "server_identity пуста): её восстанавливает владелец базы."),
                      true);
    return look;
}

qint32 TLabServer::KeyHash(const QString& key) {
    const QByteArray md5 = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Md5);
    const auto byte = [&md5](int i) { return quint32(quint8(md5[i])); };
    return qint32(byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3));
}

std::map<qint64, TKeySum> TLabServer::Sums(const QString& registerId, qint64 offsetMs,
                                           qint64 upto, qint64 spanMs,
                                           std::optional<qint64> fromMs,
                                           std::optional<qint64> toMs) {
    QString reg;
    AppendText(reg, registerId);
    QString sql =
        QStringLiteral("SELECT floor(((extract(epoch FROM measured) * 1000)::bigint + %1)::numeric "
                       "/ %2)::bigint AS span, count(*), sum(%3) FROM measurement "
                       "WHERE register_id = %4 AND seq <= %5")
            .arg(offsetMs)
            .arg(spanMs)
            .arg(KeyHashSql(QStringLiteral("uid")), reg)
            .arg(upto);
    // Milliseconds exactly, as the archive keeps them; the time index serves.
    if (fromMs)
        sql += QStringLiteral(" AND measured >= timestamptz 'epoch' + %1 * interval '1 ms'")
                   .arg(*fromMs);
    if (toMs)
        sql += QStringLiteral(" AND measured <= timestamptz 'epoch' + %1 * interval '1 ms'")
                   .arg(*toMs);
    sql += QLatin1String(" GROUP BY span");
    QSqlQuery q = Query(sql, QStringLiteral("Не удалось прочитать сервер лаборатории"));
    std::map<qint64, TKeySum> spans;
    while (q.next())
        spans[q.value(0).toLongLong()] = {q.value(1).toLongLong(), q.value(2).toLongLong()};
    return spans;
}

TKeySum TLabServer::ChangeSum(TChanges kind, const QString& registerId, qint64 upto) {
    QString reg;
    AppendText(reg, registerId);
    QSqlQuery q = Query(
        QStringLiteral("SELECT count(*), coalesce(sum(%1), 0) FROM %2 "
                       "WHERE register_id = %3 AND seq <= %4")
            .arg(KeyHashSql(QStringLiteral("key")),
                 kind == TChanges::Names ? QStringLiteral("name_change")
                                         : QStringLiteral("invalid_mark"),
                 reg)
            .arg(upto),
        QStringLiteral("Не удалось прочитать сервер лаборатории"));
    if (!q.next())
        return {};
    return {q.value(0).toLongLong(), q.value(1).toLongLong()};
}

std::map<QString, bool> TLabServer::Present(std::optional<TChanges> changes,
                                            const QString& registerId, const QStringList& keys) {
    const QString table = !changes                      ? QStringLiteral("measurement")
                          : *changes == TChanges::Names ? QStringLiteral("name_change")
                                                        : QStringLiteral("invalid_mark");
    const QString column = changes ? QStringLiteral("key") : QStringLiteral("uid");
    QString reg;
    AppendText(reg, registerId);
    std::map<QString, bool> present;
    for (qsizetype from = 0; from < keys.size(); from += kKeysPerQuestion) {
        QString sql = QStringLiteral("SELECT %1, register_id IS NOT DISTINCT FROM %2 FROM %3 "
                                     "WHERE %1 = ANY (ARRAY[")
                          .arg(column, reg, table);
        const qsizetype to = std::min(keys.size(), from + kKeysPerQuestion);
        for (qsizetype i = from; i < to; ++i) {
            if (i > from)
                sql += u',';
            AppendText(sql, keys[i]);
        }
        sql += QLatin1String("]::text[])");
        QSqlQuery q = Query(sql, QStringLiteral("Не удалось прочитать сервер лаборатории"));
        while (q.next())
            present[q.value(0).toString()] = q.value(1).toBool();
    }
    return present;
}

QString TLabServer::TestConnection(const TLabSettings& settings, bool* ok) {
    if (ok)
        *ok = false;
    const QString failed = QStringLiteral("Не удалось соединиться с сервером: %1");
    if (!settings.Configured())
        return failed.arg(QStringLiteral("не указан адрес сервера."));
    try {
        TLabServer server(settings);
        QString sentence =
            QStringLiteral(
                "Соединение установлено: PostgreSQL %1, база «%2», схема архива версии %3.")
                .arg(server.ServerVersion(), settings.Database)
                .arg(server.Version());
        QSqlQuery q(server.Database());
        if (q.exec(QStringLiteral("SELECT has_table_privilege('measurement', 'INSERT')")) &&
            q.next() && !q.value(0).toBool())
            sentence +=
                QStringLiteral(" Пользователь «%1» может только читать: измерения он не отправит.")
                    .arg(settings.User);
        if (ok)
            *ok = true;
        return sentence;
    } catch (const ELabServerError& e) {
        return failed.arg(QString::fromStdString(e.what()));
    }
}
