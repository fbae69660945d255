#pragma once

#include <QBrush>
#include <QFont>
#include <QPointer>
#include <QStyle>
#include <QTableView>

#include "results/ResultsTable.h"

#include <functional>

class TColorGridDelegate;
class TNameEdits;

// The results grid: a view over a TResultsTable whose title row and number
// column are the headers (the corner shows the title of column 0), with a
// hook that lets the owner colour each cell before it is drawn. Column widths
// and hidden columns follow the table's ColWidth; rows are 24 pixels high.
// Cells are edited in a one-line editor that accepts only text code page 1251
// can hold; the table decides which cells are editable. Enter commits a name
// and goes on to the next row's name. Ctrl+C copies the selection, Ctrl+V
// pastes names down from the current row, Ctrl+Z takes back name edits.
class TColorStringGrid : public QTableView {
    Q_OBJECT
public:
    // Row before column, as the table counts them (row 0 = titles).
    using TColorEvent = std::function<void(TColorStringGrid* sender, int ARow, int ACol,
                                           QStyle::State AState, QBrush& ABrush, QFont& AFont)>;
    using TGetEditTextEvent = std::function<void(int col, int row)>;

    static constexpr int RowHeight = 24;

    explicit TColorStringGrid(QWidget* parent = nullptr);
    ~TColorStringGrid() override;

    // The table is not owned; it must outlive the grid or be cleared first.
    // names: where pasted names and Ctrl+Z go (none: only Ctrl+C works).
    void SetTable(TResultsTable* table, TNameEdits* names = nullptr);
    TResultsTable* Table() const { return m_table; }

    // Inner width without frame and vertical scroll bar, headers included:
    // what the fit rule divides.
    int ClientWidth() const;

    // Commits an open cell editor as Enter would and closes it; false when
    // none was open.
    bool CommitEditor();

    TColorEvent OnGetCellColor;
    TGetEditTextEvent OnGetEditText; // each time the cell editor opens

protected:
    // Draws one data cell; with OnGetCellColor assigned the hook picks the
    // brush and font first.
    virtual void DrawCell(QPainter* painter, const QStyleOptionViewItem& option, int ACol, int ARow);
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) override;

private:
    friend class TColorGridDelegate;
    void applyColumnWidths();
    void paintCorner(QWidget* corner);

    QPointer<TResultsTable> m_table;
    QPointer<TNameEdits> m_names;
    QPersistentModelIndex m_editing;          // the cell the last editor opened on
    TColorGridDelegate* m_delegate = nullptr; // child of this view
    QWidget* m_corner = nullptr;              // the view's own corner button
};
