#include "archive/ArchiveModel.h"
#include "archive/ArchiveWindow.h"
#include "archive/LabArchive.h"
#include "register/ChartWindow.h"
#include "register/Unit1.h"
#include "support/FormHarness.h"
#include "support/TestFiles.h"

#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QHostAddress>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTableView>
#include <QTableWidget>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <map>

namespace {

// A throw-away PostgreSQL cluster on a free loopback port, trust login, in
// the C locale (the harshest for Cyrillic case folding). As root the server
// runs as nobody, which it insists on.
class TLocalCluster {
public:
    TLocalCluster() {
        if (!dir_.isValid()) {
            Failure = QStringLiteral("no temporary folder");
            return;
        }
        const QString bin = BinFolder();
        if (bin.isEmpty()) {
            Failure = QStringLiteral("no PostgreSQL server programs under /usr/lib/postgresql");
            return;
        }
        if (geteuid() == 0) {
            const passwd* nobody = getpwnam("nobody");
            if (!nobody || chown(QFile::encodeName(dir_.path()).constData(), nobody->pw_uid,
                                 nobody->pw_gid) != 0) {
                Failure = QStringLiteral("cannot hand the folder to nobody");
                return;
            }
            asNobody_ = true;
        }
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0)) {
            Failure = QStringLiteral("no free port");
            return;
        }
        Port = probe.serverPort();
        probe.close();
        const QString data = dir_.filePath(QStringLiteral("data"));
        if (!Run(bin + QStringLiteral("/initdb"),
                 {QStringLiteral("-D"), data, QStringLiteral("-U"), User, QStringLiteral("-A"),
                  QStringLiteral("trust"), QStringLiteral("-E"), QStringLiteral("UTF8"),
                  QStringLiteral("--locale=C")}))
            return;
        started_ = Run(bin + QStringLiteral("/pg_ctl"),
                       {QStringLiteral("-D"), data, QStringLiteral("-l"), dir_.filePath("log"),
                        QStringLiteral("-w"), QStringLiteral("-t"), QStringLiteral("120"),
                        QStringLiteral("-o"),
                        QStringLiteral("-c listen_addresses=127.0.0.1 -p %1 -k %2 -c fsync=off")
                            .arg(Port)
                            .arg(dir_.path()),
                        QStringLiteral("start")});
        stop_ = {bin + QStringLiteral("/pg_ctl"), QStringLiteral("-D"), data,
                 QStringLiteral("-m"), QStringLiteral("immediate"), QStringLiteral("stop")};
    }
    ~TLocalCluster() {
        if (started_)
            Run(stop_.front(), stop_.mid(1));
    }
    TLocalCluster(const TLocalCluster&) = delete;
    TLocalCluster& operator=(const TLocalCluster&) = delete;

    bool Started() const { return started_; }

    QString Failure;
    quint16 Port = 0;
    const QString User = QStringLiteral("savro");

private:
    static QString BinFolder() {
        QStringList versions = QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        std::sort(versions.begin(), versions.end(),
                  [](const QString& a, const QString& b) { return a.toInt() > b.toInt(); });
        for (const QString& v : versions) {
            const QString bin = QStringLiteral("/usr/lib/postgresql/%1/bin").arg(v);
            if (QFile::exists(bin + QStringLiteral("/initdb")))
                return bin;
        }
        return {};
    }

    bool Run(const QString& program, const QStringList& args) {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.setWorkingDirectory(dir_.path());
        if (asNobody_)
            p.start(QStringLiteral("runuser"),
                    QStringList{QStringLiteral("-u"), QStringLiteral("nobody"), QStringLiteral("--"),
                                program} +
                        args);
        else
            p.start(program, args);
        if (p.waitForFinished(180000) && p.exitStatus() == QProcess::NormalExit &&
            p.exitCode() == 0)
            return true;
        Failure = QStringLiteral("%1 failed: %2")
                      .arg(QFileInfo(program).fileName(),
                           QString::fromLocal8Bit(p.readAll()).trimmed().right(400));
        return false;
    }

    QTemporaryDir dir_;
    bool asNobody_ = false;
    bool started_ = false;
    QStringList stop_;
};

