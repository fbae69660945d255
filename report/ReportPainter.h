#pragma once

#include <QImage>
#include <QString>

class QPagedPaintDevice;
class QPainter;
class TReport;
class TReportLayout;

// Draws a laid-out report: on any paged device (a PDF file, a printer) or a
// page on an image.
class TReportPainter {
public:
    static constexpr int PdfDpi = 300;

    // Lays report out for device's page size and resolution, turns the
    // page as the layout says and draws every page; returns their number.
    // Throws EReportError.
    static int Print(const TReport& report, QPagedPaintDevice& device);
    // The whole file or nothing: an old file stays until the new one is
    // complete. Returns the number of pages.
    static int WritePdf(const TReport& report, const QString& fileName);
    // Page (from 0) on white, at the layout's resolution.
    static QImage PageImage(const TReport& report, const TReportLayout& layout, int page);
    // Page (from 0) with painter's origin at the printable area's corner.
    static void PaintPage(QPainter& painter, const TReport& report, const TReportLayout& layout,
                          int page);
};
