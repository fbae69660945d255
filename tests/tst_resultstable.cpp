#include "results/ResultsTable.h"

#include "config/Cp1251.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QtTest>

#include <array>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int kCols = TResultsTable::ColCount;

// Writes a measurement the way the record decoder does: columns 2.. of the
// entry row, then a new entry row.
void writeMeasurement(TResultsTable& t, const QByteArray& date) {
    const int entry = t.RowCount() - 1;
    t.SetCell(2, entry, date);
    t.SetCell(3, entry, "12:00:00");
    t.SetCell(4, entry, "7");
    for (int c = 5; c < kCols; ++c)
        t.SetCell(c, entry, QByteArray::number(c) + ",00");
    t.AddEntryRow();
}

void hideIndicators(TResultsTable& t, int fromCol) {
    for (int c = fromCol; c < kCols; ++c)
        t.SetColWidth(c, -1);
}

} // namespace

class TstResultsTable : public QObject {
    Q_OBJECT
private slots:
    void startsWithTitleAndEntryRow() {
        TResultsTable t;
        QCOMPARE(t.RowCount(), 2);
        QCOMPARE(t.Cell(0, 1), QByteArray("1"));
        for (int c = 0; c < kCols; ++c)
            QCOMPARE(t.ColWidth(c), TResultsTable::DefaultColWidth);
        QVERIFY(!t.Modified());
    }

    // Cells of a row share one block; setting any cell must leave the others.
    void cellsOfARowStayIndependent() {
        TResultsTable t;
        t.SetRowCount(3);
        std::array<QByteArray, kCols> expected;
        expected[0] = "1";
        QRandomGenerator rng(1234);
        for (int i = 0; i < 2000; ++i) {
            const int col = int(rng.bounded(kCols));
            QByteArray text(int(rng.bounded(12)), Qt::Uninitialized);
            for (char& ch : text)
                ch = char(rng.bounded(256));
            t.SetCell(col, 1, text);
            expected[size_t(col)] = text;
            if (i % 100 == 0) {
                for (int c = 0; c < kCols; ++c)
                    QCOMPARE(t.Cell(c, 1), expected[size_t(c)]);
            }
        }
        for (int c = 0; c < kCols; ++c) {
            QCOMPARE(t.Cell(c, 1), expected[size_t(c)]);
            QVERIFY(t.Cell(c, 2).isEmpty());
        }
    }

    // The source may point into the very row being changed.
    void copyCellWithinItsRow() {
        TResultsTable t;
        t.SetCell(1, 1, "abc");
        t.SetCell(3, 1, "xyz");
        t.SetCell(2, 1, t.CellView(1, 1));
        t.SetCell(3, 1, t.CellView(2, 1));
        t.SetCell(1, 1, t.CellView(3, 1).first(1));
        QCOMPARE(t.Cell(1, 1), QByteArray("a"));
        QCOMPARE(t.Cell(2, 1), QByteArray("abc"));
        QCOMPARE(t.Cell(3, 1), QByteArray("abc"));
    }

    void outOfRangeIsHarmless() {
        TResultsTable t;
        t.SetCell(kCols, 1, "x");
        t.SetCell(0, 5, "x");
        t.SetCell(-1, -1, "x");
        QVERIFY(t.Cell(kCols, 1).isEmpty());
        QVERIFY(t.Cell(1, 99).isEmpty());
        QCOMPARE(t.ColWidth(kCols), -1);
        t.SetRowCount(-3);
        QCOMPARE(t.RowCount(), 1);
    }

    void clearTableKeepsNumberOfRowOne() {
        TResultsTable t;
        t.SetCell(0, 0, "No");
        t.SetCell(1, 1, "name");
        writeMeasurement(t, "01.02.2026");
        writeMeasurement(t, "02.02.2026");
        t.ClearTable();
        QCOMPARE(t.RowCount(), 2);
        QCOMPARE(t.Cell(0, 0), QByteArray("No"));
        QCOMPARE(t.Cell(0, 1), QByteArray("1"));
        for (int c = 1; c < kCols; ++c)
            QVERIFY(t.Cell(c, 1).isEmpty());
    }

