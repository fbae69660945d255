// Results files written earlier, brought into the archive: each row once,
// whole files or nothing of them.
#include "archive/ArchiveImport.h"

#include "config/Cp1251.h"
#include "support/TestFiles.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

// A line as the register saves it: 31 fields, the first indicator filled.
QByteArray Line(const QString& name, const QByteArray& time, const QByteArray& value = "20,50",
                const QByteArray& date = "05.03.2026", const QByteArray& calibration = "3") {
    QList<QByteArray> fields{Cp1251::encode(name), date, time, calibration, value};
    while (fields.size() < TResultsTable::ColCount - 1)
        fields << QByteArray();
    return fields.join('\t') + "\r\n";
}

const QByteArray kEntryRow = QByteArray(30, '\t') + "\r\n";

} // namespace

class TstArchiveImport : public QObject {
    Q_OBJECT
private slots:
    void init();
    void repeats_data();
    void repeats();
    void rowsAsStored();
    void decimalsOfTheFile_data();
    void decimalsOfTheFile();
    void refused_data();
    void refused();
    void cancel_data();
    void cancel();
    void otherWritersGetIn();

private:
    QString File(const QString& name, const QByteArray& bytes);

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<TArchive> archive_;
};

void TstArchiveImport::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    archive_ = std::make_unique<TArchive>(dir_->filePath(QStringLiteral("archive")));
    File(QStringLiteral("a.txt"),
         Line("Пиво", "10:00:00") + Line("Пиво", "10:05:00") + Line("Квас", "10:10:00"));
    // Two rows of a.txt, one renamed, and one of its own.
    File(QStringLiteral("b.txt"),
         Line("Пиво", "10:05:00") + Line("Квас 2", "10:10:00") + Line("Морс", "10:15:00"));
    // a.txt as a spreadsheet saves it again: UTF-8 with a byte order mark.
    File(QStringLiteral("a-utf8.txt"),
         "\xef\xbb\xbf" +
             Cp1251::decode(ReadAll(dir_->filePath(QStringLiteral("a.txt")))).toUtf8());
}

QString TstArchiveImport::File(const QString& name, const QByteArray& bytes) {
    const QString path = dir_->filePath(name);
    WriteAll(path, bytes);
    return path;
}

void TstArchiveImport::repeats_data() {
    QTest::addColumn<bool>("live"); // the live measurement of a.txt's 10:05 row is archived
    QTest::addColumn<QStringList>("first");
    QTest::addColumn<QStringList>("second");
    QTest::addColumn<qint64>("addedSecond");
    QTest::addColumn<qint64>("stored");
    const QStringList a{"a.txt"}, b{"b.txt"};
    QTest::newRow("same file twice") << false << a << a << qint64(0) << qint64(3);
    QTest::newRow("shared rows") << false << a << b << qint64(1) << qint64(4);
    QTest::newRow("one call") << false << (a + b) << (b + a) << qint64(0) << qint64(4);
    QTest::newRow("live row") << true << QStringList() << a << qint64(2) << qint64(3);
    QTest::newRow("saved again as UTF-8")
        << false << a << QStringList{"a-utf8.txt"} << qint64(0) << qint64(3);
    QTest::newRow("UTF-8 read as such")
        << false << QStringList() << QStringList{"a-utf8.txt"} << qint64(3) << qint64(3);
}

void TstArchiveImport::repeats() {
    QFETCH(bool, live);
    QFETCH(QStringList, first);
    QFETCH(QStringList, second);
    QFETCH(qint64, addedSecond);
    QFETCH(qint64, stored);
    TArchiveMeasurement m;
    m.Uid = QStringLiteral("live");
    m.Measured = QDateTime(QDate(2026, 3, 5), QTime(10, 5));
    m.Calibration = 3;
    m.Values[0] = 20.5;
    if (live)
        archive_->Add(m);
    const auto paths = [this](QStringList names) {
        for (QString& name : names)
            name = dir_->filePath(name);
        return names;
    };
    TArchiveImport::ImportFiles(*archive_, paths(first));
    const TArchiveImport::TResult again = TArchiveImport::ImportFiles(*archive_, paths(second));
    QCOMPARE(again.Files, int(second.size()));
    QCOMPARE(again.Rows, qint64(3 * second.size()));
    QCOMPARE(again.Added, addedSecond);
    QCOMPARE(archive_->Count({}), stored);
    QCOMPARE(archive_->Page({}, std::nullopt, 1).at(0).SampleName, QStringLiteral("Пиво"));
}