// The server's tables as the uploader fills them.
const char* const kSchema[] = {
    "CREATE TABLE measurement (id bigserial UNIQUE, uid text PRIMARY KEY, device integer NOT NULL, "
    "port text, computer text, user_name text, program_version text, measured timestamptz NOT NULL, "
    "calibration integer, v1 double precision, v2 double precision, v3 double precision, "
    "v4 double precision, v5 double precision, v6 double precision, v7 double precision, "
    "v8 double precision, v9 double precision, v10 double precision, v11 double precision, "
    "v12 double precision, v13 double precision, v14 double precision, v15 double precision, "
    "v16 double precision, v17 double precision, v18 double precision, v19 double precision, "
    "v20 double precision, v21 double precision, v22 double precision, v23 double precision, "
    "v24 double precision, v25 double precision, v26 double precision, v27 double precision, "
    "raw bytea, received timestamptz, results_file text, sample_name text, source text, "
    "current_name text, invalid_reason text, invalid_by text, invalid_at timestamptz)",
    "CREATE INDEX measurement_measured ON measurement (measured, id)",
    "CREATE TABLE name_change (key text PRIMARY KEY, uid text NOT NULL REFERENCES measurement, "
    "changed timestamptz NOT NULL, user_name text, old_name text, new_name text)",
};

constexpr int kRows = 500;
constexpr int kValue = 1; // an indicator present on even rows only
const QDateTime kBase(QDate(2026, 5, 4), QTime(7, 30));

// Row i: two rows share each minute, four benches in turn, every seventh
// invalid; names in mixed case with Ё.
TArchiveMeasurement Row(int i) {
    TArchiveMeasurement m;
    m.Uid = QStringLiteral("u%1").arg(i);
    m.Device = quint16(1 + i % 4);
    m.Computer = QStringLiteral("bench%1").arg(m.Device);
    m.Measured = kBase.addSecs(60 * (i / 2));
    m.Calibration = 1 + i % 3;
    m.Values[0] = 1.0 + i;
    if (i % 2 == 0)
        m.Values[kValue] = 0.5 * i;
    m.SampleName = i % 3 == 0   ? QStringLiteral("Пиво Светлое %1").arg(i)
                   : i % 3 == 1 ? QStringLiteral("ПИВО ТЁМНОЕ %1").arg(i)
                                : QStringLiteral("Kvas %1").arg(i);
    if (i % 7 == 0) {
        m.InvalidReason = QStringLiteral("пузырь");
        m.InvalidBy = QStringLiteral("lab");
        m.InvalidAt = kBase.addDays(1);
    }
    return m;
}

QVariant MsOrNull(const QDateTime& t) {
    return t.isValid() ? QVariant(t.toMSecsSinceEpoch()) : QVariant(QMetaType(QMetaType::LongLong));
}

} // namespace

class TstLabArchive : public QObject {
    Q_OBJECT

    std::unique_ptr<TLocalCluster> cluster_;
    std::unique_ptr<TLabArchive> lab_;
    std::map<QString, qint64> ids_; // uid: server id
    const QString conn_ = QStringLiteral("filler");

    TLabSettings Settings(const QString& database = QStringLiteral("savro2")) const {
        TLabSettings s;
        s.Host = QStringLiteral("127.0.0.1");
        s.Port = cluster_->Port;
        s.Database = database;
        s.User = cluster_->User;
        s.SslMode = QStringLiteral("disable");
        return s;
    }

    bool Exec(QSqlQuery& q, const QString& sql = QString()) {
        const bool ok = sql.isEmpty() ? q.exec() : q.exec(sql);
        if (!ok)
            qWarning() << q.lastError().text();
        return ok;
    }

