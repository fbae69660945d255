// Results files written earlier, brought into the archive: each row once,
// whole files or nothing of them.
#include "archive/ArchiveImport.h"

#include "config/Cp1251.h"
#include "support/TestFiles.h"

#include <QStringEncoder>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

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

// text as UTF-16 with its byte order mark.
QByteArray Utf16(const QString& text, bool bigEndian) {
    QStringEncoder encoder(bigEndian ? QStringConverter::Utf16BE : QStringConverter::Utf16LE,
                           QStringConverter::Flag::WriteBom);
    return encoder(text);
}

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
    void changedWhileImported_data();
    void changedWhileImported();
    void notANumber_data();
    void notANumber();
    void keys_data();
    void keys();

private:
    QString File(const QString& name, const QByteArray& bytes);

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<TArchive> archive_;
    qint64 maxStored_ = 0;
    // A progress that notes how much the archive held.
    void stored(int, qint64) { maxStored_ = std::max(maxStored_, archive_->Count({})); }
};

void TstArchiveImport::init() {
    maxStored_ = 0;
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
    // And as UTF-16, both byte orders.
    for (const bool big : {false, true})
        File(big ? QStringLiteral("a-utf16be.txt") : QStringLiteral("a-utf16le.txt"),
             Utf16(Cp1251::decode(ReadAll(dir_->filePath(QStringLiteral("a.txt")))), big));
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
    QTest::newRow("saved again as UTF-16 LE")
        << false << a << QStringList{"a-utf16le.txt"} << qint64(0) << qint64(3);
    QTest::newRow("UTF-16 BE read as such")
        << false << QStringList() << QStringList{"a-utf16be.txt"} << qint64(3) << qint64(3);
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
    const QString text = Cp1251::decode(good + good);
    QTest::newRow("UTF-16 cut short") << Utf16(text, false).chopped(1) << 2
                                      << "UTF-16 с нечётным числом байтов";
    QTest::newRow("UTF-16, no code page 1251 letter")
        << Utf16(text + QStringLiteral("Пиво 啤酒") + text.mid(4), true) << 3
        << "знак «啤» (U+5564) нельзя записать в кодировке Windows-1251";
    QTest::newRow("UTF-32") << QByteArray("\xff\xfe\0\0", 4) + good << 1 << "UTF-32";
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

// Another thread changes the file between two of its batches: the file is
// refused at the line where it differs, and what was stored of it is taken
// out; the file before it stays. Only touched, it is taken.
void TstArchiveImport::changedWhileImported_data() {
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("line"); // 0: taken
    QTest::addColumn<QString>("how");
    QTest::newRow("shrunk") << "shrink" << 7 << "стал короче";
    QTest::newRow("grown") << "grow" << 11 << "стал длиннее";
    QTest::newRow("rewritten, same size") << "rewrite" << 8 << "изменён";
    QTest::newRow("emptied") << "empty" << 1 << "стал короче";
    QTest::newRow("touched only") << "touch" << 0 << "";
}

void TstArchiveImport::changedWhileImported() {
    QFETCH(QString, change);
    QFETCH(int, line);
    QFETCH(QString, how);
    QByteArray bytes;
    for (int s = 0; s < 10; ++s)
        bytes += Line("Пиво", QTime(13, 0).addSecs(s).toString("HH:mm:ss").toLatin1());
    const QString name = File(QStringLiteral("меняется.txt"), bytes);
    const auto changeFile = [&] {
        QFile file(name);
        if (change == u"shrink") {
            QVERIFY(file.resize(bytes.size() / 10 * 6)); // six whole lines
        } else if (change == u"grow") {
            QVERIFY(file.open(QIODevice::Append));
            QVERIFY(file.write(Line("Пиво", "14:00:00")) > 0);
        } else if (change == u"rewrite") {
            QByteArray other = bytes;
            other.replace("13:00:07", "13:00:17");
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QCOMPARE(file.write(other), bytes.size());
        } else if (change == u"empty") {
            QVERIFY(file.resize(0));
        } else {
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(3600),
                                     QFileDevice::FileModificationTime));
        }
    };
    bool changed = false;
    const auto step = [&](int done, qint64 rows) {
        stored(done, rows);
        if (done == 1 && rows >= 4 && !changed) {
            changed = true;
            std::thread other(changeFile); // the import's thread waits for it
            other.join();
        }
        return true;
    };
    try {
        const TArchiveImport::TResult result =
            TArchiveImport::ImportFiles(*archive_, {dir_->filePath("a.txt"), name}, step, 2);
        QVERIFY2(line == 0, "the changed file was taken");
        QCOMPARE(result.Files, 2);
        QCOMPARE(archive_->Count({}), qint64(13));
    } catch (const EArchiveError& e) {
        QVERIFY2(line != 0, e.what());
        const QString message = QString::fromUtf8(e.what());
        QVERIFY2(message.contains(QStringLiteral("«%1», строка %2:").arg(name).arg(line)), e.what());
        QVERIFY2(message.contains(how), e.what());
        QVERIFY2(message.contains(QStringLiteral("изменился во время импорта")), e.what());
        QCOMPARE(archive_->Count({}), qint64(3));
    }
    QVERIFY(changed);
    QVERIFY(maxStored_ > 3); // batches of it had been committed
}

