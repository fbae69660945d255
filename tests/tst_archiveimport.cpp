// Results files written earlier, brought into the archive: each row once,
// whole files or nothing of them.
#include "archive/ArchiveImport.h"

#include "config/Cp1251.h"
#include "resources/ProgramVersion.h"
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
    void liveRowNotDoubled();
    void rowsAsStored();
    void refused_data();
    void refused();
    void cancel_data();
    void cancel();

private:
    QString File(const QString& name, const QByteArray& bytes);

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<TArchive> archive_;
};

void TstArchiveImport::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    archive_ = std::make_unique<TArchive>(dir_->filePath(QStringLiteral("archive")));
    File(QStringLiteral("a.txt"), Line("Пиво", "10:00:00") + Line("Пиво", "10:05:00") + Line("Квас", "10:10:00"));
    // Two rows of a.txt, one renamed, and one of its own.
    File(QStringLiteral("b.txt"), Line("Пиво", "10:05:00") + Line("Квас 2", "10:10:00") + Line("Морс", "10:15:00"));
}

QString TstArchiveImport::File(const QString& name, const QByteArray& bytes) {
    const QString path = dir_->filePath(name);
    WriteAll(path, bytes);
    return path;
}

void TstArchiveImport::repeats_data() {
    QTest::addColumn<QStringList>("first");
    QTest::addColumn<QStringList>("second");
    QTest::addColumn<qint64>("addedSecond");
    QTest::addColumn<qint64>("stored");
    QTest::newRow("same file twice") << QStringList{"a.txt"} << QStringList{"a.txt"} << qint64(0) << qint64(3);
    QTest::newRow("shared rows") << QStringList{"a.txt"} << QStringList{"b.txt"} << qint64(1) << qint64(4);
    QTest::newRow("one call") << QStringList{"a.txt", "b.txt"} << QStringList{"b.txt", "a.txt"} << qint64(0)
                              << qint64(4);
}

void TstArchiveImport::repeats() {
    QFETCH(QStringList, first);
    QFETCH(QStringList, second);
    QFETCH(qint64, addedSecond);
    QFETCH(qint64, stored);
    const auto paths = [this](const QStringList& names) {
        QStringList list;
        for (const QString& name : names)
            list << dir_->filePath(name);
        return list;
    };
    TArchiveImport::ImportFiles(*archive_, paths(first));
    const TArchiveImport::TResult again = TArchiveImport::ImportFiles(*archive_, paths(second));
    QCOMPARE(again.Files, int(second.size()));
    QCOMPARE(again.Rows, qint64(3 * second.size()));
    QCOMPARE(again.Added, addedSecond);
    QCOMPARE(archive_->Count({}), stored);
}

void TstArchiveImport::liveRowNotDoubled() {
    TArchiveMeasurement live;
    live.Uid = QStringLiteral("live");
    live.Measured = QDateTime(QDate(2026, 3, 5), QTime(10, 5));
    live.Calibration = 3;
    live.Values[0] = 20.5;
    live.Source = TArchive::SourceAnalyser;
    archive_->Add(live);
    const TArchiveImport::TResult result = TArchiveImport::ImportFiles(*archive_, {dir_->filePath("a.txt")});
    QCOMPARE(result.Rows, qint64(3));
    QCOMPARE(result.Added, qint64(2));
    QCOMPARE(archive_->Count({}), qint64(3));
    QCOMPARE(archive_->Find(QStringLiteral("live"))->Source, TArchive::SourceAnalyser);
}

// Blank lines, a name typed ahead and the entry row are no measurements; the
// register's "NAN" is an absent value, not a fault.
void TstArchiveImport::rowsAsStored() {
    const QString path = File(QStringLiteral("c.txt"), "\r\n" + Line("Вино", "11:00:00", "NAN") + kEntryRow
                                                           + Line("Вино", "11:01:00", " 7,25 ")
                                                           + Cp1251::encode(QStringLiteral("Сидр")) + kEntryRow);
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
    QCOMPARE(m.Device, quint16(0));
    QCOMPARE(m.ProgramVersion, ProgramVersion());
    QCOMPARE(m.Computer, TArchive::ThisComputer());
    QVERIFY(m.Received.isValid());

    // The key is the row's own: another archive gives it the same one.
    TArchive other(dir_->filePath(QStringLiteral("other")));
    TArchiveImport::ImportFiles(other, {path});
    QVERIFY(other.Contains(m.Uid));
}

void TstArchiveImport::refused_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("reason");
    const QByteArray good = Line("Пиво", "12:00:00");
    QTest::newRow("picture") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) << 1 << "полей: 1";
    QTest::newRow("other table") << good + "a;b;c\r\n" << 2 << "полей: 1";
    QTest::newRow("extra field") << good + good.chopped(2) + "\tx\r\n" << 2 << "полей: 32";
    QTest::newRow("date") << good + Line("x", "12:00:00", "1", "35.13.2026") << 2 << "дата «35.13.2026»";
    QTest::newRow("time") << good + good + Line("x", "25:61:00") << 3 << "время «25:61:00»";
    QTest::newRow("calibration") << good + Line("x", "12:01:00", "1", "05.03.2026", "II") << 2 << "градуировка";
    QTest::newRow("text value") << good + Line("x", "12:01:00", "abc") << 2 << "в столбце 5 не число: «abc»";
    QTest::newRow("no date") << good + Line("x", "", "1", "", "") << 2 << "без даты";
}

void TstArchiveImport::refused() {
    QFETCH(QByteArray, bytes);
    QFETCH(int, line);
    QFETCH(QString, reason);
    const QString bad = File(QStringLiteral("плохой.txt"), bytes);
    try {
        TArchiveImport::ImportFiles(*archive_, {dir_->filePath("a.txt"), bad});
        QFAIL("the file was taken");
    } catch (const EArchiveError& e) {
        const QString message = QString::fromUtf8(e.what());
        QVERIFY2(message.contains(QStringLiteral("«%1», строка %2:").arg(bad).arg(line)), e.what());
        QVERIFY2(message.contains(reason), e.what());
    }
    // a.txt stays; nothing of the refused file, not even its good first row.
    QCOMPARE(archive_->Count({}), qint64(3));
}

void TstArchiveImport::cancel_data() {
    QTest::addColumn<int>("stopAtFile");
    QTest::addColumn<qint64>("stopAtRow"); // 0: between files
    QTest::addColumn<int>("files");
    QTest::addColumn<qint64>("stored");
    QTest::newRow("before the second file") << 1 << qint64(0) << 1 << qint64(3);
    QTest::newRow("inside a file") << 1 << qint64(1000) << 1 << qint64(3);
}

void TstArchiveImport::cancel() {
    QFETCH(int, stopAtFile);
    QFETCH(qint64, stopAtRow);
    QFETCH(int, files);
    QFETCH(qint64, stored);
    QByteArray big;
    for (int s = 0; s < 1500; ++s)
        big += Line("Пиво", QTime(0, 0).addSecs(s).toString("HH:mm:ss").toLatin1());
    const QStringList names{dir_->filePath("a.txt"), File(QStringLiteral("big.txt"), big), dir_->filePath("b.txt")};
    const TArchiveImport::TResult result = TArchiveImport::ImportFiles(
        *archive_, names, [&](int done, qint64 rows) { return done < stopAtFile || rows < stopAtRow; });
    QCOMPARE(result.Files, files);
    QCOMPARE(archive_->Count({}), stored);
}

QTEST_GUILESS_MAIN(TstArchiveImport)
#include "tst_archiveimport.moc"
