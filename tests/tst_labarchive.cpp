#include "archive/ArchiveModel.h"
#include "archive/LabArchive.h"
#include "archiveui/ArchiveWindow.h"
#include "register/Unit1.h"
#include "support/FormHarness.h"

#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QHostAddress>
#include <QProcess>
#include <QPushButton>
#include <QSqlError>
#include <QSqlQuery>
#include <QTableView>
#include <QTableWidget>
#include <QTcpServer>
#include <QtTest>

#include <pwd.h>
#include <unistd.h>

#include <algorithm>

namespace {

// A throw-away PostgreSQL cluster on a free loopback port, trust login, in
// the C locale, where lower() leaves Cyrillic alone. As root it runs as
// nobody, since the server refuses root.
class TLocalCluster {
public:
    TLocalCluster() {
        QTcpServer probe;
        const QStringList versions = QDir(QStringLiteral("/usr/lib/postgresql"))
                                         .entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        if (versions.isEmpty() || !dir_.isValid() || !probe.listen(QHostAddress::LocalHost, 0)) {
            Failure =
                QStringLiteral("no PostgreSQL server programs, temporary folder or free port");
            return;
        }
        bin_ = QStringLiteral("/usr/lib/postgresql/%1/bin/").arg(versions.last());
        Port = probe.serverPort();
        probe.close();
        const passwd* nobody = geteuid() == 0 ? getpwnam("nobody") : nullptr;
        asNobody_ = nobody && chown(QFile::encodeName(dir_.path()).constData(), nobody->pw_uid,
                                    nobody->pw_gid) == 0;
        Started =
            Run("initdb",
                {"-D", Data(), "-U", "savro", "-A", "trust", "-E", "UTF8", "--locale=C"}) &&
            Run("pg_ctl", {"-D", Data(), "-l", dir_.filePath("log"), "-w", "-t", "120", "-o",
                           QStringLiteral("-c listen_addresses=127.0.0.1 -p %1 -k %2 -c fsync=off")
                               .arg(Port)
                               .arg(dir_.path()),
                           "start"});
    }
    ~TLocalCluster() {
        if (Started)
            Run("pg_ctl", {"-D", Data(), "-m", "immediate", "stop"});
    }

    bool Started = false;
    QString Failure;
    quint16 Port = 0;

private:
    QString Data() const { return dir_.filePath(QStringLiteral("data")); }
    bool Run(const char* program, const QStringList& args) {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        const QString path = bin_ + QLatin1String(program);
        if (asNobody_)
            p.start(QStringLiteral("runuser"), QStringList{"-u", "nobody", "--", path} + args);
        else
            p.start(path, args);
        if (p.waitForFinished(180000) && p.exitStatus() == QProcess::NormalExit &&
            p.exitCode() == 0)
            return true;
        Failure =
            QStringLiteral("%1: %2").arg(program, QString::fromLocal8Bit(p.readAll()).right(400));
        return false;
    }

    QTemporaryDir dir_;
    QString bin_;
    bool asNobody_ = false;
};

constexpr int kRows = 500;
const QDateTime kBase(QDate(2026, 5, 4), QTime(7, 30));

// Row i: two rows in each minute, four benches, every seventh invalid, the
// second indicator on even rows, names in mixed case with Ё.
TArchiveMeasurement Row(int i) {
    TArchiveMeasurement m;
    m.Uid = QStringLiteral("u%1").arg(i);
    m.Device = quint16(1 + i % 4);
    m.Measured = kBase.addSecs(60 * (i / 2));
    if (i % 2 == 0)
        m.Values[1] = 0.5 * i;
    const char* names[] = {"Пиво Светлое %1", "ПИВО ТЁМНОЕ %1", "Kvas %1"};
    m.SampleName = QString::fromUtf8(names[i % 3]).arg(i);
    if (i % 7 == 0)
        m.InvalidAt = kBase.addDays(1);
    return m;
}

} // namespace

class TstLabArchive : public QObject {
    Q_OBJECT

    std::unique_ptr<TLocalCluster> cluster_;
    std::unique_ptr<TLabArchive> lab_;

    TLabSettings Settings() const {
        TLabSettings s;
        s.Host = QStringLiteral("127.0.0.1");
        s.Port = cluster_->Port;
        s.Database = QStringLiteral("postgres");
        s.User = QStringLiteral("savro");
        s.SslMode = QStringLiteral("disable");
        return s;
    }

