#include "results/ResultsTable.h"

#include "config/Cp1251.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

namespace {

constexpr int kNameCol = 1;

QByteArray numberText(int n) { return QByteArray::number(n); }

bool isLineBreak(QChar c) {
    switch (c.unicode()) {
    case u'\n':
    case u'\v':
    case u'\f':
    case u'\r':
    case 0x85:
    case 0x2028:
    case 0x2029:
        return true;
    default:
        return false;
    }
}

} // namespace

QString TResultsTable::CleanName(QStringView text) {
    while (!text.isEmpty() && isLineBreak(text.back()))
        text.chop(1);
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
            continue; // the LF that follows makes the one blank
        const bool blank = isLineBreak(c) || c.category() == QChar::Other_Control;
        out.append(blank ? QChar(u' ') : c);
    }
    return out;
}

void TResultsTable::Row::SetCell(int col, QByteArrayView text) {
    const quint32 begin = col == 0 ? 0 : Ends[col - 1];
    const quint32 oldLen = Ends[col] - begin;
    const qsizetype newSize = Bytes.size() - qsizetype(oldLen) + text.size();
    // Offsets are 32-bit to keep rows small; a row beyond 4 GiB cannot be held.
    if (newSize > qsizetype(std::numeric_limits<quint32>::max()))
        throw std::overflow_error("Row too long");
    if (qsizetype(oldLen) == text.size()) {
        if (!text.isEmpty())
            std::memmove(Bytes.data() + begin, text.data(), size_t(text.size()));
    } else if (newSize == 0) {
        Bytes = QByteArray();
    } else {
        // Built at its exact size: growing in place would leave spare
        // capacity in every row (renumbering touches them all).
        QByteArray bytes(newSize, Qt::Uninitialized);
        char* out = bytes.data();
        std::memcpy(out, Bytes.constData(), begin);
        if (!text.isEmpty())
            std::memcpy(out + begin, text.data(), size_t(text.size()));
        const quint32 tail = quint32(Bytes.size()) - begin - oldLen;
        std::memcpy(out + begin + text.size(), Bytes.constData() + begin + oldLen, tail);
        Bytes = std::move(bytes);
    }
    const qint64 delta = qint64(text.size()) - qint64(oldLen);
    for (int c = col; c < ColCount; ++c)
        Ends[c] = quint32(qint64(Ends[c]) + delta);
}

TResultsTable::TResultsTable(QObject* parent) : QAbstractTableModel(parent), m_rows(2) {
    m_widths.fill(DefaultColWidth);
    m_rows[1].SetCell(0, "1");
}

QByteArray TResultsTable::Cell(int col, int row) const {
    return CellView(col, row).toByteArray();
}

QByteArrayView TResultsTable::CellView(int col, int row) const noexcept {
    if (!validCell(col, row))
        return {};
    return m_rows[size_t(row)].Cell(col);
}

void TResultsTable::SetCell(int col, int row, QByteArrayView text) {
    if (!validCell(col, row))
        return;
    Row& r = m_rows[size_t(row)];
    if (r.Cell(col) == text)
        return;
    r.SetCell(col, text);
    if (col > kNameCol)
        r.Key.clear();
    cellChanged(col, row);
}

const QString& TResultsTable::RowKey(int row) const {
    static const QString none;
    return row >= 0 && row < RowCount() ? m_rows[size_t(row)].Key : none;
}

void TResultsTable::SetRowKey(int row, const QString& key) {
    if (row > 0 && row < RowCount())
        m_rows[size_t(row)].Key = key;
}

void TResultsTable::cellChanged(int col, int row) {
    if (row == 0) {
        // The number column's title has no section of its own; views show it
        // in the corner beside section 0.
        const int section = std::max(col - 1, 0);
        emit headerDataChanged(Qt::Horizontal, section, section);
    } else if (col == 0) {
        emit headerDataChanged(Qt::Vertical, row - 1, row - 1);
    } else {
        const QModelIndex i = index(row - 1, col - 1);
        emit dataChanged(i, i);
    }
}

void TResultsTable::SetRowCount(int rows) {
    rows = std::max(rows, 1);
    const int old = RowCount();
    if (rows > old) {
        beginInsertRows(QModelIndex(), old - 1, rows - 2);
        m_rows.resize(size_t(rows));
        endInsertRows();
    } else if (rows < old) {
        beginRemoveRows(QModelIndex(), rows - 1, old - 2);
        m_rows.resize(size_t(rows));
        m_rows.shrink_to_fit();
        endRemoveRows();
    }
}

void TResultsTable::SetModified(bool modified) {
    if (modified == m_modified)
        return;
    m_modified = modified;
    emit modifiedChanged();
}

int TResultsTable::ColWidth(int col) const {
    return col >= 0 && col < ColCount ? m_widths[size_t(col)] : -1;
}

void TResultsTable::SetColWidth(int col, int width) {
    if (col < 0 || col >= ColCount)
        return;
    width = width > 0 ? width : -1;
    if (m_widths[size_t(col)] == width)
        return;
    m_widths[size_t(col)] = width;
    emit columnWidthsChanged();
}

