#include "archive/Archive.h"
#include "config/Cp1251.h"
#include "document/RegisterDocument.h"
#include "results/RecordCycle.h"
#include "results/ResultsTable.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include "support/RecordReply.h"
#include "support/TestFiles.h"

namespace {

TArchiveMeasurement Measured(double value, const QDateTime& when, const QString& name,
                             quint16 device = 10, const QString& port = QStringLiteral("ttyS0")) {
    TArchiveMeasurement m = TArchive::FromRecord(DecodeRecordBytes(RecordReply(value)), when, device, port);
    m.SampleName = name;
    return m;
}

const QDateTime kDay(QDate(2026, 3, 2), QTime(9, 0));

// Runs statements on the archive file of folder behind the archive's back,
// as another program version would have left it.
bool AlterFile(const QString& folder, const QStringList& statements) {
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("raw"));
        db.setDatabaseName(QDir(folder).filePath(TArchive::FileName));
        ok = db.open();
        for (const QString& statement : statements)
            ok = ok && QSqlQuery(db).exec(statement);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("raw"));
    return ok;
}

} // namespace

class TstArchive : public QObject {
    Q_OBJECT

private slots:
    void sameMeasurementIsStoredOnce() {
        QTemporaryDir dir;
        TArchive archive(dir.path());
        const TArchiveMeasurement m = Measured(4.21, kDay, QStringLiteral("Пиво"));
        QVERIFY(archive.Add(m));
        QVERIFY(!archive.Add(m)); // the same key: offered again, or sent twice
        // Equal bytes under a key of their own: a second water blank, a
        // measurement of its own (whether a record is offered again is the
        // register's to say, by the key).
        QVERIFY(archive.Add(Measured(4.21, kDay.addSecs(120), QStringLiteral("Пиво"))));
        QVERIFY(archive.Add(Measured(4.21, kDay.addSecs(180), QString(), 11)));
        QCOMPARE(archive.Count({}), 3);

        const TArchiveMeasurement stored = *archive.Find(m.Uid);
        TMeasurementRecord record;
        QVERIFY(DecodeRecord(ReplyStatusComplete, EncodeCarriers(m.Raw), record));
        QCOMPARE(stored.Values[0], std::optional<double>(record.Values[0])); // as sent, not rounded
        QVERIFY(!stored.Values[1].has_value());
        QCOMPARE(stored.Raw, m.Raw);
        QCOMPARE(stored.Measured, kDay);
    }

