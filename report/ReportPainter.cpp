#include "report/ReportPainter.h"

#include "report/Report.h"
#include "report/ReportLayout.h"

#include <QDir>
#include <QFontMetricsF>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>

#include <algorithm>

namespace {

const QColor kInvalidShade(236, 236, 236);

void Lines(QPainter& painter, const QStringList& lines, const QRectF& box, int first, int end,
           qreal lineHeight, Qt::Alignment align) {
    for (int i = std::max(first, 0); i < std::min(end, int(lines.size())); ++i)
        painter.drawText(QRectF(box.left(), box.top() + (i - first) * lineHeight, box.width(), lineHeight),
                         int(align | Qt::AlignVCenter) | Qt::TextDontClip, lines[i]);
}

// Numbers to the right, texts (the sample name) to the left.
Qt::Alignment AlignOf(int column) {
    return column == TReport::NameColumn ? Qt::AlignLeft : Qt::AlignRight;
}

} // namespace

void TReportPainter::PaintPage(QPainter& painter, const TReport& report, const TReportLayout& l,
                               int page) {
    const TReportLayout::TPage& p = l.Pages[size_t(page)];
    painter.save();
    painter.setPen(QPen(Qt::black, std::max(1.0, l.Dpi / 150.0)));
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
    const qreal width = l.TableWidth();
    painter.fillRect(QRectF(0, y, width, l.TitleHeight), QColor(245, 245, 245));
    qreal x = 0;
    for (size_t c = 0; c < l.Widths.size(); ++c) {
        const QRectF cell(x, y, l.Widths[c], l.TitleHeight);
        painter.drawRect(cell);
        Lines(painter, l.TitleLines[c], cell.adjusted(l.Pad, l.Pad, -l.Pad, -l.Pad), 0,
              int(l.TitleLines[c].size()), l.LineHeight, Qt::AlignHCenter);
        x += l.Widths[c];
    }
    y += l.TitleHeight;

    QFont italic = l.TableFont;
    italic.setItalic(true);
    for (int r = p.FirstRow; r < p.EndRow; ++r) {
        const int first = r == p.FirstRow ? p.FirstLine : 0;
        const int end = r == p.EndRow - 1 ? p.EndLine : l.RowLines[size_t(r)];
        const QRectF box(0, y, width, l.RowHeight(end - first));
        const std::vector<QStringList>& cells = l.Cells[size_t(r)];
        const QStringList& invalid = l.InvalidLines[size_t(r)];
        const int cellLines = l.RowLines[size_t(r)] - int(invalid.size());
        if (!invalid.isEmpty())
            painter.fillRect(box, kInvalidShade);
        QFont font = l.TableFont;
        font.setStrikeOut(!invalid.isEmpty());
        painter.setFont(font);
        x = 0;
        for (size_t c = 0; c < cells.size(); ++c) {
            painter.drawLine(QPointF(x, box.top()), QPointF(x, box.bottom()));
            Lines(painter, cells[c], QRectF(x + l.Pad, box.top() + l.Pad, l.Widths[c] - 2 * l.Pad, 0),
                  first, std::min(end, cellLines), l.LineHeight, AlignOf(int(c)));
            x += l.Widths[c];
        }
        painter.drawLine(QPointF(x, box.top()), QPointF(x, box.bottom()));
        painter.drawLine(box.bottomLeft(), box.bottomRight());
        if (!invalid.isEmpty()) {
            painter.setFont(italic);
            // The reason's lines follow the cells' lines.
            const qreal top = box.top() + l.Pad + std::max(0, cellLines - first) * l.LineHeight;
            Lines(painter, invalid, QRectF(l.Pad, top, width - 2 * l.Pad, 0),
                  std::max(0, first - cellLines), end - cellLines, l.LineHeight, Qt::AlignLeft);
        }
        y = box.bottom();
    }

    // The signatures and the print's own line at the page's foot.
    painter.setFont(l.FooterFont);
    const qreal h = QFontMetricsF(l.FooterFont, painter.device()).lineSpacing();
    const qreal bottom = l.Area.height();
    const QString sign = QStringLiteral("Подпись: ________________ /____________________/");
    painter.drawText(QRectF(0, bottom - 2 * h, l.Area.width() / 2, h), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("Исполнитель. ") + sign);
    painter.drawText(QRectF(l.Area.width() / 2, bottom - 2 * h, l.Area.width() / 2, h),
                     Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("Проверил. ") + sign);
    QString printed = QStringLiteral("Напечатано %1")
                          .arg(QLocale().toString(report.Printed, QStringLiteral("dd.MM.yyyy HH:mm")));
    if (!report.User.isEmpty())
        printed += QStringLiteral(", пользователь ") + report.User;
    painter.drawText(QRectF(0, bottom - h, l.Area.width(), h), Qt::AlignLeft | Qt::AlignVCenter, printed);
    painter.drawText(QRectF(0, bottom - h, l.Area.width(), h), Qt::AlignRight | Qt::AlignVCenter,
                     l.PageNumberText(page));
    painter.restore();
}

int TReportPainter::Print(const TReport& report, QPagedPaintDevice& device) {
    const QPageLayout current = device.pageLayout();
    const int dpi = device.logicalDpiY();
    const TReportLayout layout = TReportLayout::Compute(report, current.pageSize(), dpi);
    if (!device.setPageLayout(layout.Page))
        throw EReportError("Не удалось задать страницу для отчёта.");
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
    QSaveFile file(fileName);
    const auto fail = [&fileName](const QString& why) {
        return EReportError(QStringLiteral("Не удалось записать отчёт «%1»: %2")
                                .arg(QDir::toNativeSeparators(fileName), why)
                                .toStdString());
    };
    if (!file.open(QIODevice::WriteOnly))
        throw fail(file.errorString());
    int pages = 0;
    {
        QPdfWriter pdf(&file);
        pdf.setResolution(PdfDpi);
        pdf.setTitle(report.Title);
        pdf.setCreator(QStringLiteral("Савро-2"));
        pdf.setPageSize(QPageSize(QPageSize::A4));
        pages = Print(report, pdf);
    }
    if (!file.commit())
        throw fail(file.errorString());
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