void TResultsTable::FitColumns(int clientWidth) {
    const int n = int(std::count_if(m_widths.begin(), m_widths.end(), [](int w) { return w > 0; }));
    if (n == 0)
        return;
    // A unit below 1, or the name column's "- 10", would give visible columns
    // a width of 0 or less and so hide them for good; every visible column
    // keeps at least 1 pixel.
    const int w = std::max(1, (clientWidth - 2) / n);
    const auto fitted = [](int width) { return std::max(1, width); };
    std::array<int, ColCount> widths = m_widths;
    widths[0] = fitted(w / 2);
    widths[1] = fitted(w + w / 2 - 10);
    for (int c = 2; c < ColCount; ++c) {
        if (widths[size_t(c)] > 0)
            widths[size_t(c)] = w;
    }
    // Announced even when nothing changed here: columns the operator dragged
    // in the view get their fitted widths back at every fit.
    m_widths = widths;
    emit columnWidthsChanged();
}

void TResultsTable::ClearTable() {
    // Rows go first: a cleared cell of a measurement row would read as an
    // edit of that measurement.
    SetRowCount(2);
    for (int c = 1; c < ColCount; ++c)
        SetCell(c, 1, {});
    m_rows[1].Key.clear();
}

void TResultsTable::AddEntryRow() {
    const int row = RowCount();
    SetRowCount(row + 1);
    SetCell(0, row, numberText(row));
}

void TResultsTable::RenumberRows() {
    const int last = RowCount() - 1;
    for (int r = 1; r <= last; ++r)
        m_rows[size_t(r)].SetCell(0, numberText(r));
    if (last >= 1)
        emit headerDataChanged(Qt::Vertical, 0, last - 1);
}

void TResultsTable::ReplaceRowsFrom(int firstRow, std::vector<Row>&& rows) {
    firstRow = std::clamp(firstRow, 1, RowCount());
    beginResetModel();
    m_rows.resize(size_t(firstRow));
    m_rows.reserve(m_rows.size() + rows.size());
    std::move(rows.begin(), rows.end(), std::back_inserter(m_rows));
    rows.clear();
    endResetModel();
}

void TResultsTable::ReplaceRowsBelowTitles(std::vector<Row>&& rows) {
    if (rows.empty())
        rows.emplace_back();
    beginResetModel();
    rows.front() = std::move(m_rows.front());
    m_rows.swap(rows);
    // A vector grown row by row may hold much room to spare; a table keeps
    // its rows for long.
    if (m_rows.capacity() - m_rows.size() > m_rows.size() / 16 + 16)
        m_rows.shrink_to_fit();
    endResetModel();
    rows.clear();
}

QString TResultsTable::CellsText(QModelIndexList cells) const {
    std::sort(cells.begin(), cells.end(), [](const QModelIndex& a, const QModelIndex& b) {
        return std::pair(a.row(), a.column()) < std::pair(b.row(), b.column());
    });
    QString text;
    for (qsizetype i = 0; i < cells.size(); ++i) {
        if (i > 0)
            text += cells[i].row() == cells[i - 1].row() ? u'\t' : u'\n';
        text += data(cells[i]).toString();
    }
    return text;
}

qsizetype TResultsTable::MemoryBytes() const {
    // QArrayData header of an allocated QByteArray (ref count, flags, capacity).
    constexpr qsizetype kHeader = 16;
    qsizetype total = qsizetype(m_rows.capacity() * sizeof(Row));
    for (const Row& r : m_rows) {
        if (!r.Bytes.isNull())
            total += r.Bytes.capacity() + 1 + kHeader;
        if (!r.Key.isNull())
            total += (r.Key.capacity() + 1) * qsizetype(sizeof(QChar)) + kHeader;
    }
    return total;
}

int TResultsTable::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : RowCount() - 1;
}

int TResultsTable::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColCount - 1;
}

QVariant TResultsTable::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::EditRole))
        return {};
    return Cp1251::decode(CellView(index.column() + 1, index.row() + 1));
}

bool TResultsTable::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || role != Qt::EditRole || !(flags(index) & Qt::ItemIsEditable))
        return false;
    // Tabs and line breaks would split the row in the results file.
    const QString text = CleanName(value.toString());
    // Text the code page cannot hold is refused rather than stored mangled.
    bool ok = false;
    const QByteArray bytes = Cp1251::encode(text, &ok);
    if (!ok)
        return false;
    const int col = index.column() + 1;
    const int row = index.row() + 1;
    if (CellView(col, row) == bytes)
        return true;
    const QString before = Cp1251::decode(CellView(col, row));
    SetCell(col, row, bytes);
    emit nameEdited(row, before);
    return true;
}

QVariant TResultsTable::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || section < 0)
        return {};
    if (orientation == Qt::Horizontal)
        return section + 1 < ColCount ? QVariant(Cp1251::decode(CellView(section + 1, 0))) : QVariant();
    return section + 1 < RowCount() ? QVariant(Cp1251::decode(CellView(0, section + 1))) : QVariant();
}

Qt::ItemFlags TResultsTable::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() + 1 == kNameCol)
        f |= Qt::ItemIsEditable;
    return f;
}
