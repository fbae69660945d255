#pragma once

#include <QAbstractTableModel>
#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <array>
#include <vector>

// The results register: 32 columns of code page 1251 texts, row 0 the column
// titles, column 0 the sample numbers, the last row the entry row.
//
// Qt model side: model row m is table row m + 1 and model column j is table
// column j + 1. The titles (table row 0) are the horizontal header, the sample
// numbers (table column 0) the vertical header. Out-of-range reads give an
// empty text; out-of-range writes are ignored.
class TResultsTable : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int ColCount = 32;
    static constexpr int DefaultColWidth = 64;

    // One row: the texts of all 32 cells back to back in one block, and where
    // each cell ends. Keeps a 50,000-row table at one allocation per row
    // instead of one per cell. Invariant: Ends is non-decreasing and
    // Ends[ColCount - 1] == Bytes.size().
    struct Row {
        QByteArray Bytes;
        std::array<quint32, ColCount> Ends{};
        // The archive's key of the measurement the row holds, where it is
        // known (taken from the analyser or the archive in this run); empty
        // otherwise. Not part of the results file.
        QString Key;

        QByteArrayView Cell(int col) const noexcept {
            const quint32 begin = col == 0 ? 0 : Ends[col - 1];
            return QByteArrayView(Bytes.constData() + begin, qsizetype(Ends[col] - begin));
        }
        void SetCell(int col, QByteArrayView text);
    };

    explicit TResultsTable(QObject* parent = nullptr);

    // A sample name as one line of the results file can hold it: line breaks
    // at its end dropped, then every tab, line break (CR LF counting as one)
    // or other control character a blank. A spreadsheet cell copied to the
    // clipboard brings a tab and a trailing line break along.
    static QString CleanName(QStringView text);

    QByteArray Cell(int col, int row) const;
    // Valid until the table is next changed; the loader and saver use it to
    // avoid a copy per cell.
    QByteArrayView CellView(int col, int row) const noexcept;
    // A whole row at once, for the saver; row must be below RowCount().
    const Row& RowAt(int row) const { return m_rows[size_t(row)]; }
    // Writing a measurement cell (column 2 on) drops the row's key: it is
    // another measurement now.
    void SetCell(int col, int row, QByteArrayView text);
    const QString& RowKey(int row) const;
    void SetRowKey(int row, const QString& key);
    int RowCount() const { return int(m_rows.size()); }
    // The title row always stays, so rows below 1 count as 1.
    void SetRowCount(int rows);
    int ColWidth(int col) const;
    // Widths of 0 or less hide the column and are kept as -1.
    void SetColWidth(int col, int width);
    bool ColVisible(int col) const { return ColWidth(col) > 0; }
    void FitColumns(int clientWidth);
    void ClearTable();
    void AddEntryRow();
    void RenumberRows();
    bool Modified() const { return m_modified; }
    // Announces a change with modifiedChanged.
    void SetModified(bool modified);

    // Replaces rows firstRow.. with rows in one model reset (bulk loading).
    void ReplaceRowsFrom(int firstRow, std::vector<Row>&& rows);
    // The same for every row below the titles without moving a row: rows
    // becomes the table, rows[0] only holding the title row's place.
    void ReplaceRowsBelowTitles(std::vector<Row>&& rows);
    // The cells as shown, a tab between two of a row, a line break after
    // each row but the last; rows and columns in the table's order. What
    // Ctrl+C copies of a selection.
    QString CellsText(QModelIndexList cells) const;
    // Heap and inline bytes the cell store uses, for measurements.
    qsizetype MemoryBytes() const;

    // QAbstractItemModel
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

signals:
    void columnWidthsChanged();
    void modifiedChanged();
    // setData changed the name of table row `row`; before: its name till then.
    void nameEdited(int row, const QString& before);

private:
    bool validCell(int col, int row) const noexcept {
        return col >= 0 && col < ColCount && row >= 0 && row < RowCount();
    }
    void cellChanged(int col, int row);

    std::vector<Row> m_rows;
    std::array<int, ColCount> m_widths{};
    bool m_modified = false;
};
