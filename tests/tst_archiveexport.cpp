// Archive rows as other programs read them: CSV for a Russian spreadsheet,
// RFC 4180 CSV and JSON Lines, read back here the way those programs would.
#include "archive/ArchiveExport.h"

#include "measurement/ValueText.h"
#include "support/TestFiles.h"

#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(TExportFormat)

namespace {

QStringList Titles() {
    QStringList titles;
    for (int c = 0; c < TResultsTable::ColCount; ++c)
        titles << QStringLiteral(" Столбец %1 ").arg(c);
    return titles;
}

TArchiveMeasurement Sample(const QString& uid, const QString& name, int minute) {
    TArchiveMeasurement m;
    m.Uid = uid;
    m.SampleName = name;
    m.Measured = QDateTime(QDate(2026, 3, 5), QTime(9, minute, 7));
    m.Calibration = 3;
    m.Values[0] = 20.125;   // two decimals, a tie: away from zero
    m.Values[4] = 1.009371; // density: five
    m.Device = 7;
    m.Port = QStringLiteral("/dev/ttyUSB0");
    m.Source = TArchive::SourceAnalyser;
    return m;
}

} // namespace

class TstArchiveExport : public QObject {
    Q_OBJECT
private slots:
    void init();
    void csv_data();
    void csv();
    void jsonLines();
    void importedRows_data() { invalidRows_data(); }
    void importedRows();
    void invalidRows_data();
    void invalidRows();
    void fileFailures();

private:
    QByteArray Export(TExportFormat format, const TArchiveFilter& filter = {});

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<TArchive> archive_;
    TArchiveSettings settings_;
};

void TstArchiveExport::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    archive_ = std::make_unique<TArchive>(dir_->path());
    settings_ = TArchiveSettings();
}

QByteArray TstArchiveExport::Export(TExportFormat format, const TArchiveFilter& filter) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    TArchiveExport::Write(*archive_, filter, format, settings_, Titles(), buffer);
    return buffer.data();
}

void TstArchiveExport::csv_data() {
    QTest::addColumn<TExportFormat>("format");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("nameField"); // as written
    const auto ru = TExportFormat::CsvRu;
    const auto en = TExportFormat::Csv;
    QTest::newRow("ru plain") << ru << "Пиво" << QByteArray("Пиво");
    QTest::newRow("ru separator") << ru << "a;b" << QByteArray("\"a;b\"");
    QTest::newRow("ru comma bare") << ru << "a,b" << QByteArray("a,b");
    QTest::newRow("ru quote") << ru << "5\" \"x\"" << QByteArray("\"5\"\" \"\"x\"\"\"");
    QTest::newRow("ru newline") << ru << "a\r\nb" << QByteArray("\"a\r\nb\"");
    QTest::newRow("csv comma") << en << "a,b" << QByteArray("\"a,b\"");
    QTest::newRow("csv semicolon bare") << en << "a;b" << QByteArray("a;b");
    QTest::newRow("ru lone CR") << ru << "a\rb" << QByteArray("\"a\rb\"");
    // What a spreadsheet would run as a formula is text to it with the apostrophe.
    QTest::newRow("ru =") << ru << "=HYPERLINK(\"x\")" << QByteArray("\"'=HYPERLINK(\"\"x\"\")\"");
    QTest::newRow("ru +") << ru << "+1" << QByteArray("\"'+1\"");
    QTest::newRow("csv -") << en << "-2+3" << QByteArray("\"'-2+3\"");
    QTest::newRow("csv @") << en << "@SUM(A1)" << QByteArray("\"'@SUM(A1)\"");
    QTest::newRow("ru tab") << ru << "\tx" << QByteArray("\"'\tx\"");
    QTest::newRow("ru CR") << ru << "\rx" << QByteArray("\"'\rx\"");
    QTest::newRow("ru inner =") << ru << "a=b" << QByteArray("a=b");
}

