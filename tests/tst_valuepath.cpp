#include "analyser/FPConvert.h"
#include "archive/ArchiveExport.h"
#include "archive/ArchiveImport.h"
#include "archive/ArchiveSettings.h"
#include "config/Cp1251.h"
#include "document/RegisterDocument.h"
#include "measurement/RecordDecoder.h"
#include "measurement/ValueText.h"
#include "results/ResultsFile.h"
#include "support/TestFiles.h"

#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <rapidcheck.h>

#include <cmath>

// A measurement's values from the analyser to every place they go and back,
// under the locale the process runs in (the suite runs this under
// ru_RU.UTF-8, C.UTF-8 and de_DE.UTF-8): they come back as the same numbers
// at the table's decimals, and the row finds its own archive entry.
namespace {

using TValues = std::array<std::optional<double>, IndicatorCount>;

// A value word the analyser can send: zero, or any valid word, mostly of the
// magnitudes a beverage has, sometimes an exact tie at two decimals.
rc::Gen<quint32> ValueWord() {
    const auto word = [](int exponent, bool negative, quint32 fraction) {
        return (quint32(quint8(exponent)) << 24) | (negative ? 1u << 23 : 0u) | (1u << 22) |
               (fraction & ((1u << 22) - 1));
    };
    const auto anyWord = [word](int low, int high) {
        return rc::gen::apply(word, rc::gen::inRange(low, high), rc::gen::arbitrary<bool>(),
                              rc::gen::arbitrary<quint32>());
    };
    const auto tie = rc::gen::map(rc::gen::inRange(-80000, 80000),
                                  [](int n) { return NearestDeviceFloat(n / 8.0); });
    return rc::gen::weightedOneOf<quint32>({{1, rc::gen::just(quint32(0))},
                                            {8, rc::Gen<quint32>(anyWord(-12, 20))},
                                            {2, rc::Gen<quint32>(tie)},
                                            {1, rc::Gen<quint32>(anyWord(-128, 128))}});
}

// A name an operator types: Russian letters, digits and signs a lab uses.
rc::Gen<QString> SampleName() {
    static const QString alphabet = QStringLiteral("ПиворсокАБВ Т°20«»№-.10");
    return rc::gen::map(
        rc::gen::container<std::vector<int>>(rc::gen::inRange(0, int(alphabet.size()))),
        [](const std::vector<int>& picks) {
            QString name = QStringLiteral("Проба ");
            for (const int i : picks)
                name += alphabet[i];
            return name;
        });
}

// Whether a row shows the values (and nothing where they are absent) as
// the numbers the table keeps, within half a unit of its last digit.
void CheckShown(const TResultsTable::Row& row, const TValues& values, QChar separator) {
    for (int k = 0; k < IndicatorCount; ++k) {
        const QByteArrayView cell = row.Cell(k + 5);
        const std::optional<double>& v = values[size_t(k)];
        RC_ASSERT(cell.isEmpty() == !v);
        if (!v)
            continue;
        RC_ASSERT(cell.contains(char(separator.unicode())));
        const std::optional<double> shown = TValueText::Parse(cell);
        RC_ASSERT(shown.has_value());
        RC_ASSERT(*shown == TValueText::TableValue(*v));
        const double unit = std::fabs(*v) >= 1e8 ? std::fabs(*v) * 1e-8 : 0.01;
        RC_ASSERT(std::fabs(*shown - *v) <= unit / 2 * (1 + 1e-9));
    }
}

// Within half a unit of the export's decimals for each indicator.
void CheckExported(const std::vector<std::optional<double>>& exported, const TValues& values) {
    const TArchiveSettings settings;
    RC_ASSERT(exported.size() == size_t(IndicatorCount));
    for (int k = 0; k < IndicatorCount; ++k) {
        const std::optional<double>& v = values[size_t(k)];
        RC_ASSERT(exported[size_t(k)].has_value() == v.has_value());
        if (!v)
            continue;
        const double half = 0.5 * std::pow(10.0, -settings.Decimals[size_t(k)]);
        RC_ASSERT(std::fabs(*exported[size_t(k)] - *v) <=
                  half * (1 + 1e-9) + std::fabs(*v) * 1e-15);
    }
}

std::vector<std::optional<double>> CsvValues(const QByteArray& text, char separator) {
    const QList<QByteArray> lines = text.split('\n');
    RC_ASSERT(lines.size() >= 2);
    // The name may be quoted but holds no separator; the indicators follow
    // the name, date, time, device and calibration.
    const QList<QByteArray> fields = lines[1].split(separator);
    std::vector<std::optional<double>> out;
    for (int k = 0; k < IndicatorCount; ++k) {
        const QByteArray& field = fields.value(5 + k);
        out.push_back(field.isEmpty() ? std::nullopt : TValueText::Parse(field));
        RC_ASSERT(field.isEmpty() || out.back().has_value());
    }
    return out;
}

std::vector<std::optional<double>> JsonValues(const QByteArray& text) {
    const QJsonObject object = QJsonDocument::fromJson(text.trimmed()).object();
    std::vector<std::optional<double>> out(static_cast<size_t>(IndicatorCount));
    for (const QJsonValue& item : object.value(QLatin1String("indicators")).toArray()) {
        const int column = item[QLatin1String("column")].toInt();
        RC_ASSERT(column >= 5 && column < 5 + IndicatorCount);
        out[size_t(column - 5)] = item[QLatin1String("value")].toDouble();
    }
    return out;
}

QByteArray Exported(const TArchiveReader& archive, TExportFormat format) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    TArchiveExport::Write(archive, {}, format, TArchiveSettings(), {}, buffer);
    return buffer.data();
}