// A cell that says "no number", however written, is stored as no value and
// counted for the summary; its spellings give one key.
void TstArchiveImport::notANumber_data() {
    QTest::addColumn<QString>("cell");
    QTest::addColumn<bool>("infinity"); // its key is INF's, not NAN's
    for (const char* text : {"NAN", "nan", "NaN", " nan ", "-nan", "INF", "inf", "Inf", "+INF",
                             "-INF", "-inf", "Infinity", "-infinity"})
        QTest::newRow(text) << QString::fromLatin1(text) << QByteArray(text).toUpper().contains("INF");
    // Not in code page 1251: a UTF-8 file.
    QTest::newRow("∞") << QStringLiteral("∞") << true;
    QTest::newRow("-∞") << QStringLiteral("-∞") << true;
}

void TstArchiveImport::notANumber() {
    QFETCH(QString, cell);
    QFETCH(bool, infinity);
    const QByteArray line = Line("Пиво", "12:00:00", "@@");
    QByteArray bytes = line;
    if (Cp1251::canEncode(cell))
        bytes.replace("@@", Cp1251::encode(cell));
    else
        bytes = "\xef\xbb\xbf" + Cp1251::decode(line).replace(QStringLiteral("@@"), cell).toUtf8();
    const TArchiveImport::TResult result =
        TArchiveImport::ImportFiles(*archive_, {File(QStringLiteral("odd.txt"), bytes)});
    QCOMPARE(result.Added, qint64(1));
    QCOMPARE(result.NotANumber, qint64(1));
    const std::vector<TArchiveMeasurement> rows = archive_->Page({}, std::nullopt, 10);
    QCOMPARE(rows.size(), size_t(1));
    QVERIFY(!rows[0].Values[0]);
    const QString notice = TArchiveImport::NotANumberNotice(result.NotANumber);
    QVERIFY2(notice.contains(QStringLiteral(": 1.")) && notice.contains(QStringLiteral("без значения")),
             qPrintable(notice));
    QVERIFY(TArchiveImport::NotANumberNotice(0).isEmpty());
    // The register's own spelling is the same row.
    const QByteArray canonical = infinity ? (cell.contains(u'-') ? "-INF" : "INF") : "NAN";
    const TArchiveImport::TResult again = TArchiveImport::ImportFiles(
        *archive_, {File(QStringLiteral("own.txt"), Line("Пиво", "12:00:00", canonical))});
    QCOMPARE(again.Added, qint64(0));
}

// Two rows at one time: one entry or two. The key keeps the calibration and
// reads values as numbers, whatever their separator.
void TstArchiveImport::keys_data() {
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<int>("entries");
    const QByteArray date = "05.03.2026";
    QTest::newRow("calibration differs")
        << Line("Пиво", "10:00:00", "7,25", date, "3") << Line("Пиво", "10:00:00", "7,25", date, "4")
        << 2;
    QTest::newRow("value differs") << Line("Пиво", "10:00:00", "7,25")
                                   << Line("Пиво", "10:00:00", "7,26") << 2;
    QTest::newRow("decimal comma and point") << Line("Пиво", "10:00:00", "7,25")
                                             << Line("Пиво", "10:00:00", "7.25") << 1;
    QTest::newRow("zeros cut") << Line("Пиво", "10:00:00", "20,00")
                               << Line("Пиво", "10:00:00", "20") << 1;
    QTest::newRow("other name") << Line("Пиво", "10:00:00", "7,25")
                                << Line("Квас", "10:00:00", "7,25") << 1;
}

void TstArchiveImport::keys() {
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(int, entries);
    TArchiveImport::ImportFiles(*archive_, {File(QStringLiteral("both.txt"), first + second)});
    QCOMPARE(archive_->Count({}), qint64(entries));
    // Each alone into an archive of its own: the same key exactly for one entry.
    TArchive one(dir_->filePath(QStringLiteral("one")));
    TArchive two(dir_->filePath(QStringLiteral("two")));
    TArchiveImport::ImportFiles(one, {File(QStringLiteral("first.txt"), first)});
    TArchiveImport::ImportFiles(two, {File(QStringLiteral("second.txt"), second)});
    QCOMPARE(one.Page({}, std::nullopt, 1).at(0).Uid == two.Page({}, std::nullopt, 1).at(0).Uid,
             entries == 1);
}

QTEST_GUILESS_MAIN(TstArchiveImport)
#include "tst_archiveimport.moc"
