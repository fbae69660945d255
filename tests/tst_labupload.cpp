// The lab server: a throw-away PostgreSQL cluster of its own, the local
// archive in real SQLite files, and for the last test two copies of the real
// program polling simulators on pseudo-terminals.
#include "archive/Archive.h"
#include "archive/LabArchive.h"
#include "archive/LabReconcile.h"
#include "archive/LabServer.h"
#include "archive/LabUploader.h"
#include "config/ConfigFile.h"
#include "config/iniplus.h"
#include "support/AppProcess.h"
#include "support/PgCluster.h"
#include "support/SimProcess.h"

#include <QDeadlineTimer>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <random>

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

const QDateTime kStart(QDate(2026, 3, 2), QTime(8, 0));

// Every kind of text and value the SQL must carry: quotes, backslashes,
// Cyrillic, absent and extreme values, record bytes of every value.
TArchiveMeasurement Measurement(int n, std::mt19937& random, qint64 stepS = 97) {
    TArchiveMeasurement m;
    m.Uid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    m.Device = quint16(1 + n % 3);
    m.Port = QStringLiteral("/dev/ttyUSB%1").arg(n % 2);
    m.Computer = QStringLiteral("лаб-пк");
    m.User = QStringLiteral("o'neil\\оператор");
    m.ProgramVersion = QStringLiteral("1.0.0");
    m.Measured = kStart.addSecs(qint64(n) * stepS);
    m.Received = m.Measured.addMSecs(351);
    m.Calibration = n % 8;
    for (int k = 0; k < IndicatorCount; ++k)
        if ((n + k) % 4 != 0)
            m.Values[size_t(k)] = k == 3 ? -1e-300 * (n + 1) : k == 4 ? 1.7e308 : 0.1 * k + n / 7.0;
    m.Raw.resize(115);
    for (char& c : m.Raw)
        c = char(random());
    m.ResultsFile = QStringLiteral("C:\\Результаты\\'смена'.txt");
    m.SampleName = QStringLiteral("Пиво «Жигулёвское» '%1' \\ №%2").arg(n % 5).arg(n % 40);
    m.Source = n % 10 == 0 ? TArchive::SourceImport : TArchive::SourceAnalyser;
    if (m.Source == TArchive::SourceImport) {
        m.Raw.clear();
        m.Device.reset();
        m.User.clear();
        m.ImportedBy = QStringLiteral("d'artagnan\\импорт");
        m.Decimals = n % 3;
    }
    return m;
}

// Renames and marks of some measurements, as operators make them; the
// second rename and the unmark come after the clock was set back an hour,
// and are still the later ones.
void ChangeSome(TArchive& archive, int from, int to, const QString& tag) {
    for (qint64 id = from; id <= to; ++id) {
        const std::optional<TArchiveMeasurement> m = archive.FindId(id);
        if (!m)
            continue;
        const QDateTime when = kStart.addDays(30).addSecs(id);
        if (id % 7 == 0)
            archive.Rename(m->Uid, QStringLiteral("Квас %1 %2").arg(tag).arg(id), QStringLiteral("мастер"), when);
        if (id % 21 == 0)
            archive.Rename(m->Uid, QStringLiteral("Сидр %1 %2").arg(tag).arg(id), QStringLiteral("мастер"),
                           when.addSecs(-3600));
        if (id % 11 == 0)
            archive.MarkInvalid(id, QStringLiteral("пузырь в кювете %1").arg(tag), QStringLiteral("технолог"), when);
        if (id % 33 == 0)
            archive.MarkInvalid(id, QString(), QStringLiteral("технолог"), when.addSecs(-3600));
        if (id % 66 == 0)
            archive.MarkInvalid(id, QStringLiteral("повтор %1").arg(tag), QStringLiteral("начальник"), when.addSecs(9));
    }
}

QString Ms(const QString& column) {
    return QStringLiteral("(extract(epoch FROM %1) * 1000)::bigint").arg(column);
}

qint64 MsOf(const QDateTime& t) {
    return t.isValid() ? t.toMSecsSinceEpoch() : -1;
}

// Keeps the delays the uploader chose and waits a millisecond for each.
class TRecordedWait : public TRetryWait {
public:
    qint64 WaitMs(qint64 chosenMs) override {
        // Written on the uploader's thread, read on the test's.
        const std::lock_guard<std::mutex> lock(mutex_);
        chosen_ << chosenMs;
        return 1;
    }
    QList<qint64> Chosen() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return chosen_;
    }

private:
    mutable std::mutex mutex_;
    QList<qint64> chosen_;
};

} // namespace

class TstLabUpload : public QObject {
    Q_OBJECT

    TPgCluster cluster_;
    int databases_ = 0;

    // A database of its own for each case, its schema made by the owner.
    QString FreshDatabase(bool withSchema = true) {
        const QString name = QStringLiteral("lab%1").arg(++databases_);
        if (!cluster_.CreateDatabase(name))
            return {};
        if (withSchema)
            TLabServer(cluster_.Settings(TPgCluster::Owner, name));
        return name;
    }

    // The server's rows against the archive's, one line per row: every
    // measurement, name change and mark once, with the current name and
    // invalid state.
    void CompareWithArchive(TArchive& archive, const QString& db) {
        const TArchive::TUnsent all = archive.Unsent(QStringLiteral("everything"), 1000000);
        QStringList values;
        for (int k = 1; k <= IndicatorCount; ++k)
            values << QStringLiteral("v%1").arg(k);
        QStringList local;
        for (const TArchiveMeasurement& m : all.Measurements) {
            QVariantList row{m.Uid, Nullable(m.Device), m.Port, m.Computer, Nullable(m.User)};
            row << m.ProgramVersion << MsOf(m.Measured) << m.Calibration;
            for (const std::optional<double>& v : m.Values)
                row << (v ? QVariant(*v) : QVariant());
            row << (m.Raw.isEmpty() ? QVariant() : QVariant(m.Raw)) << MsOf(m.Received)
                << m.ResultsFile << m.Source << m.SampleName << m.InvalidReason
                << (m.Invalid() ? m.InvalidBy : QString()) << MsOf(m.InvalidAt)
                << Nullable(m.ImportedBy) << Nullable(m.Decimals);
            local << Line(row);
        }
        QCOMPARE(
            Lines(db, QStringLiteral(
                          "SELECT uid, device, port, computer, user_name, program_version, %1, "
                          "calibration, %2, raw, %3, results_file, source, current_name, "
                          "coalesce(invalid_reason, ''), coalesce(invalid_by, ''), "
                          "coalesce(%4, -1), imported_by, decimals FROM measurement")
                          .arg(Ms(QStringLiteral("measured")), values.join(QStringLiteral(", ")),
                               Ms(QStringLiteral("received")), Ms(QStringLiteral("invalid_at")))),
            Sorted(local));
        local.clear();
        for (const TNameChange& c : all.NameChanges)
            local << Line({c.Key, c.Uid, MsOf(c.When), c.User, c.OldName, c.NewName});
        QCOMPARE(Lines(db, QStringLiteral("SELECT key, uid, %1, user_name, old_name, new_name FROM name_change")
                               .arg(Ms(QStringLiteral("changed")))),
                 Sorted(local));
        local.clear();
        for (const TInvalidMark& i : all.Marks)
            local << Line({i.Key, i.Uid, MsOf(i.When), i.User, i.Reason});
        QCOMPARE(Lines(db, QStringLiteral("SELECT key, uid, %1, user_name, reason FROM invalid_mark")
                               .arg(Ms(QStringLiteral("marked")))),
                 Sorted(local));
    }

