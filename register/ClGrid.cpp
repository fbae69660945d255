#include "register/ClGrid.h"

#include "config/Cp1251.h"
#include "document/NameEdits.h"
#include "results/ResultsTable.h"

#include <QAbstractButton>
#include <QClipboard>
#include <QEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionHeader>
#include <QStyledItemDelegate>
#include <QValidator>

#include <limits>

namespace {

// Refuses any character code page 1251 has no byte for, so nothing typed or
// pasted is silently replaced when the cell is stored. Line breaks (U+2028
// among them) and tabs are let through: the table turns them into blanks.
class Cp1251Validator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int& /*pos*/) const override {
        return Cp1251::canEncode(TResultsTable::CleanName(input)) ? Acceptable : Invalid;
    }
};

} // namespace

// Routes cell painting through the grid's DrawCell and reports each editor
// opening to the grid's owner.
class TColorGridDelegate : public QStyledItemDelegate {
public:
    explicit TColorGridDelegate(TColorStringGrid* grid) : QStyledItemDelegate(grid), m_grid(grid) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem opt(option);
        initStyleOption(&opt, index);
        m_grid->DrawCell(painter, opt, index.column() + 1, index.row() + 1);
    }

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& /*option*/,
                          const QModelIndex& index) const override {
        auto* editor = new QLineEdit(parent);
        editor->setFrame(false);
        // Cells have no length limit; the editor's default would cut long names.
        editor->setMaxLength(std::numeric_limits<int>::max());
        editor->setValidator(new Cp1251Validator(editor));
        m_grid->m_editing = index;
        if (m_grid->OnGetEditText)
            m_grid->OnGetEditText(index.column() + 1, index.row() + 1);
        return editor;
    }

protected:
    // Several lines pasted into an open editor go one name a row, as they do
    // onto a selected cell, instead of joining into one name.
    bool eventFilter(QObject* object, QEvent* event) override {
        auto* editor = qobject_cast<QWidget*>(object);
        if (editor && event->type() == QEvent::KeyPress &&
            static_cast<QKeyEvent*>(event)->matches(QKeySequence::Paste) && m_grid->m_names) {
            const QString text = QGuiApplication::clipboard()->text();
            if (TNameEdits::Lines(text).size() > 1) {
                const int row = m_grid->m_editing.row() + 1;
                emit closeEditor(editor, QAbstractItemDelegate::RevertModelCache);
                m_grid->m_names->Paste(row, text);
                return true;
            }
        }
        return QStyledItemDelegate::eventFilter(object, event);
    }

private:
    TColorStringGrid* m_grid;
};

TColorStringGrid::TColorStringGrid(QWidget* parent)
    : QTableView(parent), m_delegate(new TColorGridDelegate(this)) {
    setItemDelegate(m_delegate);
    setEditTriggers(DoubleClicked | SelectedClicked | EditKeyPressed | AnyKeyPressed);
    // A block of cells, for Ctrl+C to a spreadsheet.
    setSelectionMode(ContiguousSelection);
    setSelectionBehavior(SelectItems);
    setWordWrap(false);

    QHeaderView* rows = verticalHeader();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setMinimumSectionSize(1);
    rows->setDefaultSectionSize(RowHeight);
    rows->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    rows->setSectionsClickable(false);
    rows->setHighlightSections(false);

    QHeaderView* cols = horizontalHeader();
    cols->setFixedHeight(RowHeight);
    cols->setMinimumSectionSize(1);
    cols->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    cols->setSectionsClickable(false);
    cols->setHighlightSections(false);

    // The corner button would select the whole table; here it only shows the
    // title of the number column.
    setCornerButtonEnabled(false);
    m_corner = findChild<QAbstractButton*>();
    if (m_corner)
        m_corner->installEventFilter(this);
}

TColorStringGrid::~TColorStringGrid() {
    if (m_corner)
        m_corner->removeEventFilter(this);
}

void TColorStringGrid::SetTable(TResultsTable* table, TNameEdits* names) {
    if (m_table)
        disconnect(m_table, nullptr, this, nullptr);
    m_table = table;
    m_names = names;
    setModel(table);
    if (!table)
        return;
    connect(table, &TResultsTable::columnWidthsChanged, this, &TColorStringGrid::applyColumnWidths);
    // A reset forgets the header's hidden sections.
    connect(table, &QAbstractItemModel::modelReset, this, &TColorStringGrid::applyColumnWidths);
    connect(table, &QAbstractItemModel::headerDataChanged, this, [this] {
        if (m_corner)
            m_corner->update();
    });
    applyColumnWidths();
}