// The file as a spreadsheet saves it again: trailing zeros of the values
// dropped ("20,00" to "20", "1,50" to "1,5"), dates in ISO form.
QByteArray SavedBySpreadsheet(const QString& path) {
    TResultsTable table;
    LoadResultsFile(table, path);
    QByteArray out;
    for (int r = 1; r < table.RowCount(); ++r) {
        for (int c = 1; c < TResultsTable::ColCount; ++c) {
            QByteArray cell = table.Cell(c, r);
            if (c == 2 && !cell.isEmpty()) {
                ControlChart::TDateTimeReader reader{QLocale()};
                const std::optional<QDate> date = reader.Date(cell);
                RC_ASSERT(date.has_value());
                cell = date->toString(Qt::ISODate).toLatin1();
            } else if (c >= 5 && (cell.contains(',') || cell.contains('.')) &&
                       !cell.contains('E')) {
                while (cell.endsWith('0'))
                    cell.chop(1);
                if (cell.endsWith(',') || cell.endsWith('.'))
                    cell.chop(1);
            }
            out += cell;
            out += c < TResultsTable::ColCount - 1 ? "\t" : "\r\n";
        }
    }
    return out;
}

} // namespace

class TstValuePath : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        if (!qEnvironmentVariableIsSet("RC_PARAMS"))
            qputenv("RC_PARAMS", "max_success=40 seed=7 verbose_progress=0");
    }

    // The described record, exactly, whatever the locale: 12.5 and -0.75.
    void describedRecord() {
        QTemporaryDir dir;
        TRegisterDocument doc(dir.filePath("data"), dir.filePath("locks"));
        doc.Start(dir.filePath("day.txt"));
        doc.SetLink(QStringLiteral("ttyUSB0"), 1);
        std::array<quint32, IndicatorCount> words{};
        words[0] = NearestDeviceFloat(12.5);
        words[1] = NearestDeviceFloat(-0.75);
        const QByteArray carriers = EncodeCarriers(EncodeRecordBytes(3, 0x0800, 5, words));
        QCOMPARE(doc.PutRecordReply(6, ReplyStatusComplete, carriers, true), quint8(9));
        const QChar point = TValueText::Separator(QLocale());
        QCOMPARE(Cp1251::decode(doc.Table().CellView(5, 1)), QStringLiteral("12") + point + "50");
        QCOMPARE(Cp1251::decode(doc.Table().CellView(6, 1)), QStringLiteral("-0") + point + "75");
        QCOMPARE(doc.Table().Cell(4, 1), QByteArray("5"));
        doc.Save();
        const QList<QByteArray> fields = ReadAll(dir.filePath("day.txt")).split('\t');
        QCOMPARE(Cp1251::decode(fields.value(4)), QStringLiteral("12") + point + "50");
        QCOMPARE(Cp1251::decode(fields.value(5)), QStringLiteral("-0") + point + "75");
    }

    void anyRecordComesBackAsItsNumbers() {
        const QChar separator = TValueText::Separator(QLocale());
        const bool ok = rc::check("a measurement's values on every path", [&] {
            const auto words =
                *rc::gen::container<std::array<quint32, IndicatorCount>>(ValueWord());
            const quint32 mask = *rc::gen::arbitrary<quint32>();
            const quint8 calibration = *rc::gen::arbitrary<quint8>();
            const QString name = *SampleName();
            TMeasurementRecord record;
            const QByteArray carriers =
                EncodeCarriers(EncodeRecordBytes(mask, 0x0800, calibration, words));
            RC_ASSERT(DecodeRecord(ReplyStatusComplete, carriers, record));
            const TValues values = TRecordCycle::Values(record);

            QTemporaryDir dir;
            const QString day = dir.filePath("day.txt");
            TRegisterDocument doc(dir.filePath("data"), dir.filePath("locks"));
            const QDateTime now(QDate(2026, 12, 9), QTime(14, 28, 11, 345));
            doc.Cycle().Now = [now] { return now; };
            doc.Start(day);
            doc.SetLink(QStringLiteral("ttyUSB0"), 7);

            // Measured and acknowledged: shown as the numbers, in the archive.
            RC_ASSERT(doc.CommandForTurn(0) == 6);
            RC_ASSERT(doc.PutRecordReply(6, ReplyStatusComplete, carriers, true) == 9);
            RC_ASSERT(doc.PutRecordReply(9, ReplyStatusComplete, {}, true) == 0);
            RC_ASSERT(doc.Table().RowCount() == 3);
            CheckShown(doc.Table().RowAt(1), values, separator);
            TArchive* archive = doc.Archive();
            RC_ASSERT(archive != nullptr);
            std::vector<TArchiveMeasurement> entries;
            archive->ForEach({}, [&](const TArchiveMeasurement& m) {
                entries.push_back(m);
                return true;
            });
            RC_ASSERT(entries.size() == size_t(1));
            RC_ASSERT(entries[0].Values == values);

            // A typed name reaches the entry's history.
            doc.Table().setData(doc.Table().index(0, 0), name);
            const std::vector<TNameChange> history = archive->NameHistory(entries[0].Uid);
            RC_ASSERT(!history.empty());
            RC_ASSERT(history.back().NewName == name);

            // Saved and read back: the same numbers, and the row, now without
            // its key, still finds its own entry.
            doc.Save();
            TResultsTable loaded;
            LoadResultsFile(loaded, day);
            RC_ASSERT(loaded.RowKey(1).isEmpty());
            CheckShown(loaded.RowAt(1), values, separator);
            ControlChart::TDateTimeReader reader{QLocale()};
            RC_ASSERT(archive->FindRow(loaded.RowAt(1), reader) == std::optional(entries[0].Uid));

            // Exported in every format.
            CheckExported(CsvValues(Exported(*archive, TExportFormat::CsvRu), ';'), values);
            CheckExported(CsvValues(Exported(*archive, TExportFormat::Csv), ','), values);
            CheckExported(JsonValues(Exported(*archive, TExportFormat::JsonLines)), values);

            // Imported: once into an empty archive, never again, and never
            // beside the live entry, also when a spreadsheet re-saved it.
            TArchive other(dir.filePath("other"));
            RC_ASSERT(TArchiveImport::ImportFiles(other, {day}).Added == qint64(1));
            std::optional<TArchiveMeasurement> imported;
            other.ForEach({}, [&](const TArchiveMeasurement& m) {
                imported = m;
                return true;
            });
            RC_ASSERT(imported.has_value());
            for (int k = 0; k < IndicatorCount; ++k) {
                const std::optional<double>& v = values[size_t(k)];
                RC_ASSERT(imported->Values[size_t(k)].has_value() == v.has_value());
                if (v)
                    RC_ASSERT(TValueText::SameInTable(*imported->Values[size_t(k)], *v));
            }
            RC_ASSERT(TArchiveImport::ImportFiles(other, {day}).Added == qint64(0));
            RC_ASSERT(TArchiveImport::ImportFiles(*archive, {day}).Added == qint64(0));
            const QString resaved = dir.filePath("resaved.txt");
            RC_ASSERT(WriteAll(resaved, SavedBySpreadsheet(day)));
            RC_ASSERT(TArchiveImport::ImportFiles(other, {resaved}).Added == qint64(0));
            RC_ASSERT(TArchiveImport::ImportFiles(*archive, {resaved}).Added == qint64(0));
        });
        QVERIFY(ok);
    }
};

QTEST_GUILESS_MAIN(TstValuePath)
#include "tst_valuepath.moc"