void TstArchiveExport::csv() {
    QFETCH(TExportFormat, format);
    QFETCH(QString, name);
    QFETCH(QByteArray, nameField);
    archive_->Add(Sample(QStringLiteral("u1"), name, 1));
    const QByteArray bytes = Export(format);
    const bool ru = format == TExportFormat::CsvRu;
    QCOMPARE(bytes.startsWith("\xEF\xBB\xBF"), ru);
    const QByteArray after = ru ? ";05.03.2026;09:01:07;7;3;20,13;;;;1,00937;"
                                : ",05.03.2026,09:01:07,7,3,20.13,,,,1.00937,";
    QVERIFY(bytes.contains("\r\n" + nameField + after));

    const char separator = ru ? ';' : ',';
    QVERIFY(bytes.endsWith(QByteArray("/dev/ttyUSB0,,,,u1,\r\n").replace(',', separator)));
    // The titles hold no separator, so the header splits plainly.
    const QList<QByteArray> header = bytes.left(bytes.indexOf('\r')).split(separator);
    QCOMPARE(header.size(), 5 + IndicatorCount + 7);
    QCOMPARE(header.mid(4, 2), (QList<QByteArray>{"Градуировка", "Столбец 5"}));
    QCOMPARE(QString::fromUtf8(header.mid(5 + IndicatorCount).join('|')),
             QStringLiteral("Недействительно|Порт|Компьютер|Пользователь|Файл результатов|Ключ|"
                            "Импортировал"));
}