int TColorStringGrid::ClientWidth() const {
    int w = width() - 2 * frameWidth();
    if (verticalScrollBar()->isVisible())
        w -= verticalScrollBar()->width();
    return std::max(0, w);
}

void TColorStringGrid::applyColumnWidths() {
    if (!m_table)
        return;
    const int numberWidth = m_table->ColWidth(0);
    verticalHeader()->setVisible(numberWidth > 0);
    if (numberWidth > 0)
        verticalHeader()->setFixedWidth(numberWidth);
    for (int c = 1; c < TResultsTable::ColCount; ++c) {
        const int w = m_table->ColWidth(c);
        setColumnHidden(c - 1, w <= 0);
        if (w > 0)
            setColumnWidth(c - 1, w);
    }
}

void TColorStringGrid::DrawCell(QPainter* painter, const QStyleOptionViewItem& option, int ACol, int ARow) {
    QStyle* st = option.widget ? option.widget->style() : style();
    if (!OnGetCellColor) {
        st->drawControl(QStyle::CE_ItemViewItem, &option, painter, option.widget);
        return;
    }
    const bool selected = option.state & QStyle::State_Selected;
    QBrush brush = selected ? option.palette.brush(QPalette::Highlight)
                 : option.backgroundBrush.style() != Qt::NoBrush ? option.backgroundBrush
                                                                 : option.palette.brush(QPalette::Base);
    QFont font = option.font;
    OnGetCellColor(this, ARow, ACol, option.state & (QStyle::State_Selected | QStyle::State_HasFocus),
                   brush, font);
    painter->fillRect(option.rect, brush);
    // The text goes over the chosen brush; the style must not paint its own
    // selection background on top.
    QStyleOptionViewItem opt(option);
    opt.font = font;
    opt.fontMetrics = QFontMetrics(font);
    opt.backgroundBrush = Qt::NoBrush;
    if (selected) {
        opt.state &= ~QStyle::State_Selected;
        opt.palette.setBrush(QPalette::Text, option.palette.brush(QPalette::HighlightedText));
    }
    st->drawControl(QStyle::CE_ItemViewItem, &opt, painter, option.widget);
}

bool TColorStringGrid::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_corner && event->type() == QEvent::Paint) {
        paintCorner(m_corner);
        return true;
    }
    return QTableView::eventFilter(watched, event);
}

void TColorStringGrid::paintCorner(QWidget* corner) {
    QStyleOptionHeader opt;
    opt.initFrom(corner);
    // The button is disabled (no select-all), the title must not look so.
    opt.palette = palette();
    opt.palette.setCurrentColorGroup(QPalette::Active);
    opt.state = QStyle::State_Enabled | QStyle::State_Raised;
    opt.rect = corner->rect();
    opt.position = QStyleOptionHeader::OnlyOneSection;
    opt.textAlignment = Qt::AlignLeft | Qt::AlignVCenter;
    if (m_table)
        opt.text = Cp1251::decode(m_table->CellView(0, 0));
    QPainter painter(corner);
    corner->style()->drawControl(QStyle::CE_Header, &opt, &painter, corner);
}

bool TColorStringGrid::CommitEditor() {
    if (state() != QAbstractItemView::EditingState)
        return false;
    QWidget* editor = indexWidget(currentIndex());
    if (!editor)
        return false;
    commitData(editor);
    closeEditor(editor, QAbstractItemDelegate::NoHint);
    return true;
}

void TColorStringGrid::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy) && m_table) {
        QGuiApplication::clipboard()->setText(m_table->CellsText(selectedIndexes()));
        return;
    }
    if (event->matches(QKeySequence::Paste) && m_names) {
        // Only where a name can be typed.
        if (model() && (model()->flags(currentIndex()) & Qt::ItemIsEditable))
            m_names->Paste(currentIndex().row() + 1, QGuiApplication::clipboard()->text());
        return;
    }
    if (event->matches(QKeySequence::Undo) && m_names) {
        m_names->Undo();
        return;
    }
    QTableView::keyPressEvent(event);
}

void TColorStringGrid::closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) {
    const QModelIndex edited = m_editing;
    QTableView::closeEditor(editor, hint);
    // Enter and Return commit with this hint, and so does a move to another
    // row, which has changed the current cell already. After Enter the next
    // name is typed into the next row, not over the one just written; the
    // entry row is the last.
    if (hint != QAbstractItemDelegate::SubmitModelCache || edited != currentIndex())
        return;
    const QModelIndex next = edited.sibling(edited.row() + 1, edited.column());
    if (!next.isValid())
        return;
    setCurrentIndex(next);
    scrollTo(next);
    edit(next);
}
