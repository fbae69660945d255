#include "report/ReportPainter.h"

#include "config/SaveFile.h"
#include "report/Report.h"
#include "report/ReportLayout.h"

#include <QDir>
#include <QFontMetricsF>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QPdfWriter>

#include <algorithm>

namespace {

const QColor kInvalidShade(236, 236, 236);

void Lines(QPainter& painter, const QStringList& lines, const QRectF& box, int first, int end,
           qreal lineHeight, Qt::Alignment align) {
    for (int i = std::max(first, 0); i < std::min(end, int(lines.size())); ++i)
        painter.drawText(
            QRectF(box.left(), box.top() + (i - first) * lineHeight, box.width(), lineHeight),
            int(align | Qt::AlignVCenter) | Qt::TextDontClip, lines[i]);
}

// "Исполнитель: ______ /________/" with what goes on each line below it,
// within width: the two lines share what the caption and slashes leave.
void Signature(QPainter& painter, const QString& who, qreal x, qreal y, qreal width, qreal h,
               qreal mm, const QFont& small) {
    const QFontMetricsF metrics(painter.font(), painter.device());
    const qreal base = y + metrics.ascent() + (h - metrics.height()) / 2;
    const qreal slash = metrics.horizontalAdvance(QStringLiteral("/"));
    const qreal lines = std::clamp(
        width - metrics.horizontalAdvance(who) - 2 * mm - 2 * (slash + mm) - mm, 0.0, 80 * mm);
    painter.drawText(QPointF(x, base), who);
    x += metrics.horizontalAdvance(who) + 2 * mm;
    const auto line = [&](qreal length, const QString& caption) {
        painter.drawLine(QPointF(x, base + mm / 2), QPointF(x + length, base + mm / 2));
        const QFont font = painter.font();
        painter.setFont(small);
        painter.drawText(QRectF(x, y + h, length, h), Qt::AlignHCenter | Qt::AlignTop, caption);
        painter.setFont(font);
        x += length;
    };
    line(lines * 35 / 80, QStringLiteral("подпись"));
    painter.drawText(QPointF(x + mm, base), QStringLiteral("/"));
    x += slash + 2 * mm;
    line(lines * 45 / 80, QStringLiteral("фамилия, инициалы"));
    painter.drawText(QPointF(x + mm, base), QStringLiteral("/"));
}

} // namespace

void TReportPainter::PaintPage(QPainter& painter, const TReport& report, const TReportLayout& l,
                               int page) {
    const TReportLayout::TPage& p = l.Pages[size_t(page)];
    const TReportLayout::TSection& section = l.Sections[size_t(p.Section)];
    painter.save();
    const qreal thin = std::max(1.0, l.Dpi / 150.0);
    painter.setPen(QPen(Qt::black, thin));
    qreal y = 0;
    for (const TReportLayout::TBlock& block : l.Header) {
        painter.setFont(block.Font);
        const qreal h = QFontMetricsF(block.Font, painter.device()).lineSpacing();
        Lines(painter, block.Lines, QRectF(0, y, l.Area.width(), 0), 0, int(block.Lines.size()), h,
              block.Centred ? Qt::AlignHCenter : Qt::AlignLeft);
        y += block.Lines.size() * h;
    }
    y = l.HeaderHeight;

    // Column titles, repeated on every page.
    QFont bold = l.TableFont;
    bold.setBold(true);
    painter.setFont(bold);
    const qreal width = section.Width();
    painter.fillRect(QRectF(0, y, width, section.TitleHeight), QColor(242, 242, 242));
    qreal x = 0;
    for (size_t c = 0; c < section.Widths.size(); ++c) {
        const QRectF cell(x, y, section.Widths[c], section.TitleHeight);
        painter.drawRect(cell);
        Lines(painter, section.TitleLines[c], cell.adjusted(l.Pad, l.Pad, -l.Pad, -l.Pad), 0,
              int(section.TitleLines[c].size()), l.LineHeight, Qt::AlignHCenter);
        x += section.Widths[c];
    }
    y += section.TitleHeight;

    QFont italic = l.TableFont;
    italic.setItalic(true);
    for (int r = p.FirstRow; r < p.EndRow; ++r) {
        const int first = r == p.FirstRow ? p.FirstLine : 0;
        const int end = r == p.EndRow - 1 ? p.EndLine : section.RowLines[size_t(r)];
        const QRectF box(0, y, width, l.RowHeight(end - first));
        const std::vector<QStringList>& cells = section.Cells[size_t(r)];
        const QStringList& invalid = section.InvalidLines[size_t(r)];
        const int cellLines = section.RowLines[size_t(r)] - int(invalid.size());
        // The cells' own lines on this page, then the reason across the row.
        const int shownCells = std::max(0, std::min(end, cellLines) - first);
        const qreal cellsBottom = invalid.isEmpty() || end <= cellLines
                                      ? box.bottom()
                                      : box.top() + l.Pad + shownCells * l.LineHeight;
        if (!invalid.isEmpty())
            painter.fillRect(box, kInvalidShade);
        QFont font = l.TableFont;
        font.setStrikeOut(!invalid.isEmpty());
        painter.setFont(font);
        x = 0;
        for (size_t c = 0; c < cells.size(); ++c) {
            painter.drawLine(QPointF(x, box.top()),
                             QPointF(x, c == 0 ? box.bottom() : cellsBottom));
            Lines(painter, cells[c],
                  QRectF(x + l.Pad, box.top() + l.Pad, section.Widths[c] - 2 * l.Pad, 0), first,
                  std::min(end, cellLines), l.LineHeight,
                  section.Columns[c] == TReport::NameColumn ? Qt::AlignLeft : Qt::AlignRight);
            x += section.Widths[c];
        }
        painter.drawLine(QPointF(x, box.top()), QPointF(x, box.bottom()));
        painter.drawLine(box.bottomLeft(), box.bottomRight());
        if (!invalid.isEmpty() && end > cellLines) {
            painter.setPen(QPen(Qt::black, thin / 2, Qt::DotLine));
            painter.drawLine(QPointF(0, cellsBottom), QPointF(width, cellsBottom));
            painter.setPen(QPen(Qt::black, thin));
            painter.setFont(italic);
            Lines(painter, invalid, QRectF(l.Pad, cellsBottom, width - 2 * l.Pad, 0),
                  std::max(0, first - cellLines), end - cellLines, l.LineHeight, Qt::AlignLeft);
        }
        y = box.bottom();
    }

    // The signatures and the print's own line at the page's foot.
    painter.setFont(l.FooterFont);
    const qreal h = QFontMetricsF(l.FooterFont, painter.device()).lineSpacing();
    const qreal mm = l.Dpi / 25.4;
    const qreal bottom = l.Area.height();
    QFont small = l.FooterFont;
    small.setPointSizeF(6);
    // Each in its half, a gap between them.
    const qreal half = l.Area.width() / 2 - 3 * mm;
    Signature(painter, QStringLiteral("Исполнитель:"), 0, bottom - 3 * h, half, h, mm, small);
    Signature(painter, QStringLiteral("Проверил:"), l.Area.width() / 2 + 3 * mm, bottom - 3 * h,
              half, h, mm, small);
    QString printed =
        QStringLiteral("Напечатано %1")
            .arg(QLocale().toString(report.Printed, QStringLiteral("dd.MM.yyyy HH:mm")));
    if (!report.User.isEmpty())
        printed += QStringLiteral(", пользователь ") + report.User;
    const QRectF last(0, bottom - h, l.Area.width(), h);
    painter.drawText(last, Qt::AlignLeft | Qt::AlignVCenter, printed);
    if (l.Sections.size() > 1)
        painter.drawText(
            last, Qt::AlignHCenter | Qt::AlignVCenter,
            QStringLiteral("Показатели: часть %1 из %2").arg(p.Section + 1).arg(l.Sections.size()));
    painter.drawText(last, Qt::AlignRight | Qt::AlignVCenter, l.PageNumberText(page));
    painter.restore();
}

