// Archive rows as other programs read them: CSV for a Russian spreadsheet,
// RFC 4180 CSV and JSON Lines, read back here the way those programs would.
#include "archive/ArchiveExport.h"

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
    m.Values[0] = 20.456;   // two decimals
    m.Values[4] = 1.009371; // density: five
    m.Port = QStringLiteral("/dev/ttyUSB0");
    m.Source = TArchive::SourceAnalyser;
    return m;
}

// RFC 4180 records: quoted fields may hold the separator, quotes and line breaks.
QList<QStringList> ParseCsv(const QByteArray& bytes, char separator) {
    const QString text = QString::fromUtf8(bytes.startsWith("\xEF\xBB\xBF") ? bytes.mid(3) : bytes);
    QList<QStringList> records{{}};
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quoted && c == u'"' && i + 1 < text.size() && text[i + 1] == u'"')
            field += text[++i];
        else if (c == u'"')
            quoted = !quoted;
        else if (!quoted && c == QLatin1Char(separator))
            records.last() << std::exchange(field, {});
        else if (!quoted && c == u'\r' && text.mid(i, 2) == QLatin1String("\r\n")) {
            records.last() << std::exchange(field, {});
            records << QStringList{};
            ++i;
        } else
            field += c;
    }
    records.removeLast(); // after the last CR LF
    return records;
}

} // namespace

class TstArchiveExport : public QObject {
    Q_OBJECT
private slots:
    void init();
    void csv_data();
    void csv();
    void jsonLines();
    void invalidRows_data();
    void invalidRows();
    void formatNames_data();
    void formatNames();
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
    QTest::addColumn<QString>("temperature");
    QTest::addColumn<QString>("density");
    const auto ru = TExportFormat::CsvRu;
    const auto en = TExportFormat::Csv;
    QTest::newRow("ru plain") << ru << "Пиво" << QByteArray("Пиво") << "20,46" << "1,00937";
    QTest::newRow("ru separator") << ru << "a;b" << QByteArray("\"a;b\"") << "20,46" << "1,00937";
    QTest::newRow("ru comma bare") << ru << "a,b" << QByteArray("a,b") << "20,46" << "1,00937";
    QTest::newRow("ru quote") << ru << "5\" \"x\"" << QByteArray("\"5\"\" \"\"x\"\"\"") << "20,46" << "1,00937";
    QTest::newRow("ru newline") << ru << "a\r\nb" << QByteArray("\"a\r\nb\"") << "20,46" << "1,00937";
    QTest::newRow("csv plain") << en << "Пиво" << QByteArray("Пиво") << "20.46" << "1.00937";
    QTest::newRow("csv comma") << en << "a,b" << QByteArray("\"a,b\"") << "20.46" << "1.00937";
    QTest::newRow("csv semicolon bare") << en << "a;b" << QByteArray("a;b") << "20.46" << "1.00937";
    QTest::newRow("csv newline") << en << "a\nb" << QByteArray("\"a\nb\"") << "20.46" << "1.00937";
}