void TstArchiveExport::jsonLines() {
    // Unchanged, even where a spreadsheet would see a formula.
    const QString name = QStringLiteral("=Проба \"7\"\n\\\t\x01");
    archive_->Add(Sample(QStringLiteral("u1"), name, 1));
    TArchiveMeasurement second = Sample(QStringLiteral("u2"), QStringLiteral("Б"), 2);
    second.Values = {};
    second.Values[26] = -0.001;
    archive_->Add(second);
    settings_.Decimals[0] = 1;

    const QByteArray bytes = Export(TExportFormat::JsonLines);
    QVERIFY(!bytes.startsWith("\xEF\xBB\xBF"));
    QVERIFY(!bytes.contains('\r'));
    const QList<QByteArray> lines = bytes.split('\n');
    QCOMPARE(lines.size(), 3);
    QJsonParseError error;
    const QJsonObject first = QJsonDocument::fromJson(lines[0], &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(first["uid"].toString(), QStringLiteral("u1"));
    QCOMPARE(first["sample"].toString(), name);
    QVERIFY(first["invalid"].isNull());
    // Local time with its offset: the same instant read back.
    const QString measured = first["measured"].toString();
    QVERIFY(
        QRegularExpression("^2026-03-05T09:01:07[+-]\\d\\d:\\d\\d$").match(measured).hasMatch());
    QCOMPARE(QDateTime::fromString(measured, Qt::ISODate), Sample({}, {}, 1).Measured);
    const QJsonArray indicators = first["indicators"].toArray();
    QCOMPARE(indicators.size(), 2);
    QCOMPARE(indicators[0]["column"].toInt(), 5);
    QVERIFY(lines[0].contains("\"value\":20.1}"));
    QCOMPARE(indicators[1]["value"].toDouble(), 1.00937);

    const QJsonArray lone = QJsonDocument::fromJson(lines[1]).object()["indicators"].toArray();
    QCOMPARE(lone.size(), 1);
    QCOMPARE(lone[0]["column"].toInt(), 31);
    QVERIFY(lines[1].contains("\"value\":0.00}")); // no "-0.00"
}

// An imported row: no device, no user, who imported last, its values with
// no more decimals than its file had ("1,01" there).
void TstArchiveExport::importedRows() {
    QFETCH(TExportFormat, format);
    TArchiveMeasurement m = Sample(QStringLiteral("imp"), QStringLiteral("Квас"), 3);
    m.Values[4] = 1.01;
    m.Decimals = 2;
    m.Device.reset();
    m.ImportedBy = QStringLiteral("anna");
    archive_->Add(m);
    const QList<QByteArray> lines = Export(format).split('\n');
    QByteArray density;
    if (format == TExportFormat::JsonLines) {
        const QJsonObject row = QJsonDocument::fromJson(lines[0]).object();
        QVERIFY(row["device"].isNull() && row["user"].isNull());
        QCOMPARE(row["imported_by"].toString(), QStringLiteral("anna"));
        // As written, before a JSON reader makes a double of it.
        density = lines[0].mid(lines[0].lastIndexOf(':') + 1).chopped(3);
    } else {
        const QList<QByteArray> fields = lines[1].trimmed().split(';');
        QCOMPARE(fields.size(), lines[0].count(';') + 1);
        QVERIFY(fields[3].isEmpty() && fields[5 + IndicatorCount + 3].isEmpty()); // device, user
        QCOMPARE(fields.last(), QByteArray("anna"));
        density = fields[9];
    }
    QCOMPARE(TValueText::Parse(density), std::optional(1.01));
    QCOMPARE(TValueText::DecimalsOf(density), 2); // not the archive's five
}

void TstArchiveExport::invalidRows_data() {
    QTest::addColumn<TExportFormat>("format");
    QTest::newRow("csv-ru") << TExportFormat::CsvRu;
    QTest::newRow("jsonl") << TExportFormat::JsonLines;
}

void TstArchiveExport::invalidRows() {
    QFETCH(TExportFormat, format);
    archive_->Add(Sample(QStringLiteral("good"), QStringLiteral("A"), 1));
    archive_->Add(Sample(QStringLiteral("bad"), QStringLiteral("B"), 2));
    archive_->MarkInvalid(archive_->Find(QStringLiteral("bad"))->Id, QStringLiteral("пузырь"),
                          QStringLiteral("anna"));
    TArchiveFilter filter;
    filter.IncludeInvalid = false;
    const QByteArray valid = Export(format, filter);
    QVERIFY(valid.contains("good"));
    QVERIFY(!valid.contains("bad"));
    filter.IncludeInvalid = true;
    const QByteArray all = Export(format, filter);
    QVERIFY(all.contains("good"));
    if (format == TExportFormat::JsonLines) {
        const QJsonObject invalid =
            QJsonDocument::fromJson(all.split('\n')[1]).object()["invalid"].toObject();
        QCOMPARE(invalid["reason"].toString(), QStringLiteral("пузырь"));
        QCOMPARE(invalid["by"].toString(), QStringLiteral("anna"));
        QVERIFY(QDateTime::fromString(invalid["at"].toString(), Qt::ISODate).isValid());
    } else {
        QVERIFY(all.contains(QStringLiteral(";пузырь;/dev/ttyUSB0;").toUtf8()));
    }
}

// A failure names the file; a cancel leaves the earlier file as it was.
void TstArchiveExport::fileFailures() {
    archive_->Add(Sample(QStringLiteral("u1"), QStringLiteral("A"), 1));
    const QString missing = dir_->filePath(QStringLiteral("нет/out.csv"));
    try {
        TArchiveExport::WriteFile(*archive_, {}, TExportFormat::Csv, settings_, Titles(), missing);
        QFAIL("wrote into a missing folder");
    } catch (const EArchiveError& e) {
        QVERIFY2(QString::fromUtf8(e.what()).contains(missing), e.what());
    }
    const QString file = dir_->filePath(QStringLiteral("out.csv"));
    QVERIFY(WriteAll(file, "old"));
    QVERIFY_THROWS_EXCEPTION(
        EArchiveError, TArchiveExport::WriteFile(*archive_, {}, TExportFormat::Csv, settings_,
                                                 Titles(), file, [](qint64) { return false; }));
    QCOMPARE(ReadAll(file), QByteArray("old"));
    QCOMPARE(
        TArchiveExport::WriteFile(*archive_, {}, TExportFormat::Csv, settings_, Titles(), file), 1);
    QVERIFY(ReadAll(file).startsWith("Проба,"));
}

QTEST_GUILESS_MAIN(TstArchiveExport)
#include "tst_archiveexport.moc"