int TReportPainter::Print(const TReport& report, QPagedPaintDevice& device) {
    const QPageLayout current = device.pageLayout();
    const int dpi = device.logicalDpiY();
    TReportLayout layout = TReportLayout::Compute(report, current.pageSize(), dpi);
    device.setPageLayout(layout.Page);
    // A printer may keep wider margins than asked: laid out again within them.
    const QMarginsF margins = device.pageLayout().margins(QPageLayout::Millimeter);
    if (margins != layout.Page.margins(QPageLayout::Millimeter)) {
        layout = TReportLayout::Compute(report, current.pageSize(), dpi, margins);
        device.setPageLayout(layout.Page);
    }
    QPainter painter;
    if (!painter.begin(&device))
        throw EReportError("Не удалось начать печать отчёта.");
    for (int page = 0; page < layout.PageCount(); ++page) {
        if (page > 0 && !device.newPage())
            throw EReportError("Не удалось начать новую страницу отчёта.");
        PaintPage(painter, report, layout, page);
    }
    if (!painter.end())
        throw EReportError("Не удалось закончить печать отчёта.");
    return layout.PageCount();
}

int TReportPainter::WritePdf(const TReport& report, const QString& fileName) {
    TSaveFile file(fileName);
    const auto fail = [&fileName, &file] {
        return EReportError(QStringLiteral("Не удалось записать отчёт «%1»: %2")
                                .arg(QDir::toNativeSeparators(fileName), file.Error())
                                .toStdString());
    };
    if (!file.Open())
        throw fail();
    int pages = 0;
    {
        QPdfWriter pdf(&file.Device());
        pdf.setResolution(PdfDpi);
        pdf.setTitle(report.Title);
        pdf.setCreator(QStringLiteral("Савро-2"));
        pdf.setPageSize(QPageSize(QPageSize::A4));
        pages = Print(report, pdf);
    }
    if (!file.Commit())
        throw fail();
    return pages;
}

QImage TReportPainter::PageImage(const TReport& report, const TReportLayout& layout, int page) {
    const QRect full = layout.Page.fullRectPixels(layout.Dpi);
    QImage image(full.size(), QImage::Format_RGB32);
    image.setDotsPerMeterX(qRound(layout.Dpi / 0.0254));
    image.setDotsPerMeterY(qRound(layout.Dpi / 0.0254));
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(layout.Page.paintRectPixels(layout.Dpi).topLeft());
    PaintPage(painter, report, layout, page);
    return image;
}