    // Not known: NULL, as the server keeps it.
    static QVariant Nullable(const QString& text) {
        return text.isEmpty() ? QVariant() : QVariant(text);
    }
    template <typename T> static QVariant Nullable(const std::optional<T>& v) {
        return v ? QVariant(int(*v)) : QVariant();
    }

    static QString Line(const QVariantList& row) {
        QStringList cells;
        for (const QVariant& v : row)
            cells << (v.isNull() ? QStringLiteral("NULL")
                      : v.typeId() == QMetaType::Double ? QString::number(v.toDouble(), 'g', 17)
                      : v.typeId() == QMetaType::QByteArray ? QString::fromLatin1(v.toByteArray().toHex())
                                                             : v.toString());
        return cells.join(u'|');
    }
    static QStringList Sorted(QStringList lines) {
        lines.sort();
        return lines;
    }
    QStringList Lines(const QString& db, const QString& sql) {
        QStringList lines;
        for (const QVariantList& row : cluster_.Rows(db, sql))
            lines << Line(row);
        return Sorted(lines);
    }

    static void AddUids(TArchive& archive, QSet<QString>& uids) {
        archive.ForEach(TArchiveFilter(), [&](const TArchiveMeasurement& m) {
            uids.insert(m.Uid);
            return true;
        });
    }
    QSet<QString> ServerUids(const QString& db) {
        QSet<QString> uids;
        for (const QVariantList& row : cluster_.Rows(db, QStringLiteral("SELECT uid FROM measurement")))
            uids.insert(row[0].toString());
        return uids;
    }

    qint64 Count(const QString& db, const QString& table = QStringLiteral("measurement")) {
        return cluster_.Value(db, QStringLiteral("SELECT count(*) FROM %1").arg(table)).toLongLong();
    }
    qint64 Changes(const QString& db) { return Count(db, QStringLiteral("name_change")) + Count(db, QStringLiteral("invalid_mark")); }

    // A trigger of the superuser's makes the insert of a row named "сбой"
    // fail that many times (a sequence counts them: a rollback does not undo
    // it), as a passing fault does (40001).
    bool FailBatches(const QString& db, int failures) {
        return cluster_.Psql(
            db, QStringLiteral("CREATE SEQUENCE IF NOT EXISTS batch_attempts;"
                               "ALTER SEQUENCE batch_attempts RESTART;"
                               "CREATE OR REPLACE FUNCTION fail_batch() RETURNS trigger LANGUAGE plpgsql "
                               "SECURITY DEFINER AS $$ BEGIN\n"
                               "  IF NEW.sample_name = 'сбой' AND nextval('batch_attempts') <= %1 THEN\n"
                               "    RAISE EXCEPTION 'пакет не принят' USING ERRCODE = '40001';\n"
                               "  END IF;\n"
                               "  RETURN NEW;\n"
                               "END $$;"
                               "CREATE OR REPLACE TRIGGER a_fail_batch BEFORE INSERT ON measurement "
                               "FOR EACH ROW EXECUTE FUNCTION fail_batch();")
                    .arg(failures));
    }

    // Everything of the archive, as the uploader sends it, up to a
    // measurement id; the rest is left.
    void UploadUpTo(TArchive& archive, const QString& db, qint64 upto) {
        TLabServer server(cluster_.Settings(TPgCluster::Writer, db));
        TArchive::TUnsent all = archive.Unsent(QStringLiteral("none"), 1000000);
        const auto later = [upto](const auto& row) { return row.Id > upto; };
        all.Measurements.erase(std::remove_if(all.Measurements.begin(), all.Measurements.end(), later),
                               all.Measurements.end());
        const auto orphan = [&](const auto& change) { return !archive.Contains(change.Uid) || archive.Find(change.Uid)->Id > upto; };
        all.NameChanges.erase(std::remove_if(all.NameChanges.begin(), all.NameChanges.end(), orphan),
                              all.NameChanges.end());
        all.Marks.erase(std::remove_if(all.Marks.begin(), all.Marks.end(), orphan), all.Marks.end());
        server.Upload(archive.RegisterId(), all.Measurements, all.NameChanges, all.Marks);
    }

    // An archive over a week, made once; closed before its folder goes.
    std::unique_ptr<QTemporaryDir> spread_;
    std::unique_ptr<TArchive> spreadArchive_;

    TArchive& Spread() {
        if (!spreadArchive_) {
            spread_ = std::make_unique<QTemporaryDir>();
            spreadArchive_ = std::make_unique<TArchive>(spread_->path());
            std::mt19937 random(29);
            std::vector<TArchiveMeasurement> list;
            for (int n = 0; n < 400; ++n) // one every 25 minutes
                list.push_back(Measurement(n, random, 1500));
            spreadArchive_->AddAll(list);
            ChangeSome(*spreadArchive_, 1, 400, QStringLiteral("неделя"));
        }
        return *spreadArchive_;
    }

    // Nothing of the archive waits for that server any more.
    static bool Drained(TArchive& archive, const TLabSettings& server) {
        const TArchive::TBacklog backlog = archive.Backlog(archive.ServerIdentity(server.ServerId()));
        return backlog.Measurements == 0 && backlog.Changes == 0;
    }

    static bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
        const QDeadlineTimer deadline(timeoutMs);
        while (!done()) {
            if (deadline.hasExpired())
                return false;
            QTest::qWait(20);
        }
        return true;
    }

    // The uploader's statuses as the owner's thread gets them.
    struct TWatch {
        TUploadStatus Last;
        QList<TUploadStatus::TState> States;
    };
    static void Watch(TLabUploader& uploader, TWatch& watch) {
        QObject::connect(&uploader, &TLabUploader::StatusChanged, &uploader, [&watch](const TUploadStatus& s) {
            watch.Last = s;
            watch.States << s.State;
        });
    }