void TstArchiveExport::csv() {
    QFETCH(TExportFormat, format);
    QFETCH(QString, name);
    QFETCH(QByteArray, nameField);
    QFETCH(QString, temperature);
    QFETCH(QString, density);
    archive_->Add(Sample(QStringLiteral("u1"), name, 1));
    const QByteArray bytes = Export(format);
    const bool ru = format == TExportFormat::CsvRu;
    QCOMPARE(bytes.startsWith("\xEF\xBB\xBF"), ru);
    QVERIFY(bytes.contains("\r\n" + nameField
                           + QByteArray(ru ? ";05.03.2026;09:01:07;0;3;" : ",05.03.2026,09:01:07,0,3,")));

    const QList<QStringList> records = ParseCsv(bytes, ru ? ';' : ',');
    QCOMPARE(records.size(), 2);
    const QStringList& header = records[0];
    QCOMPARE(header.size(), 5 + IndicatorCount + 6);
    QCOMPARE(header.mid(0, 6), (QStringList{"Проба", "Дата", "Время", "Прибор", "Градуировка", "Столбец 5"}));
    QCOMPARE(header.mid(5 + IndicatorCount), (QStringList{"Недействительно", "Порт", "Компьютер",
                                                          "Пользователь", "Файл результатов", "Ключ"}));
    const QStringList& row = records[1];
    QCOMPARE(row.size(), header.size());
    QCOMPARE(row[0], name);
    QCOMPARE(row[5], temperature);
    QCOMPARE(row[9], density);
    QCOMPARE(row[6], QString()); // absent indicator
    QCOMPARE(row[5 + IndicatorCount + 1], QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(row.last(), QStringLiteral("u1"));
}

void TstArchiveExport::jsonLines() {
    const QString name = QStringLiteral("Проба \"7\"\n\\\t\x01");
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
    QCOMPARE(lines[2], QByteArray());
    QJsonParseError error;
    const QJsonObject first = QJsonDocument::fromJson(lines[0], &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(first["uid"].toString(), QStringLiteral("u1"));
    QCOMPARE(first["sample"].toString(), name);
    QCOMPARE(first["calibration"].toInt(), 3);
    QCOMPARE(first["source"].toString(), TArchive::SourceAnalyser);
    QVERIFY(first["invalid"].isNull());
    const QDateTime measured = QDateTime::fromString(first["measured"].toString(), Qt::ISODate);
    QCOMPARE(measured.toMSecsSinceEpoch(), QDateTime(QDate(2026, 3, 5), QTime(9, 1, 7)).toMSecsSinceEpoch());
    QVERIFY(QRegularExpression("[+-]\\d\\d:\\d\\d$").match(first["measured"].toString()).hasMatch());
    const QJsonArray indicators = first["indicators"].toArray();
    QCOMPARE(indicators.size(), 2);
    QCOMPARE(indicators[0]["column"].toInt(), 5);
    QCOMPARE(indicators[0]["title"].toString(), QStringLiteral("Столбец 5"));
    QVERIFY(lines[0].contains("\"value\":20.5}"));
    QCOMPARE(indicators[1]["value"].toDouble(), 1.00937);

    const QJsonArray lone = QJsonDocument::fromJson(lines[1]).object()["indicators"].toArray();
    QCOMPARE(lone.size(), 1);
    QCOMPARE(lone[0]["column"].toInt(), 31);
    QVERIFY(lines[1].contains("\"value\":0.00}")); // no "-0.00"
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
        const QJsonObject invalid = QJsonDocument::fromJson(all.split('\n')[1]).object()["invalid"].toObject();
        QCOMPARE(invalid["reason"].toString(), QStringLiteral("пузырь"));
        QCOMPARE(invalid["by"].toString(), QStringLiteral("anna"));
        QVERIFY(QDateTime::fromString(invalid["at"].toString(), Qt::ISODate).isValid());
    } else {
        QVERIFY(all.contains(QStringLiteral(";пузырь;/dev/ttyUSB0;").toUtf8()));
    }
}

void TstArchiveExport::formatNames_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("parsed"); // -1: refused
    QTest::addColumn<TExportFormat>("forFile");
    QTest::newRow("csv-ru") << "csv-ru" << int(TExportFormat::CsvRu) << TExportFormat::CsvRu;
    QTest::newRow("csv") << "CSV" << int(TExportFormat::Csv) << TExportFormat::CsvRu;
    QTest::newRow("jsonl") << "jsonl" << int(TExportFormat::JsonLines) << TExportFormat::JsonLines;
    QTest::newRow("json") << "json" << -1 << TExportFormat::JsonLines;
    QTest::newRow("xlsx") << "xlsx" << -1 << TExportFormat::CsvRu;
}

void TstArchiveExport::formatNames() {
    QFETCH(QString, text);
    QFETCH(int, parsed);
    QFETCH(TExportFormat, forFile);
    const std::optional<TExportFormat> format = TArchiveExport::ParseFormat(text);
    QCOMPARE(format ? int(*format) : -1, parsed);
    QCOMPARE(TArchiveExport::FormatFor(QStringLiteral("/x/out.") + text), forFile);
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
    QVERIFY_THROWS_EXCEPTION(EArchiveError, TArchiveExport::WriteFile(*archive_, {}, TExportFormat::Csv, settings_,
                                                                      Titles(), file, [](qint64) { return false; }));
    QCOMPARE(ReadAll(file), QByteArray("old"));
    QCOMPARE(TArchiveExport::WriteFile(*archive_, {}, TExportFormat::Csv, settings_, Titles(), file), 1);
    QVERIFY(ReadAll(file).startsWith("Проба,"));
}

QTEST_GUILESS_MAIN(TstArchiveExport)
#include "tst_archiveexport.moc"
