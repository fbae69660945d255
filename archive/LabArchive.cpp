#include "archive/LabArchive.h"

#include "archive/Archive.h"

#include <QAtomicInt>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

namespace {

// Times travel as ms since the epoch: no time zone of the session or the
// driver comes between. The uploader sends whole milliseconds, so a cursor
// made from them finds its row again exactly.
QString Ms(const char* column) {
    return QStringLiteral("(extract(epoch from %1) * 1000)::bigint").arg(QLatin1String(column));
}

const QString kFromMs = QStringLiteral("to_timestamp(?::bigint / 1000.0)");

QString Columns() {
    QString values;
    for (int k = 1; k <= IndicatorCount; ++k)
        values += QStringLiteral("v%1, ").arg(k);
    return QStringLiteral("id, uid, device, port, computer, user_name, program_version, %1, "
                          "calibration, %2raw, %3, results_file, current_name, source, "
                          "invalid_reason, invalid_by, %4, imported_by, decimals")
        .arg(Ms("measured"), values, Ms("received"), Ms("invalid_at"));
}

// lower() leaves Cyrillic alone on a server whose collation is C: the
// Russian capitals are folded here first, whatever the server's locale.
QString LowerName() {
    const QString upper = QStringLiteral("АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ");
    return QStringLiteral("lower(translate(current_name, '%1', '%2'))").arg(upper, upper.toLower());
}

QDateTime FromMs(const QVariant& v) {
    return v.isNull() ? QDateTime() : QDateTime::fromMSecsSinceEpoch(v.toLongLong());
}


QString Reason(const QSqlError& error) {
    const QString text = error.databaseText().trimmed();
    return text.isEmpty() ? error.text().trimmed() : text;
}

} // namespace

struct TLabArchive::TConnection {
    TConnection() {
        static QAtomicInt counter;
        Name = QStringLiteral("savro2-labarchive-%1").arg(counter.fetchAndAddRelaxed(1));
        Db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), Name);
    }
    ~TConnection() {
        Db.close();
        Db = QSqlDatabase();
        QSqlDatabase::removeDatabase(Name);
    }
    TConnection(const TConnection&) = delete;
    TConnection& operator=(const TConnection&) = delete;

    QString Name;
    QSqlDatabase Db;
};

TLabArchive::TLabArchive(const TLabSettings& settings)
    : Settings_(settings), Db_(std::make_unique<TConnection>()) {
    QSqlDatabase& db = Db_->Db;
    if (!db.isValid())
        throw EArchiveError("Архив лаборатории недоступен: не установлен драйвер PostgreSQL "
                            "для Qt (QPSQL).");
    db.setHostName(settings.Host.trimmed());
    db.setPort(settings.Port);
    db.setDatabaseName(settings.Database);
    db.setUserName(settings.User);
    // No password here: libpq reads ~/.pgpass, PGPASSFILE or a service file.
    if (const QString problem = settings.Problem(); !problem.isEmpty())
        throw EArchiveError(problem.toStdString());
    db.setConnectOptions(settings.ConnectOptions());
    if (!db.open())
        throw EArchiveError(QStringLiteral("Не удалось подключиться к архиву лаборатории "
                                           "(%1:%2, база %3): %4")
                                .arg(settings.Host.trimmed())
                                .arg(settings.Port)
                                .arg(settings.Database, Reason(db.lastError()))
                                .toStdString());
}

TLabArchive::~TLabArchive() = default;

void TLabArchive::Fail(const QSqlError& error) const {
    throw EArchiveError(QStringLiteral("Не удалось прочитать архив лаборатории: %1")
                            .arg(Reason(error))
                            .toStdString());
}

QSqlQuery TLabArchive::Select(const QString& sql, const QVariantList& binds) const {
    QSqlQuery q(Db_->Db);
    q.setForwardOnly(true);
    if (!q.prepare(sql))
        Fail(q.lastError());
    for (const QVariant& b : binds)
        q.addBindValue(b);
    if (!q.exec())
        Fail(q.lastError());
    return q;
}

