#include "report/ReportLayout.h"

#include "report/Report.h"

#include <QFontMetricsF>
#include <QImage>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

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

struct TPiece {
    QString Text;
    bool Blank = false; // a blank before it
};

// The text cut where a line may break.
std::vector<TPiece> Pieces(const QString& text) {
    std::vector<TPiece> pieces;
    bool blank = false;
    QString piece;
    const auto close = [&] {
        if (!piece.isEmpty())
            pieces.push_back(TPiece{piece, blank});
        piece.clear();
        blank = false;
    };
    for (const QChar c : text) {
        if (c.isSpace()) {
            close();
            blank = !pieces.empty();
            continue;
        }
        piece += c;
        if (c == u'.' || c == u',' || c == u'/' || c == u'-')
            close();
    }
    close();
    return pieces;
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
    // A column as wide as its widest text must not lose it to rounding.
    const auto fits = [&](const QString& s) {
        return metrics.horizontalAdvance(s) <= width + 0.01;
    };
    for (TPiece& piece : Pieces(text)) {
        const QString joined =
            line.isEmpty() ? piece.Text
                           : line + (piece.Blank ? QStringLiteral(" ") : QString()) + piece.Text;
        if (fits(joined)) {
            line = joined;
            continue;
        }
        if (!line.isEmpty())
            lines << line;
        // Wider than a line on its own: broken where the line is full.
        QString rest = piece.Text;
        while (!fits(rest)) {
            qsizetype n = 1;
            while (n < rest.size() && fits(rest.left(n + 1)))
                ++n;
            lines << rest.left(n);
            rest.remove(0, n);
        }
        line = rest;
    }
    if (!line.isEmpty() || lines.isEmpty())
        lines << line;
    return lines;
}