private slots:
    void initTestCase() {
        if (!cluster_.Start())
            QSKIP(qPrintable(QStringLiteral("no PostgreSQL server for the tests: ") + cluster_.Error()));
        // Before any thread connects: libpq reads it at each connection.
        qputenv("PGPASSFILE", QFile::encodeName(cluster_.PassFile()));
        // One login whose password file line is wrong, one without a line.
        QVERIFY2(cluster_.Psql(QStringLiteral("postgres"),
                               QStringLiteral("CREATE ROLE lab_pc_wrong LOGIN PASSWORD 'верный' IN ROLE savro2_writer;"
                                              "CREATE ROLE lab_pc_nopass LOGIN PASSWORD 'верный' IN ROLE savro2_writer;")),
                 qPrintable(cluster_.Error()));
        QFile pass(cluster_.PassFile());
        QVERIFY(pass.open(QIODevice::Append));
        pass.write("*:*:*:lab_pc_wrong:неверный\n");
    }

    void backlogArrivesOnceWithItsChanges() {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        TArchive archive(folder.path());
        std::mt19937 random(7);
        std::vector<TArchiveMeasurement> list;
        for (int n = 0; n < 4500; ++n) // more than two batches
            list.push_back(Measurement(n, random));
        QCOMPARE(archive.AddAll(list), 4500);
        ChangeSome(archive, 1, 4500, QStringLiteral("до"));
        const QString db = FreshDatabase();
        QVERIFY2(!db.isEmpty(), qPrintable(cluster_.Error()));

        TLabUploader uploader(folder.path());
        TWatch watch;
        Watch(uploader, watch);
        uploader.Configure(cluster_.Settings(TPgCluster::Writer, db));
        QTRY_COMPARE_WITH_TIMEOUT(watch.Last.State, TUploadStatus::Sent, 60000);
        QCOMPARE(uploader.Status().State, TUploadStatus::Sent);
        QVERIFY(watch.States.contains(TUploadStatus::Unsent));
        CompareWithArchive(archive, db);

        // Changes after the upload follow, measurements' and the server's
        // current state with them; new measurements too.
        ChangeSome(archive, 4000, 4500, QStringLiteral("после"));
        archive.Add(Measurement(4500, random));
        uploader.Nudge();
        QTRY_VERIFY_WITH_TIMEOUT(Drained(archive, cluster_.Settings(TPgCluster::Writer, db)), 60000);
        CompareWithArchive(archive, db);

        // The same server under another name is the same identity: what it
        // confirmed still counts.
        const QString identity = archive.ServerIdentity(cluster_.Settings(TPgCluster::Writer, db).ServerId());
        TLabSettings again = cluster_.Settings(TPgCluster::Writer, db);
        again.Host = QStringLiteral("localhost");
        uploader.Configure(again);
        QTRY_COMPARE_WITH_TIMEOUT(archive.ServerIdentity(again.ServerId()), identity, 30000);
        QVERIFY(Drained(archive, again));
        CompareWithArchive(archive, db);
    }

    void serverStoppedMidUpload() {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        constexpr int kTotal = 60000;
        {
            TArchive archive(folder.path());
            std::mt19937 random(11);
            std::vector<TArchiveMeasurement> list;
            for (int n = 0; n < kTotal; ++n) {
                list.push_back(Measurement(n, random));
                if (list.size() == 10000) {
                    QCOMPARE(archive.AddAll(list), 10000);
                    list.clear();
                }
            }
        }
        const QString db = FreshDatabase();
        QVERIFY2(!db.isEmpty(), qPrintable(cluster_.Error()));
        const TLabSettings settings = cluster_.Settings(TPgCluster::Writer, db);
        TArchive probe(folder.path(), false);

        TLabUploader uploader(folder.path());
        TWatch watch;
        Watch(uploader, watch);
        uploader.Configure(settings);
        const auto sent = [&] { return probe.Sent(probe.ServerIdentity(settings.ServerId())).Measurement; };
        QVERIFY(WaitFor([&] { return sent() > 0; }, 60000));
        QVERIFY2(cluster_.Stop(true), qPrintable(cluster_.Error()));
        const qint64 sentAtStop = sent();
        QVERIFY2(sentAtStop < kTotal, "the upload ended before the server was stopped");

        // Down: the uploader says so with the reason, and the backlog stays.
        QTRY_VERIFY_WITH_TIMEOUT(watch.Last.State == TUploadStatus::Unsent && !watch.Last.Reason.isEmpty(),
                                 30000);
        QVERIFY(watch.Last.Backlog > 0);
        QVERIFY(watch.Last.OldestUnsent.isValid());
        // And says it again while it waits, so the backlog's age moves on.
        const qsizetype told = watch.States.size();
        QTRY_VERIFY_WITH_TIMEOUT(watch.States.size() >= told + 2, 30000);
        QVERIFY2(cluster_.Start(), qPrintable(cluster_.Error()));

        QTRY_VERIFY_WITH_TIMEOUT(sent() == kTotal, 120000);
        QTRY_COMPARE_WITH_TIMEOUT(watch.Last.State, TUploadStatus::Sent, 30000);
        QCOMPARE(cluster_.Value(db, QStringLiteral("SELECT count(*) FROM measurement")).toLongLong(),
                 qint64(kTotal));
        QSet<QString> local;
        AddUids(probe, local);
        QCOMPARE(ServerUids(db), local);
        qInfo("stopped with %lld of %d confirmed", sentAtStop, kTotal);
    }

    void connectionAndSchema_data() {
        QTest::addColumn<QString>("role");
        // v1: the schema this program makes, v2: one a later program made.
        QTest::addColumn<QString>("prepared"); // none, v1, v2, or a database name
        QTest::addColumn<int>("steps");        // the program's, or one more
        QTest::addColumn<int>("version");      // after connecting; -1: refused, -2: retry later
        QTest::addColumn<QString>("says");

        constexpr int ours = TLabServer::SchemaVersion;
        QTest::newRow("owner creates the schema") << "savro2_owner"
                                                  << "none" << 1 << ours << "";
        QTest::newRow("owner upgrades an older one") << "savro2_owner"
                                                     << "v1" << 2 << ours + 1 << "";
        QTest::newRow("writer on the current one") << "savro2_writer"
                                                   << "v1" << 1 << ours << "";
        QTest::newRow("writer cannot create it") << "savro2_writer" << "none" << 1 << -1 << "ещё нет";
        QTest::newRow("writer cannot upgrade it") << "savro2_writer" << "v1" << 2 << -1 << "устарела";
        QTest::newRow("newer schema") << "savro2_owner" << "v2" << 1 << -1 << "более новая версия программы";
        QTest::newRow("wrong password") << "lab_pc_wrong" << "v1" << 1 << -1 << "password authentication failed";
        QTest::newRow("no password anywhere") << "lab_pc_nopass" << "v1" << 1 << -1 << "no password supplied";
        QTest::newRow("unknown database") << "savro2_writer" << "nosuch" << 1 << -1 << "does not exist";
        QTest::newRow("server down") << "savro2_writer" << "down" << 1 << -2 << "Нет связи";
    }

    void connectionAndSchema() {
        QFETCH(QString, role);
        QFETCH(QString, prepared);
        QFETCH(int, steps);
        QFETCH(int, version);
        QFETCH(QString, says);
        std::vector<TLabServer::TMigration> later = TLabServer::Migrations();
        later.push_back({TLabServer::SchemaVersion + 1,
                         {QStringLiteral("ALTER TABLE measurement ADD COLUMN note text")}});
        TLabSettings settings = cluster_.Settings(role, QStringLiteral("savro2"));
        if (prepared == QLatin1String("none") || prepared.startsWith(u'v')) {
            settings.Database = FreshDatabase(prepared != QLatin1String("none"));
            QVERIFY2(!settings.Database.isEmpty(), qPrintable(cluster_.Error()));
            if (prepared == QLatin1String("v2"))
                TLabServer(cluster_.Settings(TPgCluster::Owner, settings.Database), later);
        } else if (prepared == QLatin1String("down")) {
            QTcpServer probe; // a port nobody listens on once it is closed
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            settings.Port = probe.serverPort();
        } else {
            settings.Database = prepared;
        }

        int got = 0;
        QString what;
        try {
            got = TLabServer(settings, steps == 1 ? TLabServer::Migrations() : later).Version();
        } catch (const ELabServerError& e) {
            got = e.Refused ? -1 : -2;
            what = QString::fromStdString(e.what());
        }
        QVERIFY2(what.contains(says), qPrintable(what));
        QCOMPARE(got, version);
        // The sample name search has its index where the server has pg_trgm.
        if (version > 0)
            QVERIFY(cluster_.Value(settings.Database, QStringLiteral("SELECT to_regclass('measurement_name') IS NOT NULL"))
                        .toBool());
        if (version == TLabServer::SchemaVersion + 1) // the later step ran
            QVERIFY(cluster_.Rows(settings.Database, QStringLiteral("SELECT note FROM measurement")).isEmpty() &&
                    cluster_.Error().isEmpty());
        if (steps == 1) {
            bool ok = false;
            const QString sentence = TLabServer::TestConnection(settings, &ok);
            QCOMPARE(ok, version > 0);
            QVERIFY2(sentence.startsWith(ok ? QStringLiteral("Соединение установлено: PostgreSQL 1")
                                            : QStringLiteral("Не удалось соединиться с сервером: ")),
                     qPrintable(sentence));
            QVERIFY2(
                sentence.contains(
                    ok ? QStringLiteral("схема архива версии %1").arg(TLabServer::SchemaVersion)
                       : says),
                qPrintable(sentence));
        }
    }

    // A CA file's path is one value however it reads: a blank in it, or a
    // tail that reads like an option, neither breaks the options nor turns
    // TLS off; against this server without SSL the reason says so.
    void caFileCannotAddAnOption_data() {
        QTest::addColumn<QString>("caFile");
        QTest::addColumn<QString>("says");
        const QString ssl = QStringLiteral("сервер не поддерживает SSL");
        QTest::newRow("blank in the path") << "/etc/savro2/lab ca/ca.pem" << ssl;
        QTest::newRow("an option at its end") << "/etc/savro2/ca.pem sslmode=disable" << ssl;
        QTest::newRow("quote and backslash") << "/etc/savro2/o'ca\\.pem" << ssl;
        QTest::newRow("semicolon") << "/etc/savro2/ca.pem;sslmode=disable" << "«;»";
    }

    void caFileCannotAddAnOption() {
        QFETCH(QString, caFile);
        QFETCH(QString, says);
        TLabSettings settings = cluster_.Settings(TPgCluster::Writer, FreshDatabase(true));
        settings.SslMode = QStringLiteral("verify-full");
        settings.CaFile = caFile;
        try {
            TLabServer server(settings, TLabServer::Migrations());
            QFAIL("connected without SSL");
        } catch (const ELabServerError& e) {
            const QString what = QString::fromStdString(e.what());
            QVERIFY2(what.contains(says), qPrintable(what));
            QVERIFY(e.Refused);
        }
    }

    // Schema 1 got imported rows with device 0 and the importing user as the
    // one who measured; the owner's upgrade moves them.
    void importedRowsOnAnOlderServer() {
        const QString db = FreshDatabase(false);
        QVERIFY2(!db.isEmpty(), qPrintable(cluster_.Error()));
        const TLabSettings owner = cluster_.Settings(TPgCluster::Owner, db);
        QCOMPARE(TLabServer(owner, {TLabServer::Migrations().front()}).Version(), 1);
        const QString insert = QStringLiteral("INSERT INTO measurement (uid, device, port, "
                                              "computer, user_name, program_version, measured, "
                                              "calibration, received, results_file, sample_name, "
                                              "source) VALUES ('%1', %2, '', 'c', 'anna', '1.0', "
                                              "'2026-03-02 08:00Z', 0, now(), '', 'Квас', '%3');");
        QVERIFY2(cluster_.Psql(db, insert.arg(QStringLiteral("old-import"), QStringLiteral("0"),
                                              QStringLiteral("import")) +
                                       insert.arg(QStringLiteral("old-live"), QStringLiteral("7"),
                                                  QStringLiteral("analyser"))),
                 qPrintable(cluster_.Error()));
        QCOMPARE(TLabServer(owner).Version(), TLabServer::SchemaVersion);
        QCOMPARE(
            Lines(db, QStringLiteral(
                          "SELECT uid, device, user_name, imported_by, decimals FROM measurement")),
            (QStringList{"old-import|NULL|NULL|anna|2", "old-live|7|anna|NULL|NULL"}));

        // The reader's columns are the archive's.
        const TArchiveMeasurement imported =
            TLabArchive(cluster_.Settings(TPgCluster::Reader, db)).Page({}, std::nullopt, 1).at(0);
        QVERIFY(!imported.Device && imported.ImportedBy == QLatin1String("anna"));
        QCOMPARE(imported.Decimals, std::optional(2));
    }

    void uploaderShowsRefusalUntilFixed() {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        {
            TArchive archive(folder.path());
            std::mt19937 random(3);
            for (int n = 0; n < 3; ++n)
                archive.Add(Measurement(n, random));
        }
        const QString db = FreshDatabase();
        QVERIFY2(!db.isEmpty(), qPrintable(cluster_.Error()));
        TLabUploader uploader(folder.path());
        TWatch watch;
        Watch(uploader, watch);
        uploader.Configure(cluster_.Settings(QStringLiteral("lab_pc_wrong"), db));
        QTRY_COMPARE_WITH_TIMEOUT(watch.Last.State, TUploadStatus::Refused, 30000);
        QVERIFY2(watch.Last.Reason.contains(QStringLiteral("password authentication failed")),
                 qPrintable(watch.Last.Reason));
        QCOMPARE(watch.Last.Backlog, qint64(3));
        QCOMPARE(uploader.Status().State, TUploadStatus::Refused);

        uploader.Configure(cluster_.Settings(TPgCluster::Writer, db));
        QTRY_COMPARE_WITH_TIMEOUT(watch.Last.State, TUploadStatus::Sent, 30000);
        QCOMPARE(cluster_.Value(db, QStringLiteral("SELECT count(*) FROM measurement")).toInt(), 3);
        uploader.Configure(TLabSettings());
        QTRY_COMPARE_WITH_TIMEOUT(watch.Last.State, TUploadStatus::Off, 10000);
    }

    void rolesKeepToTheirRights_data() {
        QTest::addColumn<QString>("role");
        QTest::addColumn<QString>("sql");
        QTest::addColumn<bool>("allowed");
        const QString insert = QStringLiteral(
            "INSERT INTO measurement (uid, device, port, computer, user_name, program_version, measured, "
            "calibration, received, results_file, sample_name, source) VALUES ('%1', 1, 'p', 'c', 'u', "
            "'v', now(), 0, now(), '', 'Квас', 'analyser')");
        QTest::newRow("writer adds") << "savro2_writer" << insert.arg(QStringLiteral("w")) << true;
        QTest::newRow("writer renames") << "savro2_writer"
                                        << "INSERT INTO name_change (key, uid, changed, user_name, old_name, "
                                           "new_name) VALUES ('k', 'w', now(), 'u', 'Квас', 'Сидр')"
                                        << true;
        QTest::newRow("writer updates") << "savro2_writer" << "UPDATE measurement SET sample_name = 'x'" << false;
        QTest::newRow("writer deletes") << "savro2_writer" << "DELETE FROM measurement" << false;
        QTest::newRow("writer empties") << "savro2_writer" << "TRUNCATE invalid_mark" << false;
        QTest::newRow("writer changes the version") << "savro2_writer" << "INSERT INTO schema_version VALUES (9)" << false;
        QTest::newRow("writer makes a table") << "savro2_writer" << "CREATE TABLE mine (a int)" << false;
        QTest::newRow("reader reads") << "savro2_reader" << "SELECT count(*) FROM measurement" << true;
        QTest::newRow("reader adds") << "savro2_reader" << insert.arg(QStringLiteral("r")) << false;
        QTest::newRow("reader updates") << "savro2_reader" << "UPDATE measurement SET current_name = 'x'" << false;
    }

    void rolesKeepToTheirRights() {
        QFETCH(QString, role);
        QFETCH(QString, sql);
        QFETCH(bool, allowed);
        static QString db;
        if (db.isEmpty())
            db = FreshDatabase();
        QVERIFY(!db.isEmpty());
        cluster_.Rows(db, sql, role);
        if (allowed)
            QVERIFY2(cluster_.Error().isEmpty(), qPrintable(cluster_.Error()));
        else
            QVERIFY2(cluster_.Error().contains(QStringLiteral("permission denied")), qPrintable(cluster_.Error()));
        // The trigger renamed the writer's measurement without UPDATE.
        if (QTest::currentDataTag() == QLatin1String("writer renames"))
            QCOMPARE(cluster_.Value(db, QStringLiteral("SELECT current_name FROM measurement WHERE uid = 'w'"))
                         .toString(),
                     QStringLiteral("Сидр"));
    }

    void freshArchiveUnderTheSameNameIsFollowed() {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        std::mt19937 random(9);
        const QString path = folder.filePath(TArchive::FileName);
        TArchive(folder.path()).Add(Measurement(1, random));
        const QString db = FreshDatabase();
        QVERIFY2(!db.isEmpty(), qPrintable(cluster_.Error()));
        TLabUploader uploader(folder.path());
        uploader.Configure(cluster_.Settings(TPgCluster::Writer, db));
        QTRY_COMPARE_WITH_TIMEOUT(uploader.Status().State, TUploadStatus::Sent, 30000);

        // As the register does with a damaged file while the uploader has it open.
        for (const char* tail : {"", "-wal", "-shm"})
            QFile::rename(path + QLatin1String(tail), path + QStringLiteral(".damaged") + QLatin1String(tail));
        TArchive fresh(folder.path());
        fresh.Add(Measurement(2, random));
        uploader.Nudge();
        QTRY_COMPARE_WITH_TIMEOUT(cluster_.Value(db, QStringLiteral("SELECT count(*) FROM measurement")).toInt(), 2,
                                  30000);
        // The fresh archive's journal is still its own.
        fresh.Add(Measurement(3, random));
        QCOMPARE(fresh.Count(TArchiveFilter()), qint64(2));
        QCOMPARE(TArchive(folder.path(), false).Count(TArchiveFilter()), qint64(2));
    }

    void destroyedWhileConnectionHangs() {
        // Takes the connection and never answers: libpq waits for its
        // time-out.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        {
            TArchive archive(folder.path());
            std::mt19937 random(5);
            archive.Add(Measurement(1, random));
        }
        auto uploader = std::make_unique<TLabUploader>(folder.path());
        TLabSettings settings = cluster_.Settings(TPgCluster::Writer);
        settings.Port = silent.serverPort();
        uploader->Configure(settings);
        QTRY_VERIFY_WITH_TIMEOUT(silent.hasPendingConnections(), 30000);
        QElapsedTimer stopping;
        stopping.start();
        uploader.reset();
        qInfo("stopped in %lld ms while connecting", stopping.elapsed());
    }

    void twoCopiesUploadToOneServer() {
        if (kSanitized)
            QSKIP("the driver cannot be preloaded into a sanitizer build");
        constexpr int kCount = 24;
        constexpr std::array<quint16, 2> kDevices = {41, 42};
        const QString db = FreshDatabase();
        QVERIFY2(!db.isEmpty(), qPrintable(cluster_.Error()));
        QTemporaryDir root;
        QVERIFY(root.isValid());
        std::array<TSimProcess, 2> sims;
        std::array<TAppProcess, 2> apps;
        for (int c = 0; c < 2; ++c) {
            QVERIFY(sims[c].Start({"--device", QString::number(kDevices[c]), "--seed", QString::number(c + 1)}));
            const QString folder = root.filePath(QStringLiteral("line%1").arg(c + 1));
            QVERIFY(QDir().mkpath(folder));
            const QString ini = folder + QStringLiteral("/Savro2.Ini");
            EnsureConfigFile(ini);
            {
                TIniPlus config(ini);
                config.WriteText(QStringLiteral("Config"), QStringLiteral("COM"), sims[c].PortPath());
                config.WriteNumber(QStringLiteral("Config"), QStringLiteral("DeviceNumber"), kDevices[c]);
                config.WriteFlag(QStringLiteral("Config"), QStringLiteral("Polling"), true);
            }
            cluster_.Settings(TPgCluster::Writer, db).Write(ini);
            // Column 5 holds copy * 1000 + id.
            for (int id = 1; id <= kCount; ++id)
                sims[c].Send(QStringLiteral("measure 1 0x0800 %1 %2.25").arg(c + 1).arg((c + 1) * 1000 + id));
            QVERIFY(apps[c].Start(QStringLiteral(SAVRO2_APP_PATH), {"--settings", folder},
                                  TAppProcess::Environment(root.path(), QStringLiteral(SAVRO2_DRIVER_PATH), false),
                                  root.path()));
        }
        for (TAppProcess& app : apps)
            QVERIFY2(!app.WaitForLine(QStringLiteral("SHOWN")).isEmpty(), qPrintable(app.Lines().join(u'\n')));

        // The server is down for the middle third of the measurements.
        std::array<int, 2> acks{};
        std::array<qsizetype, 2> read{};
        std::array<QDeadlineTimer, 2> quiet;
        bool stopped = false;
        bool restarted = false;
        const QDeadlineTimer deadline(120000 + kCount * 4000);
        while (acks[0] < kCount || acks[1] < kCount) {
            for (int c = 0; c < 2; ++c) {
                const QStringList lines = sims[c].Lines();
                bool turnEnded = false;
                for (; read[c] < lines.size(); ++read[c]) {
                    if (lines[read[c]].startsWith(QStringLiteral("ACK "))) {
                        acks[c] = lines[read[c]].mid(4).toInt();
                        turnEnded = true;
                    }
                }
                if (turnEnded || quiet[c].hasExpired()) {
                    apps[c].Send("later");
                    quiet[c].setRemainingTime(1000);
                }
            }
            const int least = std::min(acks[0], acks[1]);
            if (!stopped && least >= kCount / 3) {
                QVERIFY2(cluster_.Stop(true), qPrintable(cluster_.Error()));
                stopped = true;
            }
            if (stopped && !restarted && least >= 2 * kCount / 3) {
                QVERIFY2(cluster_.Start(), qPrintable(cluster_.Error()));
                restarted = true;
            }
            QVERIFY2(!deadline.hasExpired(),
                     qPrintable(QStringLiteral("acknowledged %1 and %2 of %3").arg(acks[0]).arg(acks[1]).arg(kCount)));
            QVERIFY2(apps[0].IsRunning() && apps[1].IsRunning(), "a copy ended");
            QTest::qWait(20);
        }
        QVERIFY(restarted);

        // Every acknowledged measurement once, from its own copy.
        const auto counts = [&] {
            std::map<std::pair<int, int>, int> seen;
            for (const QVariantList& row :
                 cluster_.Rows(db, QStringLiteral("SELECT device, v1, count(*) FROM measurement GROUP BY 1, 2")))
                seen[{row[0].toInt(), int(row[1].toDouble())}] = row[2].toInt();
            return seen;
        };
        QVERIFY(WaitFor([&] { return int(counts().size()) == acks[0] + acks[1]; }, 90000));
        const std::map<std::pair<int, int>, int> seen = counts();
        for (int c = 0; c < 2; ++c)
            for (int id = 1; id <= acks[c]; ++id) {
                const auto it = seen.find({kDevices[c], (c + 1) * 1000 + id});
                QVERIFY2(it != seen.end() && it->second == 1,
                         qPrintable(QStringLiteral("copy %1 measurement %2").arg(c + 1).arg(id)));
            }

        // And what each copy's archive holds is what the server holds.
        QSet<QString> local;
        QDirIterator it(root.filePath(QStringLiteral("data")), {TArchive::FileName}, QDir::Files,
                        QDirIterator::Subdirectories);
        int archives = 0;
        for (; it.hasNext(); ++archives) {
            TArchive archive(QFileInfo(it.next()).absolutePath(), false);
            AddUids(archive, local);
        }
        QCOMPARE(archives, 2);
        QCOMPARE(ServerUids(db), local);
    }
    // A batch the server refuses midway leaves nothing, and the same
    // connection takes it whole the next time.
    void failedBatchIsRolledBack() {
        const QString db = FreshDatabase();
        QVERIFY2(!db.isEmpty() && FailBatches(db, 1), qPrintable(cluster_.Error()));
        std::mt19937 random(13);
        std::vector<TArchiveMeasurement> rows;
        for (int n = 0; n < 1500; ++n) { // two statements: the second fails
            rows.push_back(Measurement(n, random));
            rows.back().Id = n + 1;
        }
        rows[1200].SampleName = QStringLiteral("сбой");
        const QString reg = QUuid::createUuid().toString(QUuid::WithoutBraces);
        TLabServer server(cluster_.Settings(TPgCluster::Writer, db));
        try {
            server.Upload(reg, rows, {}, {});
            QFAIL("the server took the batch");
        } catch (const ELabServerError& e) {
            QVERIFY2(!e.Refused, e.what());
        }
        QCOMPARE(Count(db), 0);
        // Rolled back: the connection is not left in the failed transaction.
        QTRY_COMPARE_WITH_TIMEOUT(
            cluster_.Value(db, QStringLiteral("SELECT count(*) FROM pg_stat_activity WHERE datname = "
                                              "current_database() AND state LIKE 'idle in transaction%'"))
                .toInt(),
            0, 10000);
        TServerHold added;
        try {
            added = server.Upload(reg, rows, {}, {});
        } catch (const ELabServerError& e) {
            QFAIL(e.what());
        }
        QCOMPARE(added.Rows, 1500);
        QCOMPARE(added.Top, 1500);
        QCOMPARE(Count(db), 1500);
        QCOMPARE(server.Upload(reg, rows, {}, {}).Rows, 0);
    }

    void retryWaitsDoubleAndStartAgainAfterSuccess() {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        TArchive archive(folder.path());
        std::mt19937 random(17);
        const auto add = [&](int n) {
            TArchiveMeasurement m = Measurement(n, random);
            m.SampleName = n % 2 ? QStringLiteral("сбой") : m.SampleName;
            archive.Add(m);
        };
        for (int n = 0; n < 3; ++n)
            add(n);
        const QString db = FreshDatabase();
        QVERIFY2(!db.isEmpty() && FailBatches(db, 7), qPrintable(cluster_.Error()));
        auto wait = std::make_shared<TRecordedWait>();
        TLabUploader uploader(folder.path(), nullptr, wait);
        TWatch watch;
        Watch(uploader, watch);
        uploader.Configure(cluster_.Settings(TPgCluster::Writer, db));
        QTRY_COMPARE_WITH_TIMEOUT(watch.Last.State, TUploadStatus::Sent, 60000);
        QCOMPARE(wait->Chosen(), (QList<qint64>{1000, 2000, 4000, 8000, 16000, 30000, 30000}));
        QCOMPARE(Count(db), 3);
        // After a success the first retry is 1 s again.
        QVERIFY2(FailBatches(db, 2), qPrintable(cluster_.Error()));
        add(3);
        uploader.Nudge();
        QTRY_COMPARE_WITH_TIMEOUT(Count(db), 4, 60000);
        QCOMPARE(wait->Chosen().mid(7), (QList<qint64>{1000, 2000}));
        CompareWithArchive(archive, db);
    }

    void latestChangeIsTheRegistersLast_data() {
        // Who sent the measurement: first (the owner, before its changes),
        // last (after them), old (an older program, no owner).
        QTest::addColumn<QString>("measurement");
        // In the order they arrive: who:seq:minutes:new name, or !reason of
        // a mark (! alone: valid again); who is own, other (another
        // register) or old (an older program: no seq).
        QTest::addColumn<QStringList>("changes");
        QTest::addColumn<QString>("current"); // the name, or !reason
        QTest::newRow("renamed after the clock went back")
            << "first" << QStringList{"own:1:+10:Квас", "own:2:-50:Сидр"} << "Сидр";
        QTest::newRow("renames arrive in reverse")
            << "first" << QStringList{"own:2:-50:Сидр", "own:1:+10:Квас"} << "Сидр";
        QTest::newRow("renames before their measurement")
            << "last" << QStringList{"own:2:-50:Сидр", "own:1:+10:Квас"} << "Сидр";
        QTest::newRow("older program: by time")
            << "first" << QStringList{"old::+20:Сидр", "old::+10:Квас"} << "Сидр";
        QTest::newRow("older program: same time, by arrival")
            << "first" << QStringList{"old::+10:Квас", "old::+10:Сидр"} << "Сидр";
        QTest::newRow("after an older program's rename")
            << "first" << QStringList{"old::+30:Квас", "own:1:+10:Сидр"} << "Сидр";
        QTest::newRow("another register's rename")
            << "first" << QStringList{"own:1:+10:Сидр", "other:9:+20:Квас"} << "Сидр";
        QTest::newRow("an older program's measurement")
            << "old" << QStringList{"own:1:+10:Сидр", "old::+30:Квас"} << "Сидр";
        QTest::newRow("unmarked after the clock went back")
            << "first" << QStringList{"own:1:+10:!пена", "own:2:-50:!"} << "!";
        QTest::newRow("marks arrive in reverse")
            << "first" << QStringList{"own:2:-50:!пена", "own:1:+10:!"} << "!пена";
        QTest::newRow("marks before their measurement")
            << "last" << QStringList{"own:2:-50:!пена", "own:1:+10:!"} << "!пена";
        QTest::newRow("older program's marks by time")
            << "first" << QStringList{"old::+20:!", "old::+10:!пена"} << "!";
    }

    void latestChangeIsTheRegistersLast() {
        QFETCH(QString, measurement);
        QFETCH(QStringList, changes);
        QFETCH(QString, current);
        static const QString db = FreshDatabase();
        QVERIFY(!db.isEmpty());
        const QString own = QUuid::createUuid().toString(QUuid::WithoutBraces);
        const QString other = QUuid::createUuid().toString(QUuid::WithoutBraces);
        std::mt19937 random(19);
        TArchiveMeasurement m = Measurement(1, random);
        m.Id = 1;
        TLabServer server(cluster_.Settings(TPgCluster::Writer, db));
        const auto send = [&] { server.Upload(measurement == "old" ? QString() : own, {m}, {}, {}); };
        if (measurement != "last")
            send();
        for (const QString& change : changes) {
            const QStringList f = change.split(u':'); // who, seq, minutes, text
            const QDateTime when = kStart.addSecs(f[2].toInt() * 60);
            const QString key = QUuid::createUuid().toString(QUuid::WithoutBraces);
            const bool mark = f[3].startsWith(u'!');
            const QString text = mark ? f[3].mid(1) : f[3];
            if (f[0] == "old") {
                const QString at = when.toUTC().toString(Qt::ISODateWithMs);
                cluster_.Rows(db, mark ? QStringLiteral("INSERT INTO invalid_mark (key, uid, marked, user_name, reason) "
                                                        "VALUES ('%1', '%2', '%3', 'технолог', '%4')")
                                             .arg(key, m.Uid, at, text)
                                       : QStringLiteral("INSERT INTO name_change (key, uid, changed, user_name, old_name, "
                                                        "new_name) VALUES ('%1', '%2', '%3', 'мастер', '', '%4')")
                                             .arg(key, m.Uid, at, text));
                QVERIFY2(cluster_.Error().isEmpty(), qPrintable(cluster_.Error()));
            } else if (mark) {
                server.Upload(f[0] == "own" ? own : other, {}, {},
                              {{f[1].toLongLong(), key, m.Uid, when, QStringLiteral("технолог"), text}});
            } else {
                server.Upload(f[0] == "own" ? own : other, {},
                              {{when, QStringLiteral("мастер"), m.SampleName, text, f[1].toLongLong(), key, m.Uid}}, {});
            }
        }
        if (measurement == "last")
            send();
        const QVariantList row =
            cluster_.Rows(db, QStringLiteral("SELECT current_name, coalesce(invalid_reason, '') FROM measurement "
                                             "WHERE uid = '%1'")
                                  .arg(m.Uid))
                .value(0);
        QCOMPARE(current.startsWith(u'!') ? u'!' + row.value(1).toString() : row.value(0).toString(), current);
    }

    void remadeServerGetsEverythingAgain_data() {
        QTest::addColumn<bool>("restored");
        QTest::newRow("dropped and made again") << false;
        QTest::newRow("restored from an earlier dump") << true;
    }

    void remadeServerGetsEverythingAgain() {
        QFETCH(bool, restored);
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        TArchive archive(folder.path());
        std::mt19937 random(23);
        const auto add = [&](int from, int to) {
            std::vector<TArchiveMeasurement> list;
            for (int n = from; n < to; ++n)
                list.push_back(Measurement(n, random, 1500));
            archive.AddAll(list);
            ChangeSome(archive, from + 1, to, QString::number(from));
        };
        add(0, 600);
        const QString db = FreshDatabase();
        QVERIFY2(!db.isEmpty(), qPrintable(cluster_.Error()));
        const TLabSettings settings = cluster_.Settings(TPgCluster::Writer, db);
        // The waits made short: the server is refused while it is remade.
        TLabUploader uploader(folder.path(), nullptr, std::make_shared<TRecordedWait>());
        TWatch watch;
        Watch(uploader, watch);
        uploader.Configure(settings);
        QTRY_VERIFY_WITH_TIMEOUT(Drained(archive, settings), 60000);
        const QString dump = folder.filePath(QStringLiteral("earlier.dump"));
        QVERIFY2(cluster_.Dump(db, dump), qPrintable(cluster_.Error()));
        add(600, 1200);
        uploader.Nudge();
        QTRY_VERIFY_WITH_TIMEOUT(Drained(archive, settings) && watch.Last.State == TUploadStatus::Sent, 60000);
        const QString identity = archive.ServerIdentity(settings.ServerId());

        // Every "sent" told from now on finds the server holding everything.
        QStringList early;
        connect(&uploader, &TLabUploader::StatusChanged, this, [&](const TUploadStatus& s) {
            if (s.State == TUploadStatus::Sent && Count(db) < 1200)
                early << QStringLiteral("«отправлено» with %1 rows on the server").arg(Count(db));
        });
        QVERIFY2(cluster_.DropDatabase(db) && cluster_.CreateDatabase(db), qPrintable(cluster_.Error()));
        if (restored)
            QVERIFY2(cluster_.Restore(db, dump), qPrintable(cluster_.Error()));
        else
            TLabServer(cluster_.Settings(TPgCluster::Owner, db));
        QVERIFY(Count(db) < 1200);
        uploader.Nudge();
        QTRY_VERIFY_WITH_TIMEOUT(Count(db) == 1200 && watch.Last.State == TUploadStatus::Sent, 120000);
        QVERIFY2(early.isEmpty(), qPrintable(early.join(u'\n')));
        CompareWithArchive(archive, db);
        QCOMPARE(archive.ServerIdentity(settings.ServerId()) == identity, restored);
    }

    void reconciliationMendsTheServer_data() {
        // Done to the server after it had everything: SQL as its superuser,
        // or "restore" of a dump taken halfway.
        QTest::addColumn<QString>("harm");
        QTest::addColumn<int>("days"); // days told; -1: some
        QTest::newRow("nothing lost") << "SELECT 1" << 0;
        QTest::newRow("rows lost on two days") << "DELETE FROM measurement WHERE seq IN (5, 6, 7, 150)" << 2;
        QTest::newRow("restored from an earlier dump") << "restore" << -1;
        QTest::newRow("changes lost") << "DELETE FROM name_change WHERE seq % 2 = 0; "
                                         "DELETE FROM invalid_mark WHERE seq % 3 = 0"
                                      << 0;
        QTest::newRow("sent by an older program")
            << "UPDATE measurement SET register_id = NULL, seq = NULL WHERE seq <= 100; "
               "UPDATE name_change SET register_id = NULL, seq = NULL"
            << 0;
        QTest::newRow("a row only on the server")
            << "INSERT INTO measurement (uid, port, computer, program_version, measured, calibration, received, "
               "results_file, sample_name, source, register_id, seq) SELECT 'чужая', '', '', '', measured, 0, "
               "received, '', '', 'analyser', register_id, 1 FROM measurement WHERE seq = 1"
            << 1;
    }

    void reconciliationMendsTheServer() {
        QFETCH(QString, harm);
        QFETCH(int, days);
        TArchive& archive = Spread();
        const QString db = FreshDatabase();
        QVERIFY2(!db.isEmpty(), qPrintable(cluster_.Error()));
        const QString dump = spread_->filePath(db + QStringLiteral(".dump"));
        if (harm == "restore") {
            UploadUpTo(archive, db, 200);
            QVERIFY2(cluster_.Dump(db, dump), qPrintable(cluster_.Error()));
        }
        UploadUpTo(archive, db, 400);
        const qint64 rows = Count(db);
        const qint64 changes = Changes(db);
        QCOMPARE(rows, 400);
        if (harm == "restore")
            QVERIFY2(cluster_.Restore(db, dump), qPrintable(cluster_.Error()));
        else
            QVERIFY2(cluster_.Psql(db, harm), qPrintable(cluster_.Error()));
        const qint64 lost = std::max<qint64>(0, rows - Count(db));
        const qint64 stray = std::max<qint64>(0, Count(db) - rows);
        const qint64 lostChanges = changes - Changes(db);

        const TLabSettings settings = cluster_.Settings(TPgCluster::Writer, db);
        TLabServer server(settings);
        QStringList told;
        const TReconcileResult result = TLabReconcile::Run(archive, server, settings.ServerId(),
                                                           [&](const QString& text) { told << text; });
        QVERIFY(!told.isEmpty());
        QCOMPARE(result.Measurements, 400);
        qint64 resent = 0;
        qint64 onlyThere = 0;
        for (const TReconcileDay& d : result.Days) {
            resent += d.Resent;
            onlyThere += d.OnlyOnServer;
            QVERIFY(result.Report().contains(d.Day.toString(QStringLiteral("dd.MM.yyyy"))));
        }
        QCOMPARE(resent, lost);
        QCOMPARE(onlyThere, stray);
        QCOMPARE(result.ChangesResent, lostChanges);
        if (days >= 0)
            QCOMPARE(int(result.Days.size()), days);
        else
            QVERIFY(!result.Days.empty());
        QCOMPARE(result.Matched(), lost == 0 && stray == 0 && result.ChangesResent == 0);
        QCOMPARE(result.Report().startsWith(QStringLiteral("Совпадает")), result.Matched());

        // Every row once again, each the register's; the next run finds
        // nothing to mend, and the uploader has nothing to send.
        QCOMPARE(Count(db), 400 + stray);
        QCOMPARE(cluster_.Value(db, QStringLiteral("SELECT count(*) FROM measurement WHERE register_id IS NULL")).toInt(), 0);
        QCOMPARE(cluster_.Value(db, QStringLiteral("SELECT count(*) FROM name_change WHERE seq IS NULL")).toInt(), 0);
        const TReconcileResult again = TLabReconcile::Run(archive, server, settings.ServerId());
        QCOMPARE(again.Matched(), stray == 0);
        QVERIFY(Drained(archive, settings));
        cluster_.Psql(db, QStringLiteral("DELETE FROM measurement WHERE uid = 'чужая'"));
        CompareWithArchive(archive, db);
    }

    void verifyFromTheCommandLine() {
        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString settings = root.filePath(QStringLiteral("line"));
        const QString ini = settings + QStringLiteral("/Savro2.Ini");
        const auto run = [&](const QStringList& args) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("HOME"), root.filePath(QStringLiteral("home")));
            env.insert(QStringLiteral("XDG_DATA_HOME"), root.filePath(QStringLiteral("data")));
            env.insert(QStringLiteral("XDG_CONFIG_HOME"), root.filePath(QStringLiteral("config")));
            env.remove(QStringLiteral("QT_QPA_PLATFORM"));
            QProcess p;
            p.setProcessEnvironment(env);
            p.start(QStringLiteral(SAVRO2_APP_PATH), QStringList{QStringLiteral("--settings"), settings} + args);
            const bool ended = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit;
            return std::make_pair(ended ? p.exitCode() : -1,
                                  QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError()));
        };
        auto [code, text] = run({QStringLiteral("--verify")});
        QCOMPARE(code, 2); // no lab server in the settings
        QVERIFY2(text.contains(QStringLiteral("не указан сервер лаборатории")), qPrintable(text));
        QCOMPARE(run({QStringLiteral("--verify"), QStringLiteral("--device"), QStringLiteral("3")}).first, 2);

        // The profile's archive, made by the program, filled here.
        QCOMPARE(run({"--export", "--from", "2026-01-01", "--to", "2026-01-01"}).first, 0);
        QDirIterator found(root.filePath(QStringLiteral("data")), {TArchive::FileName}, QDir::Files,
                           QDirIterator::Subdirectories);
        QVERIFY(found.hasNext());
        TArchive archive(QFileInfo(found.next()).absolutePath());
        std::mt19937 random(31);
        std::vector<TArchiveMeasurement> list;
        for (int n = 0; n < 300; ++n)
            list.push_back(Measurement(n, random, 900));
        archive.AddAll(list);

        EnsureConfigFile(ini);
        TLabSettings lab = cluster_.Settings(TPgCluster::Writer, FreshDatabase());
        QTcpServer probe; // a port nobody listens on once it is closed
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        TLabSettings down = lab;
        down.Port = probe.serverPort();
        probe.close();
        down.Write(ini);
        std::tie(code, text) = run({QStringLiteral("--verify")});
        QCOMPARE(code, 3);
        QVERIFY2(text.contains(QStringLiteral("Нет связи")), qPrintable(text));

        lab.Write(ini);
        std::tie(code, text) = run({QStringLiteral("--verify")});
        QCOMPARE(code, 1); // nothing was there: every day told, every row sent
        QCOMPARE(Count(lab.Database), 300);
        QVERIFY2(text.contains(QStringLiteral("отправлено снова")), qPrintable(text));
        std::tie(code, text) = run({QStringLiteral("--verify")});
        QCOMPARE(code, 0);
        QVERIFY2(text.startsWith(QStringLiteral("Совпадает")), qPrintable(text));
        QVERIFY(Drained(archive, lab));
    }
};

QTEST_MAIN(TstLabUpload)
#include "tst_labupload.moc"
