#include "register/PrintTable.h"

#include "config/Cp1251.h"
#include "register/ResultsTable.h"

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
                 const TPrintLayout& layout)
        : FPainter(painter), FTable(table), FColumns(columns), FLayout(layout),
          FAscent(painter.fontMetrics().ascent()) {}

    // Top left corner of the text at (x, y).
    void Text(int x, int y, const QString& text) { FPainter.drawText(x, y + FAscent, text); }

    void Line(int row, int y) {
        int slot = 1;
        for (const int col : FColumns)
            Text(slot++ * FLayout.SlotWidth, y, Cp1251::decode(FTable.CellView(col, row)));
    }

private:
    QPainter& FPainter;
    const TResultsTable& FTable;
    const std::vector<int>& FColumns;
    const TPrintLayout& FLayout;
    int FAscent = 0;
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
    TPagePainter page(painter, table, columns, layout);
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