// Blank lines, a name typed ahead and the entry row are no measurements; the
// register's "NAN" is an absent value, not a fault.
void TstArchiveImport::rowsAsStored() {
    const QString path =
        File(QStringLiteral("c.txt"), "\r\n" + Line("Вино", "11:00:00", "NAN") + kEntryRow +
                                          Line("Вино", "11:01:00", " 7,25 ") +
                                          Cp1251::encode(QStringLiteral("Сидр")) + kEntryRow);
    QCOMPARE(TArchiveImport::ImportFiles(*archive_, {path}).Added, qint64(2));
    const std::vector<TArchiveMeasurement> rows = archive_->Page({}, std::nullopt, 10);
    QCOMPARE(rows.size(), size_t(2));
    const TArchiveMeasurement& m = rows[1];
    QCOMPARE(m.SampleName, QStringLiteral("Вино"));
    QCOMPARE(m.Measured, QDateTime(QDate(2026, 3, 5), QTime(11, 1)));
    QCOMPARE(m.Values[0], std::optional<double>(7.25));
    QVERIFY(!rows[0].Values[0]);
    QCOMPARE(m.Source, TArchive::SourceImport);
    QCOMPARE(m.ResultsFile, QFileInfo(path).absoluteFilePath());
    // What the file does not say stays unknown; who imported is kept apart.
    QVERIFY(!m.Device && m.User.isEmpty());
    QCOMPARE(m.ImportedBy, TArchive::ThisUser());
    TArchiveFilter device;
    device.Device = 0;
    QCOMPARE(archive_->Count(device), 0);

    // The key is the row's own: another archive gives it the same one.
    TArchive other(dir_->filePath(QStringLiteral("other")));
    TArchiveImport::ImportFiles(other, {path});
    QVERIFY(other.Contains(m.Uid));
}

// The most decimals of any value in the file: a spreadsheet cuts trailing
// zeros, never a "0,03".
void TstArchiveImport::decimalsOfTheFile_data() {
    QTest::addColumn<QByteArrayList>("values");
    QTest::addColumn<int>("decimals");
    QTest::newRow("register") << QByteArrayList{"20,50", "1,00"} << 2;
    QTest::newRow("spreadsheet") << QByteArrayList{"20", "1,5", "0,03"} << 2;
    QTest::newRow("huge, absent") << QByteArrayList{"1,70141163E+38", "1.5", "NAN"} << 1;
}

void TstArchiveImport::decimalsOfTheFile() {
    QFETCH(QByteArrayList, values);
    QFETCH(int, decimals);
    QByteArray rows;
    for (const QByteArray& value : values)
        rows +=
            Line("A", QTime(9, 0).addSecs(rows.count('\n')).toString("HH:mm:ss").toLatin1(), value);
    TArchiveImport::ImportFiles(*archive_, {File(QStringLiteral("d.txt"), rows)});
    // The first row's own values may have fewer.
    QCOMPARE(archive_->Page({}, std::nullopt, 1).at(0).Decimals, std::optional(decimals));
}

void TstArchiveImport::refused_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("reason");
    const QByteArray good = Line("Пиво", "12:00:00");
    QTest::newRow("picture") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) << 1 << "полей: 1";
    QTest::newRow("other table") << good + "a;b;c\r\n" << 2 << "полей: 1";
    QTest::newRow("extra field") << good + good.chopped(2) + "\tx\r\n" << 2 << "полей: 32";
    QTest::newRow("date") << good + Line("x", "12:00:00", "1", "35.13.2026") << 2
                          << "дата «35.13.2026»";
    QTest::newRow("time") << good + good + Line("x", "25:61:00") << 3 << "время «25:61:00»";
    QTest::newRow("calibration") << good + Line("x", "12:01:00", "1", "05.03.2026", "II") << 2
                                 << "градуировка";
    QTest::newRow("text value") << good + Line("x", "12:01:00", "abc") << 2
                                << "в столбце 5 не число: «abc»";
    QTest::newRow("no date") << good + Line("x", "", "1", "", "") << 2 << "без даты";
    QByteArray many;
    for (int s = 0; s < 99; ++s)
        many += Line("Пиво", QTime(13, 0).addSecs(s).toString("HH:mm:ss").toLatin1());
    QTest::newRow("last of a hundred") << many + Line("x", "13:59:00", "abc") << 100
                                       << "в столбце 5 не число";
}