    void addedRowsAreEmptyEvenAfterShrinking() {
        TResultsTable t;
        writeMeasurement(t, "d1");
        writeMeasurement(t, "d2");
        t.SetCell(1, 3, "typed");
        t.SetRowCount(2);
        t.AddEntryRow();
        QCOMPARE(t.RowCount(), 3);
        QCOMPARE(t.Cell(0, 2), QByteArray("2"));
        for (int c = 1; c < kCols; ++c)
            QVERIFY(t.Cell(c, 2).isEmpty());
        t.SetRowCount(5);
        for (int c = 0; c < kCols; ++c)
            QVERIFY(t.Cell(c, 4).isEmpty());
    }

    void measurementKeepsNameTypedAhead() {
        TResultsTable t;
        t.SetCell(1, 1, Cp1251::encode(u"Пиво светлое"));
        t.SetModified(false);
        writeMeasurement(t, "03.02.2026");
        QCOMPARE(t.RowCount(), 3);
        QCOMPARE(t.Cell(1, 1), Cp1251::encode(u"Пиво светлое"));
        QCOMPARE(t.Cell(2, 1), QByteArray("03.02.2026"));
        QCOMPARE(t.Cell(0, 2), QByteArray("2"));
        for (int c = 1; c < kCols; ++c)
            QVERIFY(t.Cell(c, 2).isEmpty());
        QVERIFY(!t.Modified());
    }

    void renumberRows() {
        TResultsTable t;
        t.SetRowCount(6);
        t.SetCell(0, 3, "77");
        QSignalSpy spy(&t, &QAbstractItemModel::headerDataChanged);
        t.RenumberRows();
        for (int r = 1; r < 6; ++r)
            QCOMPARE(t.Cell(0, r), QByteArray::number(r));
        QVERIFY(!spy.isEmpty());
    }

    void fitRule_data() {
        QTest::addColumn<int>("clientWidth");
        QTest::addColumn<int>("firstHidden"); // indicator columns from here on hidden
        QTest::addColumn<int>("col0");
        QTest::addColumn<int>("col1");
        QTest::addColumn<int>("other");
        QTest::newRow("example 562, 8 visible") << 562 << 8 << 35 << 95 << 70;
        // 561 / 8 would give 70; the 2-pixel margin makes it 69.
        QTest::newRow("561, 8 visible: the margin counts") << 561 << 8 << 34 << 93 << 69;
        QTest::newRow("all indicators hidden, n=5") << 502 << 5 << 50 << 140 << 100;
        QTest::newRow("all visible, 756") << 756 << 32 << 11 << 24 << 23;
        QTest::newRow("narrower than n+2: unit 1") << 6 << 5 << 1 << 1 << 1;
        QTest::newRow("zero width") << 0 << 32 << 1 << 1 << 1;
        QTest::newRow("name column would vanish") << 32 << 5 << 3 << 1 << 6;
    }
    void fitRule() {
        QFETCH(int, clientWidth);
        QFETCH(int, firstHidden);
        QFETCH(int, col0);
        QFETCH(int, col1);
        QFETCH(int, other);
        TResultsTable t;
        hideIndicators(t, firstHidden);
        t.FitColumns(clientWidth);
        QCOMPARE(t.ColWidth(0), col0);
        QCOMPARE(t.ColWidth(1), col1);
        for (int c = 2; c < kCols; ++c)
            QCOMPARE(t.ColWidth(c), c < firstHidden ? other : -1);
        // Every column that was visible stays visible.
        for (int c = 0; c < firstHidden; ++c)
            QVERIFY(t.ColVisible(c));
    }

    void hideAndShowColumnEight() {
        TResultsTable t;
        hideIndicators(t, 12);
        t.FitColumns(756);
        const int before = t.ColWidth(9);
        t.SetColWidth(8, -1);
        t.FitColumns(756);
        QCOMPARE(t.ColWidth(8), -1);
        QVERIFY(t.ColWidth(9) > before); // the unit grows
        QCOMPARE(t.ColWidth(20), -1);
        t.SetColWidth(8, TResultsTable::DefaultColWidth);
        t.FitColumns(756);
        QCOMPARE(t.ColWidth(8), t.ColWidth(9));
        QCOMPARE(t.ColWidth(9), before);
    }

