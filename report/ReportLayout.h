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
//
// Portrait when the columns fit, else landscape, else a smaller font (down
// to MinScale); more indicators than that still fits are split into sections,
// each with the number, name, date, time and calibration again, whose pages
// follow one another.
class TReportLayout {
public:
    static constexpr qreal MinScale = 0.75;

    // Some of the report's columns with the rows wrapped to their widths.
    struct TSection {
        std::vector<int> Columns;            // of the report
        std::vector<qreal> Widths;           // per column of the section
        std::vector<QStringList> TitleLines; // per column of the section
        qreal TitleHeight = 0;
        std::vector<std::vector<QStringList>> Cells; // [row][column of the section]
        std::vector<QStringList> InvalidLines;       // [row], over the section's width
        std::vector<int> RowLines;                   // cell lines then invalid lines

        qreal Width() const;
    };
    // The rows of one page: [FirstRow, EndRow), the first from its line
    // FirstLine, the last up to (not including) its line EndLine. Only a
    // row taller than a whole page starts or ends within itself.
    struct TPage {
        int Section = 0;
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
    QRectF Area;     // printable area, device units
    QFont TableFont; // scaled down when the columns need it
    qreal Scale = 1;
    qreal LineHeight = 0;       // of TableFont
    qreal Pad = 0;              // inside each cell
    std::vector<TBlock> Header; // atop every page
    qreal HeaderHeight = 0;
    std::vector<TSection> Sections;
    QFont FooterFont;
    qreal FooterHeight = 0;
    std::vector<TPage> Pages;

    // The report on pages of size with margins (mm) at dpi.
    static TReportLayout Compute(const TReport& report,
                                 const QPageSize& size = QPageSize(QPageSize::A4), int dpi = 300,
                                 const QMarginsF& marginsMm = QMarginsF(20, 12, 10, 12));
    static QFont BaseFont();
    // Words to lines no wider than width, broken at blanks (dropped) and
    // after '.', ',', '/' and '-' (kept); a piece wider than that is broken
    // where the line is full.
    static QStringList Wrap(const QString& text, qreal width, const QFontMetricsF& metrics);

    int PageCount() const { return int(Pages.size()); }
    // "стр. N из M", page from 0.
    QString PageNumberText(int page) const;
    qreal RowHeight(int lines) const { return lines * LineHeight + 2 * Pad; }
};