void TstArchiveImport::refused() {
    QFETCH(QByteArray, bytes);
    QFETCH(int, line);
    QFETCH(QString, reason);
    const QString bad = File(QStringLiteral("плохой.txt"), bytes);
    try {
        // Batches of two: the good rows before the bad one would be committed
        // already, were they stored before the whole file was checked.
        TArchiveImport::ImportFiles(*archive_, {dir_->filePath("a.txt"), bad}, {}, 2);
        QFAIL("the file was taken");
    } catch (const EArchiveError& e) {
        const QString message = QString::fromUtf8(e.what());
        QVERIFY2(message.contains(QStringLiteral("«%1», строка %2:").arg(bad).arg(line)), e.what());
        QVERIFY2(message.contains(reason), e.what());
    }
    // a.txt stays; nothing of the refused file, not even its good first row.
    QCOMPARE(archive_->Count({}), qint64(3));
}

// Cancelled after a.txt, before or inside the big file: a.txt stays, nothing
// of the big one, even of the batches committed before the cancel; a row
// of a.txt the big file repeats stays too.
void TstArchiveImport::cancel_data() {
    QTest::addColumn<qint64>("stopAtRow"); // of the big file; 0: before it
    QTest::addColumn<int>("batchRows");
    QTest::newRow("between files") << qint64(0) << 2000;
    QTest::newRow("after its one batch") << qint64(1000) << 2000;
    QTest::newRow("after ten batches") << qint64(1000) << 100;
}

void TstArchiveImport::cancel() {
    QFETCH(qint64, stopAtRow);
    QFETCH(int, batchRows);
    QByteArray big = Line("Пиво", "10:00:00");
    for (int s = 0; s < 1500; ++s)
        big += Line("Пиво", QTime(0, 0).addSecs(s).toString("HH:mm:ss").toLatin1());
    const QStringList names{dir_->filePath("a.txt"), File(QStringLiteral("big.txt"), big),
                            dir_->filePath("b.txt")};
    qint64 stored = 0;
    const TArchiveImport::TResult result = TArchiveImport::ImportFiles(
        *archive_, names,
        [&](int done, qint64 rows) {
            stored = std::max(stored, archive_->Count({}));
            return done < 1 || rows < stopAtRow;
        },
        batchRows);
    QCOMPARE(result.Files, 1);
    QCOMPARE(archive_->Count({}), qint64(3));
    QCOMPARE(stored > 3, stopAtRow > 0);
}

// Between two transactions the archive is free: another connection (the
// register's, which waits a moment only) writes while the import goes on.
void TstArchiveImport::otherWritersGetIn() {
    QByteArray big;
    for (int s = 0; s < 1000; ++s)
        big += Line("Пиво", QTime(0, 0).addSecs(s).toString("HH:mm:ss").toLatin1());
    const QString name = File(QStringLiteral("big.txt"), big);
    TArchive importing(QFileInfo(archive_->Path()).absolutePath(), false);
    TArchive quick(QFileInfo(archive_->Path()).absolutePath(), false, 50);
    int written = 0;
    TArchiveImport::ImportFiles(
        importing, {name},
        [&](int, qint64 rows) {
            if (rows > 0 && rows < 1000) {
                TArchiveMeasurement m;
                m.Uid = QStringLiteral("live %1").arg(++written);
                m.Measured = QDateTime(QDate(2026, 3, 6), QTime(9, 0)).addSecs(written);
                quick.Add(m); // throws while the import holds the archive
            }
            return true;
        },
        100);
    QVERIFY(written >= 9);
    QCOMPARE(archive_->Count({}), qint64(1000 + written));
}

QTEST_GUILESS_MAIN(TstArchiveImport)
#include "tst_archiveimport.moc"
