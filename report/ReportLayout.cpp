#include "report/ReportLayout.h"

#include "report/Report.h"

#include <QFontMetricsF>
#include <QImage>

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

constexpr qreal kMmPerInch = 25.4;

// A paint device of the given resolution, for font metrics only.
QImage Probe(int dpi) {
    QImage image(1, 1, QImage::Format_RGB32);
    image.setDotsPerMeterX(qRound(dpi / 0.0254));
    image.setDotsPerMeterY(qRound(dpi / 0.0254));
    return image;
}

QFont Sized(QFont font, qreal points, bool bold = false) {
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

qreal Widest(const QStringList& lines, const QFontMetricsF& metrics) {
    qreal widest = 0;
    for (const QString& line : lines)
        widest = std::max(widest, metrics.horizontalAdvance(line));
    return widest;
}

} // namespace

QFont TReportLayout::BaseFont() {
    QFont font;
    font.setFamilies({QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("Arial")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(9);
    return font;
}

QStringList TReportLayout::Wrap(const QString& text, qreal width, const QFontMetricsF& metrics) {
    QStringList lines;
    QString line;
    const auto fits = [&](const QString& s) { return metrics.horizontalAdvance(s) <= width; };
    for (QString word : text.split(u' ', Qt::SkipEmptyParts)) {
        const QString joined = line.isEmpty() ? word : line + u' ' + word;
        if (fits(joined)) {
            line = joined;
            continue;
        }
        if (!line.isEmpty())
            lines << line;
        line.clear();
        // Wider than a line on its own: broken where the line is full.
        while (!fits(word)) {
            qsizetype n = 1;
            while (n < word.size() && fits(word.left(n + 1)))
                ++n;
            lines << word.left(n);
            word.remove(0, n);
        }
        line = word;
    }
    if (!line.isEmpty() || lines.isEmpty())
        lines << line;
    return lines;
}

qreal TReportLayout::TableWidth() const {
    return std::accumulate(Widths.begin(), Widths.end(), qreal(0));
}

QString TReportLayout::PageNumberText(int page) const {
    return QStringLiteral("стр. %1 из %2").arg(page + 1).arg(PageCount());
}

TReportLayout TReportLayout::Compute(const TReport& report, const QPageSize& size, int dpi,
                                     const QMarginsF& marginsMm) {
    TReportLayout l;
    l.Dpi = dpi;
    const QImage probe = Probe(dpi);
    const qreal mm = dpi / kMmPerInch;
    const QFont base = BaseFont();
    const int columns = int(report.Columns.size());

    // Each column as wide as its widest value and the longest word of its
    // title (up to nine characters: longer titles wrap); the sample name
    // up to 30 characters, the rest of its text wraps.
    std::vector<qreal> full(size_t(columns), 0);
    const auto natural = [&](const QFont& font, qreal pad) {
        const QFontMetricsF metrics(font, &probe);
        const QFontMetricsF bold(Sized(font, font.pointSizeF(), true), &probe);
        const qreal chars = metrics.averageCharWidth();
        std::vector<qreal> widths(size_t(columns), 0);
        for (int c = 0; c < columns; ++c) {
            qreal values = metrics.horizontalAdvance(QStringLiteral("00"));
            for (const TReportRow& row : report.Rows)
                values = std::max(values, metrics.horizontalAdvance(row.Cells.value(c)));
            const qreal title =
                std::min(Widest(report.Columns[c].split(u' ', Qt::SkipEmptyParts), bold), 9 * chars);
            full[size_t(c)] = std::max(values, title) + 2 * pad;
            if (c == TReport::NameColumn)
                values = std::clamp(values, 14 * chars, 30 * chars);
            widths[size_t(c)] = std::max(values, title) + 2 * pad;
        }
        return widths;
    };
    const auto sum = [](const std::vector<qreal>& w) {
        return std::accumulate(w.begin(), w.end(), qreal(0));
    };

    const QPageLayout portrait(size, QPageLayout::Portrait, marginsMm, QPageLayout::Millimeter);
    const QPageLayout landscape(size, QPageLayout::Landscape, marginsMm, QPageLayout::Millimeter);
    l.Pad = 0.8 * mm;
    std::vector<qreal> widths = natural(base, l.Pad);
    l.Page = sum(widths) <= portrait.paintRectPixels(dpi).width() ? portrait : landscape;
    l.Area = QRectF(QPointF(0, 0), QSizeF(l.Page.paintRectPixels(dpi).size()));
    // Too wide for a landscape page: a smaller font, down to MinScale.
    for (int tries = 0; tries < 3 && sum(widths) > l.Area.width() && l.Scale > MinScale; ++tries) {
        l.Scale = std::max(MinScale, l.Scale * l.Area.width() / sum(widths));
        l.Pad = 0.8 * mm * l.Scale;
        widths = natural(Sized(base, base.pointSizeF() * l.Scale), l.Pad);
    }
    const qreal total = sum(widths);
    if (total > l.Area.width()) {
        // Still too wide: every column narrower alike, values then wrap.
        for (qreal& w : widths)
            w *= l.Area.width() / total;
    } else {
        // Room to spare goes to the sample name, up to its longest.
        qreal& name = widths[size_t(TReport::NameColumn)];
        name = std::max(name, std::min(full[size_t(TReport::NameColumn)],
                                       name + l.Area.width() - total));
    }
    l.Widths = widths;
    l.TableFont = Sized(base, base.pointSizeF() * l.Scale);
    const QFontMetricsF metrics(l.TableFont, &probe);
    const QFontMetricsF bold(Sized(l.TableFont, l.TableFont.pointSizeF(), true), &probe);
    l.LineHeight = metrics.lineSpacing();

    // The heading: laboratory, title, instrument, period, filter.
    const auto block = [&](const QFont& font, const QString& text, bool centred) {
        const QFontMetricsF m(font, &probe);
        l.Header.push_back(TBlock{font, Wrap(text, l.Area.width(), m), centred});
        l.HeaderHeight += l.Header.back().Lines.size() * m.lineSpacing();
    };
    if (!report.Laboratory.trimmed().isEmpty())
        block(Sized(base, 11, true), report.Laboratory.trimmed(), false);
    block(Sized(base, 13, true), report.Title, true);
    block(base, QStringLiteral("Прибор: ") + report.Instrument, false);
    block(base, QStringLiteral("Период: ") + report.Period, false);
    block(base, QStringLiteral("Отбор: ") + report.Filter, false);
    l.HeaderHeight += 2 * mm;

    l.FooterFont = Sized(base, 8);
    // Room to sign above the signature line, then the line of the print.
    l.FooterHeight = 10 * mm + 2 * QFontMetricsF(l.FooterFont, &probe).lineSpacing();

    int titleLines = 1;
    for (int c = 0; c < columns; ++c) {
        l.TitleLines.push_back(Wrap(report.Columns[c], widths[size_t(c)] - 2 * l.Pad, bold));
        titleLines = std::max(titleLines, int(l.TitleLines.back().size()));
    }
    l.TitleHeight = l.RowHeight(titleLines);

    QFont italic = l.TableFont;
    italic.setItalic(true);
    const QFontMetricsF invalid(italic, &probe);
    for (const TReportRow& row : report.Rows) {
        std::vector<QStringList> cells;
        int lines = 1;
        for (int c = 0; c < columns; ++c) {
            cells.push_back(Wrap(row.Cells.value(c), widths[size_t(c)] - 2 * l.Pad, metrics));
            lines = std::max(lines, int(cells.back().size()));
        }
        l.Cells.push_back(std::move(cells));
        l.InvalidLines.push_back(row.Invalid.isEmpty()
                                     ? QStringList()
                                     : Wrap(row.Invalid, l.TableWidth() - 2 * l.Pad, invalid));
        l.RowLines.push_back(lines + int(l.InvalidLines.back().size()));
    }

    // Rows to pages; a row moves whole to the next page, unless it is taller
    // than a page: then it goes on over as many as it needs.
    const qreal room = l.Area.height() - l.HeaderHeight - l.TitleHeight - l.FooterHeight;
    const int pageLines = std::max(1, int(std::floor((room - 2 * l.Pad) / l.LineHeight)));
    TPage page;
    qreal used = 0;
    for (int r = 0; r < int(report.Rows.size()); ++r) {
        int line = 0;
        for (;;) {
            const int rest = l.RowLines[size_t(r)] - line;
            if (used + l.RowHeight(rest) <= room || (used == 0 && rest <= pageLines)) {
                used += l.RowHeight(rest);
                page.EndRow = r + 1;
                page.EndLine = l.RowLines[size_t(r)];
                break;
            }
            if (used == 0) {
                page.EndRow = r + 1;
                page.EndLine = line + pageLines;
                line += pageLines;
            }
            l.Pages.push_back(page);
            page = TPage{r, line, r, line};
            used = 0;
        }
    }
    l.Pages.push_back(page);
    return l;
}