QString TLabArchive::Where(const TArchiveFilter& filter, QVariantList& binds) {
    QStringList terms;
    if (!filter.Ids.empty()) {
        QStringList ids;
        for (const qint64 id : filter.Ids)
            ids << QString::number(id);
        terms << QStringLiteral("id IN (%1)").arg(ids.join(u','));
    } else {
        if (filter.From.isValid()) {
            terms << QStringLiteral("measured >= ") + kFromMs;
            binds << filter.From.toMSecsSinceEpoch();
        }
        if (filter.To.isValid()) {
            terms << QStringLiteral("measured <= ") + kFromMs;
            binds << filter.To.toMSecsSinceEpoch();
        }
        if (!filter.SampleContains.isEmpty()) {
            terms << QStringLiteral("strpos(%1, ?) > 0").arg(LowerName());
            binds << filter.SampleContains.toLower();
        }
        if (filter.Device) {
            terms << QStringLiteral("device = ?");
            binds << int(*filter.Device);
        }
    }
    if (!filter.IncludeInvalid)
        terms << QStringLiteral("invalid_at IS NULL");
    return terms.isEmpty() ? QString()
                           : QStringLiteral(" WHERE ") + terms.join(QStringLiteral(" AND "));
}

std::vector<TArchiveMeasurement> TLabArchive::Page(const TArchiveFilter& filter,
                                                   const std::optional<TArchiveCursor>& after,
                                                   int limit) const {
    QVariantList binds;
    QString where = Where(filter, binds);
    if (after) {
        where += where.isEmpty() ? QStringLiteral(" WHERE ") : QStringLiteral(" AND ");
        where += QStringLiteral("(measured, id) > (%1, ?)").arg(kFromMs);
        binds << after->MeasuredMs << after->Id;
    }
    QSqlQuery q =
        Select(QStringLiteral("SELECT %1 FROM measurement%2 ORDER BY measured, id LIMIT %3")
                   .arg(Columns(), where)
                   .arg(limit),
               binds);
    std::vector<TArchiveMeasurement> list;
    while (q.next())
        list.push_back(TArchive::ReadRow(q));
    return list;
}

void TLabArchive::ForEach(const TArchiveFilter& filter,
                          const std::function<bool(const TArchiveMeasurement&)>& visit) const {
    // A page at a time: the driver would otherwise hold every row of an
    // export of the whole lab in memory at once.
    constexpr int kBatch = 1000;
    std::optional<TArchiveCursor> after;
    for (;;) {
        const std::vector<TArchiveMeasurement> page = Page(filter, after, kBatch);
        for (const TArchiveMeasurement& m : page)
            if (!visit(m))
                return;
        if (int(page.size()) < kBatch)
            return;
        after = TArchiveCursor{page.back().Measured.toMSecsSinceEpoch(), page.back().Id};
    }
}

std::vector<TArchivePoint> TLabArchive::Points(const TArchiveFilter& filter, int indicator) const {
    if (indicator < 0 || indicator >= IndicatorCount)
        return {};
    const QString value = QStringLiteral("v%1").arg(indicator + 1);
    QVariantList binds;
    QString where = Where(filter, binds);
    where += where.isEmpty() ? QStringLiteral(" WHERE ") : QStringLiteral(" AND ");
    where += value + QStringLiteral(" IS NOT NULL");
    QSqlQuery q =
        Select(QStringLiteral("SELECT id, %1, %2, invalid_at IS NOT NULL FROM measurement%3 "
                              "ORDER BY measured, id")
                   .arg(Ms("measured"), value, where),
               binds);
    std::vector<TArchivePoint> points;
    while (q.next())
        points.push_back({q.value(0).toLongLong(), q.value(1).toLongLong(), q.value(2).toDouble(),
                          q.value(3).toBool()});
    return points;
}

qint64 TLabArchive::Count(const TArchiveFilter& filter) const {
    QVariantList binds;
    const QString where = Where(filter, binds);
    QSqlQuery q = Select(QStringLiteral("SELECT count(*) FROM measurement%1").arg(where), binds);
    if (!q.next())
        Fail(q.lastError());
    return q.value(0).toLongLong();
}

std::vector<TNameChange> TLabArchive::NameHistory(const QString& uid) const {
    QSqlQuery q =
        Select(QStringLiteral("SELECT %1, user_name, old_name, new_name, key FROM name_change "
                              "WHERE uid = ? ORDER BY changed, key")
                   .arg(Ms("changed")),
               {uid});
    std::vector<TNameChange> list;
    while (q.next()) {
        TNameChange c;
        c.When = FromMs(q.value(0));
        c.User = q.value(1).toString();
        c.OldName = q.value(2).toString();
        c.NewName = q.value(3).toString();
        c.Key = q.value(4).toString();
        c.Uid = uid;
        list.push_back(c);
    }
    return list;
}

std::optional<TArchiveMeasurement> TLabArchive::FindId(qint64 id) const {
    QSqlQuery q =
        Select(QStringLiteral("SELECT %1 FROM measurement WHERE id = ?").arg(Columns()), {id});
    if (!q.next())
        return std::nullopt;
    return TArchive::ReadRow(q);
}