qreal TReportLayout::TSection::Width() const {
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

    // Each column as wide as its widest value, or the longest piece of its
    // title up to 16 characters (longer pieces are broken); the
    // sample name from 14 to 30 characters, the rest of it wraps.
    std::vector<qreal> full; // the name unclamped
    const auto natural = [&](qreal scale) {
        const QFont font = Sized(base, base.pointSizeF() * scale);
        const qreal pad = 0.8 * mm * scale;
        const QFontMetricsF metrics(font, &probe);
        const QFontMetricsF bold(Sized(font, font.pointSizeF(), true), &probe);
        const qreal chars = metrics.averageCharWidth();
        std::vector<qreal> widths(size_t(columns), 0);
        full.assign(size_t(columns), 0);
        for (int c = 0; c < columns; ++c) {
            qreal values = metrics.horizontalAdvance(QStringLiteral("00"));
            for (const TReportRow& row : report.Rows)
                values = std::max(values, metrics.horizontalAdvance(row.Cells.value(c)));
            qreal title = 0;
            for (const TPiece& piece : Pieces(report.Columns[c]))
                title = std::max(title, bold.horizontalAdvance(piece.Text));
            title = std::min(title, std::max(values, 16 * chars));
            full[size_t(c)] = std::max(values, title) + 2 * pad;
            if (c == TReport::NameColumn)
                values = std::clamp(values, 14 * chars, 30 * chars);
            widths[size_t(c)] = std::max(values, title) + 2 * pad;
        }
        return widths;
    };
    const auto sum = [](const std::vector<qreal>& w, int from = 0, int to = -1) {
        return std::accumulate(w.begin() + from, to < 0 ? w.end() : w.begin() + to, qreal(0));
    };

    const QPageLayout portrait(size, QPageLayout::Portrait, marginsMm, QPageLayout::Millimeter);
    const QPageLayout landscape(size, QPageLayout::Landscape, marginsMm, QPageLayout::Millimeter);
    std::vector<qreal> widths = natural(1);
    l.Page = sum(widths) <= portrait.paintRectPixels(dpi).width() ? portrait : landscape;
    l.Area = QRectF(QPointF(0, 0), QSizeF(l.Page.paintRectPixels(dpi).size()));
    const qreal room = l.Area.width();
    for (int tries = 0; tries < 3 && sum(widths) > room && l.Scale > MinScale; ++tries) {
        l.Scale = std::max(MinScale, l.Scale * room / sum(widths));
        widths = natural(l.Scale);
    }
    // Still too wide: sections at the smallest font, as many of them as it
    // takes, with about as many indicators each.
    const int fixed = std::min(columns, int(TReport::FixedColumns));
    const qreal fixedWidth = sum(widths, 0, fixed);
    int sections = 1;
    qreal used = fixedWidth;
    for (int c = fixed; c < columns; ++c) {
        const qreal w = widths[size_t(c)];
        if (used > fixedWidth && used + w > room) {
            ++sections;
            used = fixedWidth;
        }
        used += w;
    }
    const int each = (columns - fixed + sections - 1) / sections;
    TSection section;
    for (int c = 0; c < columns; ++c) {
        const int inSection = int(section.Columns.size()) - fixed;
        if (c >= fixed && inSection > 0 &&
            (inSection >= each || section.Width() + widths[size_t(c)] > room))
            l.Sections.push_back(std::exchange(section, TSection{}));
        if (section.Columns.empty())
            for (int f = 0; f < fixed && c >= fixed; ++f) {
                section.Columns.push_back(f);
                section.Widths.push_back(widths[size_t(f)]);
            }
        section.Columns.push_back(c);
        section.Widths.push_back(widths[size_t(c)]);
    }
    l.Sections.push_back(std::move(section));

    l.Pad = 0.8 * mm * l.Scale;
    l.TableFont = Sized(base, base.pointSizeF() * l.Scale);
    const QFontMetricsF metrics(l.TableFont, &probe);
    const QFontMetricsF bold(Sized(l.TableFont, l.TableFont.pointSizeF(), true), &probe);
    QFont italic = l.TableFont;
    italic.setItalic(true);
    const QFontMetricsF invalid(italic, &probe);
    l.LineHeight = metrics.lineSpacing();
    for (TSection& p : l.Sections) {
        const qreal total = p.Width();
        const auto name = std::find(p.Columns.begin(), p.Columns.end(), int(TReport::NameColumn));
        if (total > room) {
            // Still too wide: every column narrower alike, values then wrap.
            for (qreal& w : p.Widths)
                w *= room / total;
        } else if (name != p.Columns.end()) {
            // Room to spare goes to the sample name, up to its longest.
            qreal& w = p.Widths[size_t(name - p.Columns.begin())];
            w = std::max(w, std::min(full[size_t(TReport::NameColumn)], w + room - total));
        }
        int titleLines = 1;
        for (size_t i = 0; i < p.Columns.size(); ++i) {
            p.TitleLines.push_back(
                Wrap(report.Columns[p.Columns[i]], p.Widths[i] - 2 * l.Pad, bold));
            titleLines = std::max(titleLines, int(p.TitleLines.back().size()));
        }
        p.TitleHeight = l.RowHeight(titleLines);
        for (const TReportRow& row : report.Rows) {
            std::vector<QStringList> cells;
            int lines = 1;
            for (size_t i = 0; i < p.Columns.size(); ++i) {
                cells.push_back(
                    Wrap(row.Cells.value(p.Columns[i]), p.Widths[i] - 2 * l.Pad, metrics));
                lines = std::max(lines, int(cells.back().size()));
            }
            p.Cells.push_back(std::move(cells));
            p.InvalidLines.push_back(row.Invalid.isEmpty()
                                         ? QStringList()
                                         : Wrap(row.Invalid, p.Width() - 2 * l.Pad, invalid));
            p.RowLines.push_back(lines + int(p.InvalidLines.back().size()));
        }
    }

    // The heading: laboratory, title, instrument, period, filter, count.
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
    const auto invalidRows =
        std::count_if(report.Rows.begin(), report.Rows.end(),
                      [](const TReportRow& row) { return !row.Invalid.isEmpty(); });
    block(base,
          QStringLiteral("Измерений: %1, из них недействительных: %2")
              .arg(report.Rows.size())
              .arg(invalidRows),
          false);
    l.HeaderHeight += 2 * mm;

    l.FooterFont = Sized(base, 8);
    // Room to sign above the signature line, its captions, the print's line.
    l.FooterHeight = 10 * mm + 3 * QFontMetricsF(l.FooterFont, &probe).lineSpacing();

    // Rows to pages, section after section; a row moves whole to the next page,
    // unless it is taller than a page: then it goes on over as many as it needs.
    for (int pi = 0; pi < int(l.Sections.size()); ++pi) {
        const TSection& p = l.Sections[size_t(pi)];
        const qreal body = l.Area.height() - l.HeaderHeight - p.TitleHeight - l.FooterHeight;
        const int pageLines = std::max(1, int(std::floor((body - 2 * l.Pad) / l.LineHeight)));
        TPage page{pi, 0, 0, 0, 0};
        qreal used = 0;
        for (int r = 0; r < int(report.Rows.size()); ++r) {
            int line = 0;
            for (;;) {
                const int rest = p.RowLines[size_t(r)] - line;
                if (used + l.RowHeight(rest) <= body || (used == 0 && rest <= pageLines)) {
                    used += l.RowHeight(rest);
                    page.EndRow = r + 1;
                    page.EndLine = p.RowLines[size_t(r)];
                    break;
                }
                if (used == 0) {
                    page.EndRow = r + 1;
                    page.EndLine = line + pageLines;
                    line += pageLines;
                }
                l.Pages.push_back(page);
                page = TPage{pi, r, line, r, line};
                used = 0;
            }
        }
        l.Pages.push_back(page);
    }
    return l;
}
