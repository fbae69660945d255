#include "document/NameEdits.h"
#include "register/ClGrid.h"
#include "results/ResultsFile.h"
#include "results/ResultsTable.h"

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
    TNameEdits names{table};
    TColorStringGrid grid;
    QList<QPair<int, int>> opened; // (col, row) per editor opening

    Fixture() {
        for (int c = 0; c < TResultsTable::ColCount; ++c)
            table.SetCell(c, 0, "T" + QByteArray::number(c));
        for (int r = 1; r <= 3; ++r) {
            table.SetCell(2, table.RowCount() - 1, "d" + QByteArray::number(r));
            table.AddEntryRow();
        }
        grid.SetTable(&table, &names);
        grid.OnGetEditText = [this](int col, int row) { opened.append({col, row}); };
        grid.resize(700, 300);
        grid.show();
    }

    // Model index of table cell (col, row).
    QModelIndex at(int col, int row) const { return table.index(row - 1, col - 1); }
    // The open editor, if any: it sits on the current cell.
    QLineEdit* editor() const {
        return qobject_cast<QLineEdit*>(grid.indexWidget(grid.currentIndex()));
    }
    QStringList Names() const {
        QStringList all;
        for (int r = 1; r < table.RowCount(); ++r)
            all << Cp1251::decode(table.Cell(1, r));
        return all;
    }
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
            QTRY_COMPARE_WITH_TIMEOUT(f.table.Cell(col, row), QByteArray("xy"), 5000);
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
        QTRY_COMPARE_WITH_TIMEOUT(f.table.Cell(1, 1), Cp1251::encode(u"Пиво"), 5000);
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
        QTRY_COMPARE_WITH_TIMEOUT(f.table.Cell(1, 2), Cp1251::encode(name), 5000);
        QByteArray line;
        AppendResultsLine(line, f.table, 2);
        QCOMPARE(line.split('\t').size(), 31);
        QCOMPARE(line.count('\n'), 1);
        QVERIFY(line.endsWith("\r\n"));
    }

    // Enter writes the name and opens the next row's, so the next name
    // typed does not replace it; the entry row keeps the cursor. Moving to
    // another row writes the name too, and goes there without an editor.
    void enterGoesToTheNextName_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("key"); // 0: the current cell moves to row 1
        QTest::addColumn<int>("current");
        QTest::addColumn<bool>("editing");
        QTest::newRow("Return") << 2 << int(Qt::Key_Return) << 3 << true;
        QTest::newRow("Enter, last sample row") << 3 << int(Qt::Key_Enter) << 4 << true;
        QTest::newRow("entry row") << 4 << int(Qt::Key_Return) << 4 << false;
        QTest::newRow("moved away") << 2 << 0 << 1 << false;
    }
    void enterGoesToTheNextName() {
        QFETCH(int, row);
        QFETCH(int, key);
        QFETCH(int, current);
        QFETCH(bool, editing);
        Fixture f;
        QVERIFY(QTest::qWaitForWindowExposed(&f.grid));
        f.grid.setCurrentIndex(f.at(1, row));
        QTest::keyClicks(&f.grid, "a"); // opens the editor
        QTest::keyClicks(f.editor(), "le");
        if (key)
            QTest::keyClick(f.editor(), Qt::Key(key));
        else
            f.grid.setCurrentIndex(f.at(1, 1));
        QTRY_COMPARE_WITH_TIMEOUT(f.table.Cell(1, row), QByteArray("ale"), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(f.opened.size(), editing ? 2 : 1, 5000);
        QCOMPARE(f.grid.currentIndex(), f.at(1, current));
        QCOMPARE(f.editor() != nullptr, editing);
    }

    void copyTakesTheSelectionAsShown_data() {
        QTest::addColumn<QRect>("cells"); // table columns and rows
        QTest::addColumn<QString>("text");
        QTest::newRow("one cell") << QRect(2, 1, 1, 1) << u"d1"_s;
        QTest::newRow("block") << QRect(1, 1, 2, 2) << u"Пиво\td1\nКвас\td2"_s;
        QTest::newRow("hidden column left out") << QRect(2, 2, 3, 2) << u"d2\t\nd3\t"_s;
    }
    void copyTakesTheSelectionAsShown() {
        QFETCH(QRect, cells);
        QFETCH(QString, text);
        Fixture f;
        f.table.setData(f.at(1, 1), u"Пиво"_s);
        f.table.setData(f.at(1, 2), u"Квас"_s);
        f.table.SetColWidth(3, -1);
        f.grid.selectionModel()->select(
            QItemSelection(f.at(cells.left(), cells.top()), f.at(cells.right(), cells.bottom())),
            QItemSelectionModel::ClearAndSelect);
        QApplication::clipboard()->clear();
        QTest::keyClick(&f.grid, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), text);
    }

    // Down the name column from the current row, as far as the entry row;
    // Ctrl+Z takes the whole paste back.
    void pasteNamesDown_data() {
        QTest::addColumn<QString>("clip");
        QTest::addColumn<int>("row");
        QTest::addColumn<QStringList>("names"); // rows 1 to 4 after the paste
        QTest::newRow("spreadsheet column")
            << u"Пиво\r\nКвас\r\n"_s << 1 << QStringList{"Пиво", "Квас", "n3", ""};
        QTest::newRow("tabs and controls cleaned")
            << u"a\tb\u0007c"_s << 2 << QStringList{"n1", "a b c", "n3", ""};
        QTest::newRow("stops at the entry row")
            << u"x\ny\nz\nw"_s << 3 << QStringList{"n1", "n2", "x", "y"};
        QTest::newRow("a name the code page cannot hold")
            << u"漢\nok\n\n"_s << 1 << QStringList{"n1", "ok", "", ""};
    }
    void pasteNamesDown() {
        QFETCH(QString, clip);
        QFETCH(int, row);
        QFETCH(QStringList, names);
        Fixture f;
        for (int r = 1; r <= 3; ++r)
            f.table.SetCell(1, r, "n" + QByteArray::number(r));
        const QStringList before = f.Names();
        f.grid.setCurrentIndex(f.at(1, row));
        QApplication::clipboard()->setText(clip);
        QTest::keyClick(&f.grid, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(f.Names(), names);
        QVERIFY(!f.editor());
        QCOMPARE(f.names.Steps(), 1);
        QTest::keyClick(&f.grid, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(f.Names(), before);
        QCOMPARE(f.names.Steps(), 0);
    }

    // Several names give the same rows whether the cell's editor is open or
    // the cell is only selected; Ctrl+V in a column where nothing can be
    // typed writes nothing.
    void pasteWithEditorOpenOrInAnotherColumn_data() {
        QTest::addColumn<int>("column");
        QTest::addColumn<bool>("editor");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("editor open") << 1 << true << QStringList{"n1", "Пиво", "Квас", ""};
        QTest::newRow("another column") << 3 << false << QStringList{"n1", "n2", "n3", ""};
    }
    void pasteWithEditorOpenOrInAnotherColumn() {
        QFETCH(int, column);
        QFETCH(bool, editor);
        QFETCH(QStringList, names);
        Fixture f;
        QVERIFY(QTest::qWaitForWindowExposed(&f.grid));
        for (int r = 1; r <= 3; ++r)
            f.table.SetCell(1, r, "n" + QByteArray::number(r));
        f.grid.setCurrentIndex(f.at(column, 2));
        QApplication::clipboard()->setText(u"Пиво\r\nКвас\r\n"_s);
        if (editor) {
            QTest::keyClicks(&f.grid, "x"); // opens the editor, typed text given up
            QVERIFY(f.editor());
            QTest::keyClick(f.editor(), Qt::Key_V, Qt::ControlModifier);
            QTRY_VERIFY_WITH_TIMEOUT(!f.editor(), 5000);
        } else {
            QTest::keyClick(&f.grid, Qt::Key_V, Qt::ControlModifier);
        }
        QCOMPARE(f.Names(), names);
        QCOMPARE(f.names.Steps(), editor ? 1 : 0);
    }

    // Each committed edit is one step back, to the name before it.
    void undoTakesBackEditsOneByOne() {
        Fixture f;
        QVERIFY(QTest::qWaitForWindowExposed(&f.grid));
        f.table.SetCell(1, 1, "old");
        f.grid.setCurrentIndex(f.at(1, 1));
        QTest::keyClicks(&f.grid, "p");
        QTest::keyClick(f.editor(), Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(f.grid.currentIndex(), f.at(1, 2), 5000);
        QTest::keyClicks(f.editor(), "q");
        f.grid.setCurrentIndex(f.at(1, 4));
        for (const QStringList& names : {QStringList{"p", "", "", ""}, {"old", "", "", ""}}) {
            QTest::keyClick(&f.grid, Qt::Key_Z, Qt::ControlModifier);
            QCOMPARE(f.Names(), names);
        }
        QVERIFY(!f.names.Undo());
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