    void modelMapping() {
        TResultsTable t;
        t.SetCell(0, 0, Cp1251::encode(u"№ с"));
        t.SetCell(1, 0, Cp1251::encode(u"Название"));
        t.SetCell(31, 0, "T31");
        t.SetCell(1, 1, Cp1251::encode(u"Квас"));
        t.SetCell(5, 1, "\x98");
        t.AddEntryRow();
        QCOMPARE(t.rowCount(), 2);
        QCOMPARE(t.columnCount(), 31);
        QCOMPARE(t.headerData(0, Qt::Horizontal).toString(), QStringLiteral("Название"));
        QCOMPARE(t.headerData(30, Qt::Horizontal).toString(), QStringLiteral("T31"));
        QCOMPARE(t.headerData(1, Qt::Vertical).toString(), QStringLiteral("2"));
        QVERIFY(!t.headerData(31, Qt::Horizontal).isValid());
        QCOMPARE(t.data(t.index(0, 0)).toString(), QStringLiteral("Квас"));
        QCOMPARE(t.data(t.index(0, 4), Qt::EditRole).toString(), QString(QChar(0x98)));
    }

    void onlyNameColumnIsEditable() {
        TResultsTable t;
        for (int j = 0; j < t.columnCount(); ++j)
            QCOMPARE(bool(t.flags(t.index(0, j)) & Qt::ItemIsEditable), j == 0);
        QVERIFY(!t.setData(t.index(0, 1), QStringLiteral("x")));
        QVERIFY(t.Cell(2, 1).isEmpty());
    }

    void setDataRefusesWhatTheCodePageCannotHold_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("cyrillic") << QStringLiteral("Морс №5") << true;
        QTest::newRow("han") << QStringLiteral("漢") << false;
        QTest::newRow("mixed") << QStringLiteral("Проба 漢") << false;
        QTest::newRow("emoji") << QStringLiteral("a\U0001F600") << false;
    }
    void setDataRefusesWhatTheCodePageCannotHold() {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        TResultsTable t;
        t.SetCell(1, 1, "old");
        QSignalSpy spy(&t, &QAbstractItemModel::dataChanged);
        QCOMPARE(t.setData(t.index(0, 0), text), accepted);
        QCOMPARE(t.Cell(1, 1), accepted ? Cp1251::encode(text) : QByteArray("old"));
        QCOMPARE(spy.count(), accepted ? 1 : 0);
        QVERIFY(!t.Modified());
    }

    // A typed or pasted name must stay one field of one line in the file.
    void setDataCleansTheName_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("clean");
        QTest::newRow("spreadsheet cell") << u"Пиво\tсветлое\r\n"_s << u"Пиво светлое"_s;
        QTest::newRow("CR LF is one blank") << u"Пиво\r\nсветлое"_s << u"Пиво светлое"_s;
        QTest::newRow("LF CR are two") << u"a\n\rb"_s << u"a  b"_s;
        QTest::newRow("line and paragraph separators") << u"Квас\u2028№2\u2029"_s << u"Квас №2"_s;
        QTest::newRow("trailing breaks of every kind") << u"Морс\n\r\n\u2029\r"_s << u"Морс"_s;
        QTest::newRow("leading break") << u"\nКвас"_s << u" Квас"_s;
        QTest::newRow("trailing tab and blank stay blanks") << u"Квас \t"_s << u"Квас  "_s;
        QTest::newRow("other controls") << u"a\x01" "b\x1b" "c\x7f"_s << u"a b c "_s;
        QTest::newRow("only breaks") << u"\r\n\r\n"_s << QString();
        QTest::newRow("no-break space is no control") << u"Квас\u00a0"_s << u"Квас\u00a0"_s;
    }
    void setDataCleansTheName() {
        QFETCH(QString, text);
        QFETCH(QString, clean);
        TResultsTable t;
        t.SetCell(1, 1, "old");
        QVERIFY(t.setData(t.index(0, 0), text));
        QCOMPARE(t.Cell(1, 1), Cp1251::encode(clean));
    }
};

QTEST_GUILESS_MAIN(TstResultsTable)
#include "tst_resultstable.moc"
