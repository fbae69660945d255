#include "register/PrintTable.h"

#include "config/Cp1251.h"
#include "results/ResultsTable.h"

#include <QFileInfo>
#include <QFont>
#include <QFontMetrics>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>

#include <algorithm>
#include <vector>

EPrinter::EPrinter(const QString& message) : std::runtime_error(message.toStdString()) {}

TPrintLayout ComputePrintLayout(int pageW, int pageH, int textH, int visibleCols) {
    TPrintLayout layout;
    layout.TextHeight = std::max(textH, 1);
    // A font taller than the page still gets one line, so H never divides by zero.
    layout.Lines = std::max(pageH / layout.TextHeight, 1);
    layout.Pitch = pageH / layout.Lines;
    layout.Columns = std::max(visibleCols, 0);
    layout.SlotWidth = pageW / (layout.Columns + 1);
    // With fewer than five lines every row would land on one page below its
    // edge; one row per page at least keeps every row printed.
    layout.RowsPerPage = std::max(layout.Lines - 4, 1);
    return layout;
}

QString PrintHeader(int page, const QString& fileName) {
    return QStringLiteral("Стр. ") + QString::number(page) + QString(20, QLatin1Char(' ')) +
           QFileInfo(fileName).fileName();
}

namespace {

class TPagePainter {
public:
    TPagePainter(QPainter& painter, const TResultsTable& table, const std::vector<int>& columns,
                 const TPrintLayout& layout, int pageWidth)
        : FPainter(painter), FTable(table), FColumns(columns), FLayout(layout),
          FMetrics(painter.fontMetrics()), FAscent(FMetrics.ascent()), FPageWidth(pageWidth),
          FGap(FMetrics.horizontalAdvance(QLatin1Char(' '))) {}

    // Top left corner of the text at (x, y).
    void Text(int x, int y, const QString& text) { FPainter.drawText(x, y + FAscent, text); }

    // A text wider than its slot runs on over the following empty slots, as
    // in a spreadsheet; before a filled slot it is cut, a blank's width short
    // of it, so no two texts are printed over each other.
    void Line(int row, int y) {
        const size_t n = FColumns.size();
        for (size_t i = 0; i < n; ++i) {
            const QByteArrayView cell = FTable.CellView(FColumns[i], row);
            if (cell.isEmpty())
                continue;
            size_t next = i + 1;
            while (next < n && FTable.CellView(FColumns[next], row).isEmpty())
                ++next;
            const int x = int(i + 1) * FLayout.SlotWidth;
            const int end = next < n ? int(next + 1) * FLayout.SlotWidth - FGap : FPageWidth;
            Text(x, y, Fitted(Cp1251::decode(cell), end - x));
        }
    }

private:
    // The longest beginning of text that fits into width.
    QString Fitted(const QString& text, int width) const {
        if (FMetrics.horizontalAdvance(text) <= width)
            return text;
        qsizetype lo = 0;
        qsizetype hi = text.size();
        while (lo < hi) {
            const qsizetype mid = (lo + hi + 1) / 2;
            if (FMetrics.horizontalAdvance(text.left(mid)) <= width)
                lo = mid;
            else
                hi = mid - 1;
        }
        return text.left(lo);
    }

    QPainter& FPainter;
    const TResultsTable& FTable;
    const std::vector<int>& FColumns;
    const TPrintLayout& FLayout;
    QFontMetrics FMetrics;
    int FAscent = 0;
    int FPageWidth = 0;
    int FGap = 0;
};

} // namespace

void PrintTable(QPagedPaintDevice& device, const QFont& font, const TResultsTable& table, int lastRow,
                const QString& fileName) {
    QPainter painter;
    if (!painter.begin(&device))
        throw EPrinter(QStringLiteral("Printing could not be started"));
    painter.setFont(font);

    std::vector<int> columns;
    for (int col = 0; col < TResultsTable::ColCount; ++col) {
        if (table.ColWidth(col) > 0)
            columns.push_back(col);
    }
    const TPrintLayout layout = ComputePrintLayout(device.width(), device.height(),
                                                   QFontMetrics(font, &device).height(), int(columns.size()));
    TPagePainter page(painter, table, columns, layout, device.width());
    // Rows the table does not have are not printed.
    const int last = std::min(lastRow, table.RowCount() - 1);

    int pageNumber = 1;
    int row = 1;
    int rowsOnPage = 0;
    int y = 0;
    do {
        if (y == 0) {
            page.Text(800, layout.Pitch, PrintHeader(pageNumber, fileName));
            y = 3 * layout.Pitch;
            page.Line(0, y);
        }
        if (row > last)
            break;
        y += layout.Pitch;
        page.Line(row, y);
        ++row;
        ++rowsOnPage;
        if (rowsOnPage == layout.RowsPerPage && row <= last) {
            if (!device.newPage()) {
                painter.end();
                throw EPrinter(QStringLiteral("Printing failed on page %1").arg(pageNumber + 1));
            }
            y = 0;
            rowsOnPage = 0;
            ++pageNumber;
        }
    } while (row <= last);

    if (!painter.end())
        throw EPrinter(QStringLiteral("Printing could not be completed"));
}

void PrintTableOnDefaultPrinter(const QFont& font, const TResultsTable& table, int lastRow,
                                const QString& fileName) {
    const QPrinterInfo info = QPrinterInfo::defaultPrinter();
    if (info.isNull())
        throw EPrinter(QStringLiteral("There is no default printer currently selected"));
    // Device units at the printer's own resolution, where the fixed x of 800
    // for the header sits about an inch or two from the left.
    QPrinter printer(info, QPrinter::HighResolution);
    printer.setDocName(QFileInfo(fileName).fileName());
    PrintTable(printer, font, table, lastRow, fileName);
}