    // Stored backwards: the server's ids run against the time order.
    static qint64 Id(int i) { return kRows - i; }

    // The uids of the rows kept, in (measured, id) order.
    static QStringList Expected(const std::function<bool(const TArchiveMeasurement&)>& keep) {
        std::vector<std::pair<QDateTime, qint64>> order;
        for (int i = 0; i < kRows; ++i)
            if (keep(Row(i)))
                order.push_back({Row(i).Measured, Id(i)});
        std::sort(order.begin(), order.end());
        QStringList uids;
        for (const auto& o : order)
            uids << QStringLiteral("u%1").arg(kRows - o.second);
        return uids;
    }

private slots:
    void initTestCase() {
        cluster_ = std::make_unique<TLocalCluster>();
        if (!cluster_->Started)
            QSKIP(qPrintable("no PostgreSQL server could be started: " + cluster_->Failure));
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("fill"));
        db.setHostName(QStringLiteral("127.0.0.1"));
        db.setPort(cluster_->Port);
        db.setUserName(QStringLiteral("savro"));
        db.setDatabaseName(QStringLiteral("postgres"));
        QVERIFY2(db.open(), qPrintable(db.lastError().text()));
        QSqlQuery q(db);
        QString values;
        for (int k = 1; k <= IndicatorCount; ++k)
            values += QStringLiteral("v%1 double precision, ").arg(k);
        for (const QString& sql :
             {QStringLiteral("CREATE TABLE measurement (id bigserial UNIQUE, uid text PRIMARY KEY, "
                             "device integer, port text, computer text, user_name text, "
                             "program_version text, measured timestamptz, calibration integer, %1"
                             "raw bytea, received timestamptz, results_file text, sample_name "
                             "text, source text, current_name text, invalid_reason text, "
                             "invalid_by text, invalid_at timestamptz, imported_by text, "
                             "decimals integer)")
                  .arg(values),
              QStringLiteral("CREATE TABLE name_change (key text PRIMARY KEY, uid text, changed "
                             "timestamptz, user_name text, old_name text, new_name text)"),
              // Keys against the time order: the history follows the time.
              QStringLiteral(
                  "INSERT INTO name_change VALUES ('c', 'u4', '2026-05-04 08:00Z', 'anna', "
                  "'Проба', 'Пиво'), ('a', 'u4', '2026-05-04 09:00Z', 'boris', 'Пиво', "
                  "'Пиво Светлое 4'), ('b', 'u4', '2026-05-04 07:00Z', 'anna', '', 'Проба')")})
            QVERIFY2(q.exec(sql), qPrintable(q.lastError().text()));
        // Row(i) again, stored backwards.
        q.prepare(QStringLiteral(
            "INSERT INTO measurement (uid, device, measured, v2, raw, sample_name, current_name, "
            "invalid_reason, invalid_at) SELECT 'u' || i, 1 + i % 4, b + (i / 2) * interval '1 "
            "minute', CASE WHEN i % 2 = 0 THEN 0.5 * i END, '\\x01ff', 'первое', (ARRAY['Пиво "
            "Светлое ', 'ПИВО ТЁМНОЕ ', 'Kvas '])[i % 3 + 1] || i, CASE WHEN i % 7 = 0 THEN "
            "'пузырь' END, CASE WHEN i % 7 = 0 THEN b + interval '1 day' END FROM "
            "generate_series(0, 499) i, to_timestamp(?::bigint / 1000.0) b ORDER BY i DESC"));
        q.addBindValue(kBase.toMSecsSinceEpoch());
        QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
        q = QSqlQuery();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("fill"));
        lab_ = std::make_unique<TLabArchive>(Settings());
    }

    void cleanupTestCase() {
        lab_.reset();
        cluster_.reset();
    }

    void pagesCoverTheFilterOnceInOrder_data() {
        QTest::addColumn<QString>("contains");
        QTest::addColumn<int>("device"); // 0: any
        QTest::addColumn<bool>("invalid");
        QTest::addColumn<int>("toMinute"); // -1: no bound
        QTest::newRow("everything") << QString() << 0 << true << -1;
        QTest::newRow("lower case finds capitals") << "пиво" << 0 << true << -1;
        QTest::newRow("capitals find lower case") << "СВЕТЛ" << 0 << true << -1;
        QTest::newRow("Ё") << "тёмн" << 0 << true << -1;
        QTest::newRow("Latin") << "KVAS" << 0 << true << -1;
        QTest::newRow("invalid left out, bench") << "пиво" << 3 << false << -1;
        QTest::newRow("up to minute 100") << QString() << 0 << false << 100;
    }

    void pagesCoverTheFilterOnceInOrder() {
        QFETCH(QString, contains);
        QFETCH(int, device);
        QFETCH(bool, invalid);
        QFETCH(int, toMinute);
        TArchiveFilter filter;
        filter.SampleContains = contains;
        if (device)
            filter.Device = quint16(device);
        filter.IncludeInvalid = invalid;
        if (toMinute >= 0)
            filter.To = kBase.addSecs(60 * toMinute);
        const QStringList expected = Expected([&](const TArchiveMeasurement& m) {
            return m.SampleName.contains(contains, Qt::CaseInsensitive) &&
                   (!device || m.Device == device) && (invalid || !m.Invalid()) &&
                   (toMinute < 0 || m.Measured <= filter.To);
        });
        QStringList paged;
        std::optional<TArchiveCursor> after;
        for (;;) {
            const std::vector<TArchiveMeasurement> page = lab_->Page(filter, after, 37);
            for (const TArchiveMeasurement& m : page)
                paged << m.Uid;
            if (page.size() < 37)
                break;
            after = TArchiveCursor{page.back().Measured.toMSecsSinceEpoch(), page.back().Id};
        }
        QCOMPARE(paged, expected);
        QCOMPARE(lab_->Count(filter), qint64(expected.size()));
    }

    void rowPointsAndHistory() {
        const std::optional<TArchiveMeasurement> m = lab_->FindId(Id(14));
        QVERIFY(m);
        QCOMPARE(m->Measured, Row(14).Measured);
        QCOMPARE(m->Values[1], Row(14).Values[1]);
        QCOMPARE(m->Raw, QByteArray("\x01\xff"));
        QCOMPARE(m->SampleName, Row(14).SampleName); // the current name
        QCOMPARE(m->InvalidAt, Row(14).InvalidAt);
        QCOMPARE(m->InvalidReason, QStringLiteral("пузырь"));

        TArchiveFilter filter;
        filter.To = kBase.addSecs(60 * 9); // rows 0..19
        std::vector<TArchivePoint> points = lab_->Points(filter, 1);
        QCOMPARE(points.size(), size_t(10)); // even rows only
        QCOMPARE(points[7].Id, Id(14));
        QCOMPARE(points[7].When, Row(14).Measured.toMSecsSinceEpoch());
        QCOMPARE(points[7].Value, 7.0);
        QVERIFY(points[7].Invalid && !points[6].Invalid);

        QStringList history;
        for (const TNameChange& c : lab_->NameHistory(QStringLiteral("u4")))
            history << c.User + ':' + c.OldName + '>' + c.NewName;
        QCOMPARE(history,
                 (QStringList{"anna:>Проба", "anna:Проба>Пиво", "boris:Пиво>Пиво Светлое 4"}));
    }

    void archiveWindowReadsTheLab() {
        TFormHarness h;
        auto form = h.MakeForm();
        Settings().Write(h.IniPath()); // after the form: its uploader stays off
        form->actArchive->trigger();
        TArchiveWindow* w = form->ArchiveWindow.get();
        QStringList errors;
        w->ErrorBox = [&](const QString&, const QString& text) { errors << text; };
        w->FromEdit->setDate(kBase.date());
        w->ToEdit->setDate(kBase.date());
        w->SourceBox->setCurrentIndex(1);
        QCOMPARE(w->Model->Measurement(0).Uid, Expected([](auto& m) { return !m.Invalid(); })[0]);
        w->List->selectRow(2);
        QVERIFY(w->OpenInTableButton->isEnabled() && w->ExportButton->isEnabled());
        QVERIFY(!w->MarkInvalidButton->isEnabled() && !w->ImportButton->isEnabled());
        QVERIFY2(errors.isEmpty(), qPrintable(errors.join('\n')));
        // A server that does not answer is an archive error.
        TLabSettings gone = Settings();
        gone.Port = 1;
        QVERIFY_THROWS_EXCEPTION(EArchiveError, TLabArchive{gone});
    }
};

QTEST_MAIN(TstLabArchive)
#include "tst_labarchive.moc"
