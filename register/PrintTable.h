#pragma once

#include <QString>

#include <stdexcept>

class QFont;
class QPagedPaintDevice;
class TResultsTable;

// A printing failure: no default printer, or a document that cannot be begun.
class EPrinter : public std::runtime_error {
public:
    explicit EPrinter(const QString& message);
};

// The fixed page grid, in device units of the printable area.
struct TPrintLayout {
    int TextHeight = 1;  // h: height of one line of text
    int Lines = 1;       // L: printable height div h, at least 1
    int Pitch = 1;       // H: printable height div L
    int Columns = 0;     // N: visible columns
    int SlotWidth = 0;   // W: printable width div (N + 1)
    int RowsPerPage = 1; // L - 4 table rows, at least 1
};

TPrintLayout ComputePrintLayout(int pageW, int pageH, int textH, int visibleCols);

// "Стр. <page>", 20 blanks, then the file name without its folder.
QString PrintHeader(int page, const QString& fileName);

// Draws table rows 1..lastRow, visible columns only, onto any paged device
// (QPrinter, QPdfWriter). The text height h is QFontMetrics::height() of the
// font on the device (ascent + descent: the height of a line of "X"), and each
// text is drawn with its top left corner at the grid point. A cell text runs
// on into the next slots only while they are empty on that line; otherwise it
// is cut short of the next text.
void PrintTable(QPagedPaintDevice& device, const QFont& font, const TResultsTable& table, int lastRow,
                const QString& fileName);

// The Print command's service: the same on the default printer. Without one
// it throws EPrinter("There is no default printer currently selected") and
// prints nothing.
void PrintTableOnDefaultPrinter(const QFont& font, const TResultsTable& table, int lastRow,
                                const QString& fileName);
