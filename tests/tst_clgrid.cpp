#include "register/ClGrid.h"
#include "register/ResultsFile.h"
#include "register/ResultsTable.h"

#include "config/Cp1251.h"

#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QLineEdit>
#include <QScrollBar>
#include <QValidator>
#include <QtTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {

struct Fixture {
    TResultsTable table;
    TColorStringGrid grid;
    QList<QPair<int, int>> opened; // (col, row) per editor opening

    Fixture() {
        for (int c = 0; c < TResultsTable::ColCount; ++c)
            table.SetCell(c, 0, "T" + QByteArray::number(c));
        for (int r = 1; r <= 3; ++r) {
            table.SetCell(2, table.RowCount() - 1, "d" + QByteArray::number(r));
            table.AddEntryRow();
        }
        grid.SetTable(&table);
        grid.OnGetEditText = [this](int col, int row) { opened.append({col, row}); };
        grid.resize(700, 300);
        grid.show();
    }

    // Model index of table cell (col, row).
    QModelIndex at(int col, int row) const { return table.index(row - 1, col - 1); }
    QLineEdit* editor() const { return grid.findChild<QLineEdit*>(); }
};

// Types text key by key as a keyboard layout would deliver it; QTest's own
// key clicks take Latin-1 only.
void typeText(QWidget* w, const QString& text) {
    for (const QChar ch : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(ch));
        QApplication::sendEvent(w, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(ch));
        QApplication::sendEvent(w, &release);
    }
}

} // namespace

class TstClGrid : public QObject {
    Q_OBJECT
private slots:
    void onlyNameColumnOpensAnEditor_data() {
        QTest::addColumn<int>("col");
        QTest::addColumn<int>("row");
        QTest::addColumn<bool>("opens");
        QTest::newRow("name, sample row") << 1 << 1 << true;
        QTest::newRow("name, entry row") << 1 << 4 << true;
        QTest::newRow("date") << 2 << 1 << false;
        QTest::newRow("indicator") << 7 << 2 << false;
        QTest::newRow("last column") << 31 << 4 << false;
    }
    void onlyNameColumnOpensAnEditor() {
        QFETCH(int, col);
        QFETCH(int, row);
        QFETCH(bool, opens);
        Fixture f;
        QVERIFY(QTest::qWaitForWindowExposed(&f.grid));
        const QByteArray before = f.table.Cell(col, row);
        f.grid.setCurrentIndex(f.at(col, row));
        // The first key opens the editor, the next ones go to the editor.
        QTest::keyClicks(&f.grid, "x");
        if (opens) {
            QVERIFY(f.editor());
            QTest::keyClicks(f.editor(), "y");
            QCOMPARE(f.opened, (QList<QPair<int, int>>{{col, row}}));
            QTest::keyClick(f.editor(), Qt::Key_Return);
            QTRY_VERIFY_WITH_TIMEOUT(!f.editor(), 5000);
            QCOMPARE(f.table.Cell(col, row), QByteArray("xy"));
        } else {
            QTest::keyClicks(&f.grid, "y");
            QVERIFY(!f.editor());
            QVERIFY(f.opened.isEmpty());
            QCOMPARE(f.table.Cell(col, row), before);
        }
    }

    void everyOpeningCallsTheHook() {
        Fixture f;
        QVERIFY(QTest::qWaitForWindowExposed(&f.grid));
        f.table.SetCell(1, 2, "keep");
        for (int i = 0; i < 2; ++i) {
            f.grid.setCurrentIndex(f.at(1, 2));
            f.grid.edit(f.at(1, 2));
            QVERIFY(f.editor());
            QCOMPARE(f.editor()->text(), QStringLiteral("keep"));
            QTest::keyClick(f.editor(), Qt::Key_Escape);
            QTRY_VERIFY_WITH_TIMEOUT(!f.editor(), 5000);
        }
        QCOMPARE(f.opened.size(), 2);
        QCOMPARE(f.table.Cell(1, 2), QByteArray("keep"));
    }