    void damagedFileIsSetAside_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("text") << QByteArray("Проба\t1,00\r\n").repeated(200);
        QTest::newRow("zeros") << QByteArray(8192, '\0');
        QByteArray header("SQLite format 3\0", 16);
        QTest::newRow("cut database") << header + QByteArray(4096 - 16, '\x01');
    }

    void damagedFileIsSetAside() {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        QVERIFY(WriteAll(dir.filePath(TArchive::FileName), content));

        TArchive archive(dir.path());
        QVERIFY(!archive.SetAside().isEmpty());
        QCOMPARE(ReadAll(archive.SetAside()), content); // kept as it was, never deleted
        QVERIFY(archive.Add(Measured(1, kDay, QString())));
        QCOMPARE(archive.Count({}), 1);
    }

    void newerArchiveIsLeftAlone() {
        QTemporaryDir dir;
        {
            TArchive archive(dir.path());
            archive.Add(Measured(1, kDay, QString()));
        }
        QVERIFY(AlterFile(dir.path(), {QStringLiteral("INSERT INTO schema_version VALUES (99)")}));
        QVERIFY_THROWS_EXCEPTION(EArchiveTooNew, TArchive(dir.path()));
        QCOMPARE(QDir(dir.path()).entryList({"*damaged*"}).size(), 0);
    }

    // Schema 3 kept an imported row with device 0 and the importing user as
    // the one who measured, in a table whose device could not be NULL.
    void schema3ImportsForgetWhatTheyDidNotKnow() {
        QTemporaryDir dir;
        TArchive(dir.path()).Add(Measured(1, kDay, QString()));
        QString types;
        QString values;
        for (int k = 1; k <= IndicatorCount; ++k) {
            types += QStringLiteral(", v%1 REAL").arg(k);
            values += QStringLiteral(", v%1").arg(k);
        }
        QVERIFY(AlterFile(
            dir.path(),
            {QStringLiteral(
                 "CREATE TABLE old (id INTEGER PRIMARY KEY, uid TEXT NOT NULL UNIQUE, "
                 "device INTEGER NOT NULL, port TEXT NOT NULL, computer TEXT NOT NULL, "
                 "user_name TEXT NOT NULL, program_version TEXT NOT NULL, measured_ms "
                 "INTEGER NOT NULL, calibration INTEGER NOT NULL%1, raw BLOB, received_ms "
                 "INTEGER NOT NULL, results_file TEXT NOT NULL, sample_name TEXT NOT NULL, "
                 "sample_lower TEXT NOT NULL, source TEXT NOT NULL, invalid_reason TEXT, "
                 "invalid_by TEXT, invalid_ms INTEGER)")
                 .arg(types),
             QStringLiteral("INSERT INTO old SELECT id, uid, device, port, computer, "
                            "coalesce(user_name, ''), program_version, measured_ms, calibration%1, "
                            "raw, received_ms, results_file, sample_name, sample_lower, source, "
                            "invalid_reason, invalid_by, invalid_ms FROM measurement")
                 .arg(values),
             // Imported by that version.
             QStringLiteral(
                 "INSERT INTO old SELECT 7, 'imported', 0, '', 'pc', 'anna', '1.0', "
                 "measured_ms, calibration%1, NULL, 0, '', '', '', 'import', NULL, NULL, "
                 "NULL FROM old")
                 .arg(values),
             QStringLiteral("DROP TABLE measurement"),
             QStringLiteral("ALTER TABLE old RENAME TO measurement"),
             QStringLiteral("CREATE INDEX measurement_time ON measurement (measured_ms)"),
             QStringLiteral("CREATE INDEX measurement_invalid ON measurement (measured_ms, id) "
                            "WHERE invalid_ms IS NOT NULL"),
             QStringLiteral("DELETE FROM schema_version WHERE version > 3")}));

        TArchive archive(dir.path());
        const std::vector<TArchiveMeasurement> rows = archive.Page({}, std::nullopt, 9);
        QCOMPARE(rows.size(), size_t(2));
        QCOMPARE(rows[0].Device, std::optional<quint16>(10));
        QCOMPARE(rows[0].User, TArchive::ThisUser());
        QVERIFY(rows[0].ImportedBy.isEmpty() && !rows[0].Decimals);
        QCOMPARE(rows[1].Id, 7);
        QVERIFY(!rows[1].Device && rows[1].User.isEmpty());
        QCOMPARE(rows[1].ImportedBy, QStringLiteral("anna"));
        QCOMPARE(rows[1].Decimals, std::optional(2));
        // The table's indexes are back: its key's, and the two of their own.
        QVERIFY(!archive.Add(rows[1]));
        QVERIFY(AlterFile(dir.path(), {QStringLiteral("DROP INDEX measurement_time"),
                                       QStringLiteral("DROP INDEX measurement_invalid")}));
    }

    // Per indicator and sample (blanks around the name do not count), kept
    // across openings; an archive of schema 2 gets the table when opened.
    void chartLimitsArePerIndicatorAndSample() {
        QTemporaryDir dir;
        {
            TArchive archive(dir.path());
            archive.Add(Measured(1, kDay, QString()));
        }
        // Back to schema 2.
        QVERIFY(AlterFile(dir.path(), {QStringLiteral("DROP TABLE chart_limits"),
                                       QStringLiteral("DROP INDEX measurement_invalid"),
                                       QStringLiteral("DELETE FROM schema_version WHERE version > 2")}));
        TFixedLimits base;
        base.Centre = 5.1;
        base.Sigma = 0.13;
        base.BaseFromMs = 1000;
        base.BaseToMs = 2000;
        base.SetBy = QStringLiteral("Иванова");
        base.SetMs = 3000;
        TFixedLimits nominal;
        nominal.Kind = TLimitsKind::Nominal;
        nominal.Nominal = 5.0;
        nominal.Tolerance = 0.3;
        {
            TArchive archive(dir.path());
            QCOMPARE(archive.Count({}), 1);
            archive.SetChartLimits(1, QStringLiteral("Пиво"), base);
            archive.SetChartLimits(1, QStringLiteral("Квас"), nominal);
            archive.SetChartLimits(2, QStringLiteral("Пиво"), nominal);
            archive.ClearChartLimits(2, QStringLiteral("Пиво"));
        }
        TArchive archive(dir.path());
        const std::optional<TFixedLimits> beer = archive.ChartLimits(1, QStringLiteral(" Пиво "));
        QVERIFY(beer);
        QCOMPARE(int(beer->Kind), int(TLimitsKind::BasePeriod));
        QCOMPARE(beer->Centre, 5.1);
        QCOMPARE(beer->Sigma, 0.13);
        QCOMPARE(beer->BaseToMs, 2000);
        QCOMPARE(beer->SetBy, QStringLiteral("Иванова"));
        const std::optional<TFixedLimits> kvass = archive.ChartLimits(1, QStringLiteral("Квас"));
        QVERIFY(kvass);
        QCOMPARE(int(kvass->Kind), int(TLimitsKind::Nominal));
        QCOMPARE(kvass->Tolerance, 0.3);
        QVERIFY(!archive.ChartLimits(2, QStringLiteral("Пиво")));
        QVERIFY(!archive.ChartLimits(0, QStringLiteral("Пиво")));
    }

    void renamesAreAppended() {
        QTemporaryDir dir;
        TArchive archive(dir.path());
        const TArchiveMeasurement m = Measured(4.21, kDay, QStringLiteral("Пиво"));
        archive.Add(m);
        QVERIFY(archive.Rename(m.Uid, QStringLiteral("Пиво светлое"), QStringLiteral("anna"), kDay.addSecs(60)));
        QVERIFY(!archive.Rename(m.Uid, QStringLiteral("Пиво светлое")));
        QVERIFY(archive.Rename(m.Uid, QString(), QStringLiteral("boris"), kDay.addSecs(90)));
        const std::vector<TNameChange> history = archive.NameHistory(m.Uid);
        QCOMPARE(history.size(), size_t(2));
        QCOMPARE(history[0].OldName, QStringLiteral("Пиво"));
        QCOMPARE(history[0].NewName, QStringLiteral("Пиво светлое"));
        QCOMPARE(history[0].User, QStringLiteral("anna"));
        QCOMPARE(history[1].OldName, QStringLiteral("Пиво светлое"));
        QCOMPARE(history[1].When, kDay.addSecs(90));
        QCOMPARE(archive.Find(m.Uid)->SampleName, QString());
    }

    // A results-table row finds its measurement by date, time, calibration
    // and the values as the table shows them.
    void rowFindsItsMeasurement_data() {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<int>("changedColumn"); // 0: none
        QTest::addColumn<bool>("found");
        const QLocale ru(QLocale::Russian, QLocale::Russia);
        QTest::newRow("ru") << ru << 0 << true;
        QTest::newRow("C") << QLocale::c() << 0 << true;
        QTest::newRow("other value") << ru << 5 << false;
        QTest::newRow("value added") << ru << 6 << false;
        QTest::newRow("other second") << ru << 3 << false;
        QTest::newRow("other calibration") << ru << 4 << false;
    }

    void rowFindsItsMeasurement() {
        QFETCH(QLocale, locale);
        QFETCH(int, changedColumn);
        QFETCH(bool, found);
        QTemporaryDir dir;
        TArchive archive(dir.path());
        const QDateTime when = kDay.addMSecs(437);
        const TArchiveMeasurement m = Measured(1.00937, when, QString());
        archive.Add(m);
        archive.Add(Measured(2, when.addSecs(1), QString()));

        TRecordCycle cycle;
        cycle.Locale = locale;
        TResultsTable table;
        table.ClearTable();
        TMeasurementRecord record;
        QVERIFY(DecodeRecord(ReplyStatusComplete, EncodeCarriers(m.Raw), record));
        cycle.AppendMeasurement(table, record, when);
        if (changedColumn == 3)
            table.SetCell(3, 1, cycle.TimeText(when.addSecs(2)).toLatin1());
        else if (changedColumn == 4)
            table.SetCell(4, 1, "4");
        else if (changedColumn)
            table.SetCell(changedColumn, 1, "1,02");
        ControlChart::TDateTimeReader reader(locale);
        QCOMPARE(archive.FindRow(table.RowAt(1), reader).has_value(), found);
        if (found)
            QCOMPARE(*archive.FindRow(table.RowAt(1), reader), m.Uid);
    }

    void pagesCoverTheFilterOnce() {
        QTemporaryDir dir;
        TArchive archive(dir.path());
        std::vector<TArchiveMeasurement> list;
        for (int i = 0; i < 1000; ++i) {
            // Several measurements share a second: the page edge must not cut them.
            TArchiveMeasurement m = Measured(i, kDay.addSecs(i / 3), i % 4 ? QStringLiteral("ПИВО №%1").arg(i) : QStringLiteral("вода"),
                                             quint16(10 + i % 2), QStringLiteral("p%1").arg(i));
            m.Uid = QStringLiteral("u%1").arg(i);
            list.push_back(m);
        }
        QCOMPARE(archive.AddAll(list), 1000);
        archive.MarkInvalid(archive.Find(QStringLiteral("u5"))->Id, QStringLiteral("пузырь"),
                            QStringLiteral("anna"), kDay);

        TArchiveFilter filter;
        filter.SampleContains = QStringLiteral("пиво"); // any case, Cyrillic too
        filter.Device = 11;
        filter.IncludeInvalid = false;
        filter.From = kDay.addSecs(10);
        filter.To = kDay.addSecs(300);
        std::vector<QString> seen;
        std::optional<TArchiveCursor> after;
        for (;;) {
            const std::vector<TArchiveMeasurement> page = archive.Page(filter, after, 7);
            for (const TArchiveMeasurement& m : page)
                seen.push_back(m.Uid);
            if (page.size() < 7)
                break;
            after = TArchiveCursor{page.back().Measured.toMSecsSinceEpoch(), page.back().Id};
        }
        std::vector<QString> expected;
        for (int i = 0; i < 1000; ++i)
            if (i % 2 == 1 && i % 4 != 0 && i / 3 >= 10 && i / 3 <= 300 && i != 5)
                expected.push_back(QStringLiteral("u%1").arg(i));
        QCOMPARE(seen, expected);
        QCOMPARE(archive.Count(filter), qint64(expected.size()));
        QCOMPARE(archive.Points(filter, 0).size(), expected.size());

        filter.IncludeInvalid = true;
        filter.From = kDay;
        const std::vector<TArchivePoint> points = archive.Points(filter, 0);
        QCOMPARE(std::count_if(points.begin(), points.end(), [](const TArchivePoint& p) { return p.Invalid; }), 1);
        QCOMPARE(archive.Find(QStringLiteral("u5"))->InvalidReason, QStringLiteral("пузырь"));
        // No reason, or only blanks: valid again.
        for (const QString& reason : {QStringLiteral(" \t "), QString()}) {
            archive.MarkInvalid(archive.Find(QStringLiteral("u6"))->Id, QStringLiteral("пена"));
            archive.MarkInvalid(archive.Find(QStringLiteral("u6"))->Id, reason);
            QVERIFY(!archive.Find(QStringLiteral("u6"))->Invalid());
        }
        archive.MarkInvalid(archive.Find(QStringLiteral("u5"))->Id, QString());
        QVERIFY(!archive.Find(QStringLiteral("u5"))->Invalid());
    }

    // A measurement renamed in a results file opened days later is still
    // the same archive entry; its names are a history, never overwritten.
    void renamingAnOpenedFileReachesTheArchive() {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("day.txt"));
        QString uid;
        {
            TRegisterDocument doc(dir.filePath(QStringLiteral("data")), dir.filePath(QStringLiteral("locks")));
            doc.Cycle().Now = [] { return kDay; };
            doc.Start(file);
            doc.SetLink(QStringLiteral("ttyS0"), 10);
            TResultsTable& table = doc.Table();
            table.setData(table.index(0, 0), QStringLiteral("эталон")); // typed ahead
            QCOMPARE(doc.PutRecordReply(6, ReplyStatusComplete, RecordReply(1.00937), true), quint8(9));
            doc.PutRecordReply(9, ReplyStatusComplete, {}, true);
            table.setData(table.index(0, 0), QStringLiteral("эталон 1"));
            doc.Save();
            const std::vector<TArchiveMeasurement> all = doc.Archive()->Page({}, std::nullopt, 10);
            QCOMPARE(all.size(), size_t(1));
            QCOMPARE(all[0].SampleName, QStringLiteral("эталон 1"));
            QCOMPARE(all[0].ResultsFile, file);
            uid = all[0].Uid;
        }
        TRegisterDocument doc(dir.filePath(QStringLiteral("data")), dir.filePath(QStringLiteral("locks")));
        doc.Start(dir.filePath(QStringLiteral("other.txt")));
        doc.Open(file);
        doc.Table().setData(doc.Table().index(0, 0), QStringLiteral("эталон A"));
        const std::vector<TNameChange> history = doc.Archive()->NameHistory(uid);
        QCOMPARE(history.size(), size_t(2));
        QCOMPARE(history[0].OldName, QStringLiteral("эталон"));
        QCOMPARE(history[1].OldName, QStringLiteral("эталон 1"));
        QCOMPARE(history[1].NewName, QStringLiteral("эталон A"));
        QCOMPARE(doc.Archive()->Count({}), 1);
    }

    // What a lab server has not confirmed comes in batches, oldest first; a
    // name change or mark waits for the batch that carries its measurement.
    void unsentComesInBatches() {
        QTemporaryDir dir;
        TArchive archive(dir.path());
        const QString server = QStringLiteral("lab:5432/savro2");
        std::vector<QString> uids;
        for (int i = 0; i < 5; ++i) {
            const TArchiveMeasurement m = Measured(i + 1, kDay.addSecs(60 * i), QString());
            archive.Add(m);
            uids.push_back(m.Uid);
        }
        archive.Rename(uids[0], QStringLiteral("a"));
        archive.Rename(uids[3], QStringLiteral("b"));
        archive.Rename(uids[1], QStringLiteral("c"));
        archive.MarkInvalid(archive.Find(uids[4])->Id, QStringLiteral("пена"));

        TArchive::TUnsent batch = archive.Unsent(server, 2);
        QCOMPARE(batch.Measurements.size(), size_t(2));
        QCOMPARE(batch.NameChanges.size(), size_t(1)); // "b" waits for its measurement, "c" behind it
        QCOMPARE(batch.NameChanges[0].NewName, QStringLiteral("a"));
        QVERIFY(batch.Marks.empty());
        QCOMPARE(archive.Backlog(server).Measurements, 5);
        // Not confirmed: the same batch again.
        QCOMPARE(archive.Unsent(server, 2).Measurements[0].Uid, uids[0]);
        archive.MarkSent(server, batch.Upto);
        QCOMPARE(archive.Backlog(server).Measurements, 3);
        QCOMPARE(archive.Backlog(server).Oldest, kDay.addSecs(120));

        batch = archive.Unsent(server, 10);
        QCOMPARE(batch.Measurements.size(), size_t(3));
        QCOMPARE(batch.NameChanges.size(), size_t(2));
        QCOMPARE(batch.Marks.size(), size_t(1));
        QCOMPARE(batch.Marks[0].Reason, QStringLiteral("пена"));
        QVERIFY(!batch.Marks[0].Key.isEmpty() && batch.NameChanges[0].Key != batch.NameChanges[1].Key);
        archive.MarkSent(server, batch.Upto);
        archive.MarkSent(server, {}); // a late, older confirmation
        QCOMPARE(archive.Backlog(server).Measurements, 0);
        QCOMPARE(archive.Backlog(server).Changes, 0);
        // Another server has everything to come.
        QCOMPARE(archive.Backlog(QStringLiteral("other:5432/savro2")).Measurements, 5);
    }

    // Schema 4 kept what each server confirmed by its address, which says
    // nothing of the server there now: that counts no more, and the
    // archive gets an id of its own, kept from then on.
    void confirmationsBelongToAServersIdentity() {
        QTemporaryDir dir;
        const QString address = QStringLiteral("lab:5432/savro2");
        QString before;
        {
            TArchive archive(dir.path());
            for (int i = 0; i < 3; ++i)
                archive.Add(Measured(i + 1, kDay.addSecs(60 * i), QString()));
            before = archive.RegisterId();
        }
        QVERIFY(AlterFile(
            dir.path(),
            {QStringLiteral("DROP TABLE register_identity"), QStringLiteral("DROP TABLE server_upload"),
             QStringLiteral("DROP TABLE server_address"),
             QStringLiteral("CREATE TABLE upload_state (server TEXT PRIMARY KEY, measurement_id INTEGER "
                            "NOT NULL DEFAULT 0, name_change_id INTEGER NOT NULL DEFAULT 0, "
                            "invalid_mark_id INTEGER NOT NULL DEFAULT 0)"),
             QStringLiteral("INSERT INTO upload_state VALUES ('lab:5432/savro2', 3, 0, 0)"),
             QStringLiteral("DELETE FROM schema_version WHERE version > 4")}));
        TArchive archive(dir.path());
        QVERIFY(!QUuid::fromString(archive.RegisterId()).isNull());
        QVERIFY(archive.RegisterId() != before);
        QCOMPARE(TArchive(dir.path()).RegisterId(), archive.RegisterId());
        QCOMPARE(archive.Backlog(archive.ServerIdentity(address)).Measurements, 3);

        archive.SetServerIdentity(address, QStringLiteral("A"));
        archive.MarkSent(QStringLiteral("A"), {3, 0, 0}, {3, 3});
        QCOMPARE(archive.Backlog(archive.ServerIdentity(address)).Measurements, 0);
        // Made again there: another identity, nothing confirmed.
        archive.SetServerIdentity(address, QStringLiteral("B"));
        QCOMPARE(archive.Backlog(archive.ServerIdentity(address)).Measurements, 3);
        // A restored from an older dump holds less: nothing counts of it.
        archive.Forget(QStringLiteral("A"), {1, 1});
        QCOMPARE(archive.Backlog(QStringLiteral("A")).Measurements, 3);
        QCOMPARE(archive.Held(QStringLiteral("A")).Top, 1);
    }

    // Ctrl+Z and a paste take the typed way: the archive's name history and
    // the recovery copy follow them.
    void undoneAndPastedNamesTakeTheTypedWay() {
        QTemporaryDir dir;
        TRegisterDocument doc(dir.filePath(QStringLiteral("data")),
                              dir.filePath(QStringLiteral("locks")));
        doc.Cycle().Now = [] { return kDay; };
        doc.Start(dir.filePath(QStringLiteral("day.txt")));
        doc.SetLink(QStringLiteral("ttyS0"), 10);
        TResultsTable& table = doc.Table();
        table.setData(table.index(0, 0), QStringLiteral("эталон"));
        QCOMPARE(doc.PutRecordReply(6, ReplyStatusComplete, RecordReply(1.00937), true), quint8(9));
        doc.PutRecordReply(9, ReplyStatusComplete, {}, true);
        doc.Save();
        const QString uid = doc.Archive()->Page({}, std::nullopt, 10).at(0).Uid;
        const auto copiedName = [&] {
            TResultsTable copy;
            if (doc.Recovery().Exists())
                doc.Recovery().Load(copy);
            return Cp1251::decode(copy.Cell(1, 1));
        };

        QCOMPARE(doc.Names().Paste(1, u"проба 1\nследующая\n"), 2);
        QVERIFY(doc.Modified());
        QTRY_COMPARE_WITH_TIMEOUT(copiedName(), QStringLiteral("проба 1"), 10000);
        QVERIFY(doc.Names().Undo());
        QTRY_COMPARE_WITH_TIMEOUT(copiedName(), QStringLiteral("эталон"), 10000);
        const std::vector<TNameChange> history = doc.Archive()->NameHistory(uid);
        QCOMPARE(history.size(), size_t(2));
        QCOMPARE(history[0].NewName, QStringLiteral("проба 1"));
        QCOMPARE(history[1].NewName, QStringLiteral("эталон"));
    }

    // Steps name rows of the table they were made in.
    void anotherTableEmptiesTheUndoHistory_data() {
        QTest::addColumn<QString>("next");
        QTest::newRow("new") << "new";
        QTest::newRow("open") << "open";
        QTest::newRow("restore") << "restore";
    }
    void anotherTableEmptiesTheUndoHistory() {
        QFETCH(QString, next);
        QTemporaryDir dir;
        TRegisterDocument doc(dir.filePath(QStringLiteral("data")),
                              dir.filePath(QStringLiteral("locks")));
        doc.Start(dir.filePath(QStringLiteral("day.txt")));
        doc.Names().Paste(1, u"typed");
        doc.FlushEdits();
        QCOMPARE(doc.Names().Steps(), 1);
        if (next == "new")
            doc.New();
        else if (next == "open")
            doc.Open(dir.filePath(QStringLiteral("other.txt")));
        else
            doc.RestoreCopy();
        QCOMPARE(doc.Names().Steps(), 0);
        QVERIFY(!doc.Names().Undo());
    }

    // A connection that waits a moment only is refused with EArchiveBusy
    // while another holds the archive; opening one needs no write.
    void busyArchiveRefusesSoon() {
        QTemporaryDir dir;
        TArchive quick(dir.path(), true, 50);
        TArchive other(dir.path(), false);
        {
            TArchive::TTransaction hold(other);
            QVERIFY_THROWS_EXCEPTION(EArchiveBusy, quick.Add(Measured(1.5, kDay, QString())));
            TArchive third(dir.path(), false, 50);
            QCOMPARE(third.Count({}), 0);
        }
        QVERIFY(quick.Add(Measured(1.5, kDay, QString())));
    }

    // Another connection holds the archive (an import's batch): the
    // register does not wait for it. A new measurement is shown but held
    // until the archive takes it, then asked for again and acknowledged
    // once; a rename is kept and written then. A moment's wait is told to
    // nobody.
    void busyArchiveHoldsTheMeasurement_data() {
        QTest::addColumn<bool>("rename");
        QTest::newRow("new measurement") << false;
        QTest::newRow("rename") << true;
    }
    void busyArchiveHoldsTheMeasurement() {
        QFETCH(bool, rename);
        QTemporaryDir dir;
        TRegisterDocument doc(dir.filePath(QStringLiteral("data")),
                              dir.filePath(QStringLiteral("locks")));
        doc.Cycle().Now = [] { return kDay; };
        QStringList told;
        doc.OnWriteFailed = [&told](const QString& text) { told << text; };
        doc.Start(dir.filePath(QStringLiteral("day.txt")));
        doc.SetLink(QStringLiteral("ttyS0"), 10);
        TResultsTable& table = doc.Table();
        if (rename) {
            QCOMPARE(doc.PutRecordReply(6, ReplyStatusComplete, RecordReply(1.5), true), quint8(9));
            doc.PutRecordReply(9, ReplyStatusComplete, {}, true);
        }
        {
            TArchive other(doc.Recovery().Folder(), false);
            TArchive::TTransaction hold(other);
            if (rename) {
                table.setData(table.index(0, 0), QStringLiteral("эталон"));
            } else {
                QCOMPARE(doc.PutRecordReply(6, ReplyStatusComplete, RecordReply(1.5), true),
                         quint8(0));
                QVERIFY(doc.HeldForArchive());
            }
            QCOMPARE(table.RowCount(), 3);
            hold.Commit();
        }
        const QString uid = table.RowKey(1);
        QTRY_VERIFY_WITH_TIMEOUT(doc.Archive()->Contains(uid) && !doc.Held(), 10000);
        if (rename) {
            QTRY_COMPARE_WITH_TIMEOUT(doc.Archive()->NameHistory(uid).size(), size_t(1), 10000);
        } else {
            QCOMPARE(doc.CommandForTurn(0), quint8(6));
            QCOMPARE(doc.PutRecordReply(6, ReplyStatusComplete, RecordReply(1.5), true), quint8(9));
            QCOMPARE(table.RowCount(), 3);
        }
        QCOMPARE(doc.Archive()->Count({}), 1);
        QVERIFY2(told.isEmpty(), qPrintable(told.join(u'\n')));
    }

    void outagesExplainGaps() {
        QTemporaryDir dir;
        TArchive archive(dir.path());
        const qint64 id = archive.LinkLost(kDay, QStringLiteral("ttyUSB0"), 10, QStringLiteral("Нет ответа"));
        archive.LinkLost(kDay.addDays(2), QStringLiteral("ttyUSB0"), 10, QStringLiteral("Порт потерян"));
        archive.LinkBack(id, kDay.addSecs(600));
        archive.LinkBack(id, kDay.addSecs(900)); // ended once
        const std::vector<TLinkOutage> day = archive.Outages(kDay.addSecs(300), kDay.addSecs(400));
        QCOMPARE(day.size(), size_t(1));
        QCOMPARE(day[0].To, kDay.addSecs(600));
        QCOMPARE(day[0].Reason, QStringLiteral("Нет ответа"));
        // Still going on: it overlaps every later time.
        QCOMPARE(archive.Outages(kDay.addDays(5), kDay.addDays(6)).size(), size_t(1));
    }
};

QTEST_GUILESS_MAIN(TstArchive)
#include "tst_archive.moc"