    // The uids of the filter's rows in (measured, id) order.
    QStringList Expected(const std::function<bool(const TArchiveMeasurement&)>& keep) const {
        std::vector<std::pair<qint64, qint64>> order;
        for (int i = 0; i < kRows; ++i) {
            const TArchiveMeasurement m = Row(i);
            if (keep(m))
                order.push_back({m.Measured.toMSecsSinceEpoch(), ids_.at(m.Uid)});
        }
        std::sort(order.begin(), order.end());
        std::map<qint64, QString> uidOf;
        for (const auto& [uid, id] : ids_)
            uidOf[id] = uid;
        QStringList uids;
        for (const auto& o : order)
            uids << uidOf[o.second];
        return uids;
    }

private slots:
    void initTestCase() {
        cluster_ = std::make_unique<TLocalCluster>();
        if (!cluster_->Started())
            QSKIP(qPrintable(QStringLiteral("no PostgreSQL server could be started: ") +
                             cluster_->Failure));
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), conn_);
            db.setHostName(QStringLiteral("127.0.0.1"));
            db.setPort(cluster_->Port);
            db.setUserName(cluster_->User);
            db.setDatabaseName(QStringLiteral("postgres"));
            QVERIFY2(db.open(), qPrintable(db.lastError().text()));
            QSqlQuery q(db);
            QVERIFY(Exec(q, QStringLiteral("CREATE DATABASE savro2")));
            QVERIFY(Exec(q, QStringLiteral("CREATE DATABASE empty")));
            q = QSqlQuery();
            db.close();
            db.setDatabaseName(QStringLiteral("savro2"));
            QVERIFY(db.open());
            q = QSqlQuery(db);
            for (const char* sql : kSchema)
                QVERIFY(Exec(q, QString::fromUtf8(sql)));
            QVERIFY(db.transaction());
            q.prepare(QStringLiteral(
                "INSERT INTO measurement (uid, device, computer, measured, calibration, v1, v2, "
                "raw, received, sample_name, current_name, source, invalid_reason, invalid_by, "
                "invalid_at) VALUES (?, ?, ?, to_timestamp(?::bigint / 1000.0), ?, ?, ?, ?, "
                "to_timestamp(?::bigint / 1000.0), ?, ?, 'analyser', ?, ?, "
                "to_timestamp(?::bigint / 1000.0)) RETURNING id"));
            // Stored backwards, so the server's ids run against the time order.
            for (int i = kRows - 1; i >= 0; --i) {
                const TArchiveMeasurement m = Row(i);
                const QVariant noValue(QMetaType(QMetaType::Double));
                for (const QVariant& v :
                     {QVariant(m.Uid), QVariant(int(m.Device)), QVariant(m.Computer),
                      QVariant(m.Measured.toMSecsSinceEpoch()), QVariant(m.Calibration),
                      QVariant(*m.Values[0]),
                      m.Values[kValue] ? QVariant(*m.Values[kValue]) : noValue,
                      QVariant(QByteArray("\x01\x00\xff", 3)),
                      QVariant(m.Measured.addSecs(5).toMSecsSinceEpoch()),
                      QVariant(QStringLiteral("at the bench")), QVariant(m.SampleName),
                      QVariant(m.InvalidReason.isEmpty() ? QVariant(QMetaType(QMetaType::QString))
                                                         : QVariant(m.InvalidReason)),
                      QVariant(m.InvalidBy.isEmpty() ? QVariant(QMetaType(QMetaType::QString))
                                                     : QVariant(m.InvalidBy)),
                      MsOrNull(m.InvalidAt)})
                    q.addBindValue(v);
                QVERIFY(Exec(q));
                QVERIFY(q.next());
                ids_[m.Uid] = q.value(0).toLongLong();
            }
            q.prepare(QStringLiteral("INSERT INTO name_change (key, uid, changed, user_name, "
                                     "old_name, new_name) VALUES (?, 'u4', "
                                     "to_timestamp(?::bigint / 1000.0), ?, ?, ?)"));
            // Keys against the time order: the history follows the time.
            const QList<QStringList> changes{{"c", "60", "anna", "Проба", "Пиво"},
                                             {"a", "120", "boris", "Пиво", "Пиво Светлое 4"},
                                             {"b", "0", "anna", "", "Проба"}};
            for (const QStringList& c : changes) {
                q.addBindValue(c[0]);
                q.addBindValue(kBase.addSecs(c[1].toInt()).toMSecsSinceEpoch());
                q.addBindValue(c[2]);
                q.addBindValue(c[3]);
                q.addBindValue(c[4]);
                QVERIFY(Exec(q));
            }
            QVERIFY(db.commit());
        }
        QSqlDatabase::removeDatabase(conn_);
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
        QTest::addColumn<int>("fromMinute"); // -1: no bound
        QTest::addColumn<int>("toMinute");
        QTest::newRow("everything") << QString() << 0 << true << -1 << -1;
        QTest::newRow("lower case finds capitals") << QStringLiteral("пиво") << 0 << true << -1 << -1;
        QTest::newRow("capitals find lower case") << QStringLiteral("СВЕТЛ") << 0 << true << -1 << -1;
        QTest::newRow("Ё") << QStringLiteral("тёмн") << 0 << true << -1 << -1;
        QTest::newRow("Latin") << QStringLiteral("KVAS") << 0 << true << -1 << -1;
        QTest::newRow("invalid left out") << QString() << 0 << false << -1 << -1;
        QTest::newRow("bench and name") << QStringLiteral("пиво") << 3 << false << -1 << -1;
        QTest::newRow("minutes 10 to 100") << QString() << 0 << true << 10 << 100;
        QTest::newRow("nothing") << QStringLiteral("вино") << 0 << true << -1 << -1;
    }

    void pagesCoverTheFilterOnceInOrder() {
        QFETCH(QString, contains);
        QFETCH(int, device);
        QFETCH(bool, invalid);
        QFETCH(int, fromMinute);
        QFETCH(int, toMinute);
        TArchiveFilter filter;
        filter.SampleContains = contains;
        if (device)
            filter.Device = quint16(device);
        filter.IncludeInvalid = invalid;
        if (fromMinute >= 0)
            filter.From = kBase.addSecs(60 * fromMinute);
        if (toMinute >= 0)
            filter.To = kBase.addSecs(60 * toMinute);
        const QStringList expected = Expected([&](const TArchiveMeasurement& m) {
            return m.SampleName.contains(contains, Qt::CaseInsensitive) &&
                   (!device || m.Device == device) && (invalid || !m.Invalid()) &&
                   (!filter.From.isValid() || m.Measured >= filter.From) &&
                   (!filter.To.isValid() || m.Measured <= filter.To);
        });

        QStringList paged;
        std::optional<TArchiveCursor> after;
        for (;;) {
            const auto page = lab_->Page(filter, after, 37);
            for (const TArchiveMeasurement& m : page)
                paged << m.Uid;
            if (page.size() < 37)
                break;
            after = TArchiveCursor{page.back().Measured.toMSecsSinceEpoch(), page.back().Id};
        }
        QCOMPARE(paged, expected);
        QCOMPARE(lab_->Count(filter), qint64(expected.size()));
        QStringList visited;
        lab_->ForEach(filter, [&](const TArchiveMeasurement& m) {
            visited << m.Uid;
            return true;
        });
        QCOMPARE(visited, expected);
    }

    void chosenIdsOnly() {
        TArchiveFilter filter;
        filter.Ids = {ids_["u3"], ids_["u1"], ids_["u7"]};
        filter.SampleContains = QStringLiteral("не мешает");
        QCOMPARE(lab_->Count(filter), qint64(3));
        filter.IncludeInvalid = false; // u7 is invalid
        QStringList uids;
        for (const TArchiveMeasurement& m : lab_->Page(filter, std::nullopt, 10))
            uids << m.Uid;
        QCOMPARE(uids, (QStringList{"u1", "u3"}));
    }

    void pointsOfOneIndicator() {
        TArchiveFilter filter;
        filter.To = kBase.addSecs(60 * 9); // rows 0..19
        const std::vector<TArchivePoint> points = lab_->Points(filter, kValue);
        QCOMPARE(points.size(), size_t(10));
        for (size_t k = 0; k < points.size(); ++k) {
            const int i = int(2 * k); // even rows only, each in its own minute
            QCOMPARE(points[k].Id, ids_["u" + QString::number(i)]);
            QCOMPARE(points[k].When, Row(i).Measured.toMSecsSinceEpoch());
            QCOMPARE(points[k].Value, 0.5 * i);
            QCOMPARE(points[k].Invalid, i % 7 == 0);
        }
        QVERIFY(lab_->Points(filter, IndicatorCount).empty());
    }

    void rowReadBackWhole() {
        QVERIFY(!lab_->Writable());
        const std::optional<TArchiveMeasurement> m = lab_->FindId(ids_["u14"]);
        QVERIFY(m);
        const TArchiveMeasurement r = Row(14);
        QCOMPARE(m->Uid, r.Uid);
        QCOMPARE(m->Device, r.Device);
        QCOMPARE(m->Computer, r.Computer);
        QCOMPARE(m->Measured, r.Measured);
        QCOMPARE(m->Received, r.Measured.addSecs(5));
        QCOMPARE(m->Calibration, r.Calibration);
        QCOMPARE(m->Values[0], r.Values[0]);
        QCOMPARE(m->Values[kValue], r.Values[kValue]);
        QVERIFY(!m->Values[2]);
        QCOMPARE(m->Raw, QByteArray("\x01\x00\xff", 3));
        QCOMPARE(m->SampleName, r.SampleName); // the current name, not the first
        QCOMPARE(m->Source, QStringLiteral("analyser"));
        QVERIFY(m->Invalid());
        QCOMPARE(m->InvalidReason, QStringLiteral("пузырь"));
        QCOMPARE(m->InvalidBy, QStringLiteral("lab"));
        QCOMPARE(m->InvalidAt, r.InvalidAt);
        QVERIFY(!lab_->FindId(-1));
    }

    void nameHistoryInTimeOrder() {
        const std::vector<TNameChange> history = lab_->NameHistory(QStringLiteral("u4"));
        QCOMPARE(history.size(), size_t(3));
        QStringList seen;
        for (const TNameChange& c : history)
            seen << c.Key + '|' + c.User + '|' + c.OldName + '>' + c.NewName;
        QCOMPARE(seen, (QStringList{"b|anna|>Проба", "c|anna|Проба>Пиво",
                                    "a|boris|Пиво>Пиво Светлое 4"}));
        QCOMPARE(history[0].When, kBase);
        QCOMPARE(history[0].Uid, QStringLiteral("u4"));
        QVERIFY(lab_->NameHistory(QStringLiteral("u5")).empty());
    }

    void archiveWindowReadsTheLab() {
        TFormHarness h;
        QVERIFY(h.IsValid());
        auto form = h.MakeForm();
        // Only the window learns of the server: the form's uploader stays off.
        Settings().Write(h.IniPath());
        form->actArchive->trigger();
        TArchiveWindow* w = form->ArchiveWindow.get();
        QStringList errors;
        w->ErrorBox = [&](const QString&, const QString& text) { errors << text; };
        w->FromEdit->setDate(kBase.date());
        w->ToEdit->setDate(kBase.date().addDays(1));
        w->SourceBox->setCurrentIndex(1);
        QVERIFY2(errors.isEmpty(), qPrintable(errors.join('\n')));
        const QStringList valid = Expected([](const TArchiveMeasurement& m) { return !m.Invalid(); });
        QCOMPARE(w->StatusLabel->text(),
                 QStringLiteral("Измерений: ") + form->Doc.Cycle().Locale.toString(valid.size()));
        QCOMPARE(w->Model->Measurement(0).Uid, valid[0]);

        int named = -1; // the row with a name history
        for (int r = 0; r < w->Model->rowCount() && named < 0; ++r)
            if (w->Model->Measurement(r).Uid == QLatin1String("u4"))
                named = r;
        QVERIFY(named >= 0);
        w->List->setCurrentIndex(w->Model->index(named, 0));
        w->List->selectRow(named);
        QCOMPARE(w->HistoryList->rowCount(), 3);
        // Read only: no marks, no import; the rest works as on this computer.
        QVERIFY(!w->MarkInvalidButton->isEnabled());
        QVERIFY(!w->ClearMarkButton->isEnabled());
        QVERIFY(!w->ImportButton->isEnabled());
        for (QPushButton* b : {w->OpenInTableButton, w->ChartButton, w->ExportButton})
            QVERIFY(b->isEnabled());

        w->List->clearSelection();
        const QString file = h.Path(QStringLiteral("lab.jsonl"));
        w->ExportDialog = [&](const QString&) {
            return TArchiveWindow::TExportTarget{file, TExportFormat::JsonLines};
        };
        w->ExportButton->click();
        QCOMPARE(ReadAll(file).count('\n'), valid.size());
        w->ChartButton->click();
        QVERIFY(w->Chart && w->Chart->isVisible());
        w->Chart->close();
        QVERIFY2(errors.isEmpty(), qPrintable(errors.join('\n')));
    }

    void failuresAreArchiveErrors() {
        // No tables there.
        const TLabArchive empty(Settings(QStringLiteral("empty")));
        QVERIFY_THROWS_EXCEPTION(EArchiveError, empty.Count({}));
        try {
            empty.Page({}, std::nullopt, 10);
            QFAIL("read a missing table");
        } catch (const EArchiveError& e) {
            QVERIFY(QString::fromUtf8(e.what()).startsWith("Не удалось прочитать архив лаборатории: "));
        }
        // Nobody listens there.
        TLabSettings closed = Settings();
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        closed.Port = probe.serverPort();
        probe.close();
        try {
            TLabArchive lab(closed);
            QFAIL("connected to a closed port");
        } catch (const EArchiveError& e) {
            QVERIFY2(QString::fromUtf8(e.what()).startsWith(
                         "Не удалось подключиться к архиву лаборатории (127.0.0.1:"),
                     e.what());
        }
    }
};

QTEST_MAIN(TstLabArchive)
#include "tst_labarchive.moc"