    void editorRefusesWhatTheCodePageCannotHold() {
        Fixture f;
        QVERIFY(QTest::qWaitForWindowExposed(&f.grid));
        f.grid.setCurrentIndex(f.at(1, 1));
        f.grid.edit(f.at(1, 1));
        QLineEdit* e = f.editor();
        QVERIFY(e && e->validator());
        QString han = QStringLiteral("漢");
        int pos = 0;
        QCOMPARE(e->validator()->validate(han, pos), QValidator::Invalid);
        typeText(e, QStringLiteral("Пи漢во"));
        QCOMPARE(e->text(), QStringLiteral("Пиво"));
        QTest::keyClick(e, Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(!f.editor(), 5000);
        QCOMPARE(f.table.Cell(1, 1), Cp1251::encode(u"Пиво"));
    }

    // Pasted into the open editor with Ctrl+V: a spreadsheet cell brings a
    // tab and a line break, another program a line separator.
    void pastedNameStaysOneField_data() {
        QTest::addColumn<QString>("clip");
        QTest::addColumn<QString>("name");
        QTest::newRow("spreadsheet cell") << u"Пиво\tсветлое\r\n"_s << u"Пиво светлое"_s;
        QTest::newRow("line separator") << u"Квас\u2028№2"_s << u"Квас №2"_s;
    }
    void pastedNameStaysOneField() {
        QFETCH(QString, clip);
        QFETCH(QString, name);
        Fixture f;
        QVERIFY(QTest::qWaitForWindowExposed(&f.grid));
        f.grid.setCurrentIndex(f.at(1, 2));
        f.grid.edit(f.at(1, 2));
        QVERIFY(f.editor());
        QApplication::clipboard()->setText(clip);
        QTest::keyClick(f.editor(), Qt::Key_V, Qt::ControlModifier);
        QTest::keyClick(f.editor(), Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(!f.editor(), 5000);
        QCOMPARE(f.table.Cell(1, 2), Cp1251::encode(name));
        QByteArray line;
        AppendResultsLine(line, f.table, 2);
        QCOMPARE(line.split('\t').size(), 31);
        QCOMPARE(line.count('\n'), 1);
        QVERIFY(line.endsWith("\r\n"));
    }

    void columnsFollowTheTable() {
        Fixture f;
        f.table.SetColWidth(3, 77);
        QCOMPARE(f.grid.columnWidth(2), 77);
        f.table.SetColWidth(8, -1);
        QVERIFY(f.grid.isColumnHidden(7));
        f.table.FitColumns(f.grid.ClientWidth());
        QCOMPARE(f.grid.columnWidth(0), f.table.ColWidth(1));
        QCOMPARE(f.grid.columnWidth(5), f.table.ColWidth(6));
        QCOMPARE(f.grid.verticalHeader()->width(), f.table.ColWidth(0));
        QVERIFY(f.grid.isColumnHidden(7));
        f.table.SetColWidth(8, TResultsTable::DefaultColWidth);
        QVERIFY(!f.grid.isColumnHidden(7));
        QCOMPARE(f.grid.columnWidth(7), TResultsTable::DefaultColWidth);
        // A load resets the model; hidden columns stay hidden.
        f.table.ReplaceRowsFrom(1, std::vector<TResultsTable::Row>(5));
        f.table.SetColWidth(9, -1);
        f.table.ReplaceRowsFrom(1, std::vector<TResultsTable::Row>(2));
        QVERIFY(f.grid.isColumnHidden(8));
        QCOMPARE(f.grid.rowHeight(0), TColorStringGrid::RowHeight);
        QCOMPARE(f.grid.horizontalHeader()->height(), TColorStringGrid::RowHeight);
    }

    void colourHookPaintsTheCell() {
        Fixture f;
        QVERIFY(QTest::qWaitForWindowExposed(&f.grid));
        f.table.FitColumns(f.grid.ClientWidth());
        QList<QPair<int, int>> seen;
        f.grid.OnGetCellColor = [&](TColorStringGrid* sender, int row, int col, QStyle::State, QBrush& brush, QFont&) {
            QCOMPARE(sender, &f.grid);
            seen.append({row, col});
            if (row == 2 && col == 3)
                brush = QBrush(QColor(255, 0, 0));
        };
        const QImage image = f.grid.grab().toImage();
        QVERIFY(seen.contains({2, 3}));
        QVERIFY(seen.contains({1, 1}));
        const QRect cell = f.grid.visualRect(f.at(3, 2));
        const QPoint inGrid = f.grid.viewport()->mapTo(&f.grid, cell.center() + QPoint(cell.width() / 3, 0));
        const qreal dpr = image.devicePixelRatio();
        QCOMPARE(image.pixelColor(QPoint(int(inGrid.x() * dpr), int(inGrid.y() * dpr))), QColor(255, 0, 0));
        const QRect other = f.grid.visualRect(f.at(4, 2));
        const QPoint otherInGrid = f.grid.viewport()->mapTo(&f.grid, other.center());
        QVERIFY(image.pixelColor(QPoint(int(otherInGrid.x() * dpr), int(otherInGrid.y() * dpr))) != QColor(255, 0, 0));
    }

    // The client width is what the cells and the number column share: the
    // vertical scroll bar, once it shows, is not part of it.
    void clientWidth_data() {
        QTest::addColumn<int>("rows");
        QTest::addColumn<bool>("scrollBar");
        QTest::newRow("few rows") << 2 << false;
        QTest::newRow("rows beyond the window") << 200 << true;
    }
    void clientWidth() {
        QFETCH(int, rows);
        QFETCH(bool, scrollBar);
        Fixture f;
        QVERIFY(QTest::qWaitForWindowExposed(&f.grid));
        f.table.SetRowCount(rows);
        f.table.FitColumns(f.grid.ClientWidth());
        QTRY_COMPARE(f.grid.verticalScrollBar()->isVisible(), scrollBar);
        QCOMPARE(f.grid.ClientWidth(), f.grid.viewport()->width() + f.grid.verticalHeader()->width());
        const int withoutBar = f.grid.width() - 2 * f.grid.frameWidth();
        QCOMPARE(f.grid.ClientWidth() < withoutBar, scrollBar);
    }
};

QTEST_MAIN(TstClGrid)
#include "tst_clgrid.moc"
