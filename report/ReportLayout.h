#pragma once

#include <QFont>
#include <QPageLayout>
#include <QPageSize>
#include <QRectF>
#include <QString>
#include <QStringList>

#include <vector>

class QFontMetricsF;
class TReport;

// Where every text of a report goes on its pages, in device units of the
// page's printable area (its top left corner is 0, 0) at a given resolution.
// Pure computation: nothing is painted, so page numbers and "every row once,
// never cut" can be checked without reading a PDF.
class TReportLayout {
public:
    static constexpr qreal MinScale = 0.6; // of the table's font, for many columns

    // The rows of one page: [FirstRow, EndRow), the first from its line
    // FirstLine, the last up to (not including) its line EndLine. Only a
    // row taller than a whole page starts or ends within itself.
    struct TPage {
        int FirstRow = 0;
        int FirstLine = 0;
        int EndRow = 0;
        int EndLine = 0;
    };
    struct TBlock {
        QFont Font;
        QStringList Lines;
        bool Centred = false;
    };

    QPageLayout Page; // page size, orientation and margins to print with
    int Dpi = 0;
    QRectF Area;      // printable area, device units
    QFont TableFont;  // scaled down when the columns need it
    qreal Scale = 1;
    qreal LineHeight = 0; // of TableFont
    qreal Pad = 0;        // inside each cell
    std::vector<TBlock> Header; // atop every page
    qreal HeaderHeight = 0;
    std::vector<qreal> Widths;            // per column
    std::vector<QStringList> TitleLines;  // per column
    qreal TitleHeight = 0;
    std::vector<std::vector<QStringList>> Cells; // [row][column], wrapped
    std::vector<QStringList> InvalidLines;       // [row], over the table's width
    std::vector<int> RowLines;                   // cell lines then invalid lines
    QFont FooterFont;
    qreal FooterHeight = 0;
    std::vector<TPage> Pages;

    // The report on pages of size with margins (mm) at dpi; portrait unless
    // the columns need a landscape page.
    static TReportLayout Compute(const TReport& report, const QPageSize& size = QPageSize(QPageSize::A4),
                                 int dpi = 300, const QMarginsF& marginsMm = QMarginsF(20, 12, 10, 12));
    static QFont BaseFont();
    // Words to lines no wider than width; a word wider than that is broken.
    static QStringList Wrap(const QString& text, qreal width, const QFontMetricsF& metrics);

    int PageCount() const { return int(Pages.size()); }
    // "стр. N из M", page from 0.
    QString PageNumberText(int page) const;
    qreal RowHeight(int lines) const { return lines * LineHeight + 2 * Pad; }
    qreal TableWidth() const;
};
