// A report of 200 archive rows laid out on pages: numbering, every row once
// and whole, the page's turn, and the PDF written from it.
#include "archive/Archive.h"
#include "archive/ArchiveRows.h"
#include "archive/ArchiveSettings.h"
#include "config/ConfigFile.h"
#include "config/Cp1251.h"
#include "config/RegisterSettings.h"
#include "report/Report.h"
#include "report/ReportLayout.h"
#include "report/ReportPainter.h"
#include "results/RecordCycle.h"

#include <QFontMetricsF>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <numeric>
#include <set>

namespace {

constexpr int kRows = 200;
const QString kLongName =
    QStringLiteral("Вино столовое сухое красное «Каберне-Совиньон» урожая 2025 года, партия 17/4, "
                   "резервуар № 12, отбор после фильтрации");

bool LongName(int i) {
    return i % 37 == 5;
}
bool Invalid(int i) {
    return i % 23 == 7;
}

TArchiveMeasurement Row(int i) {
    TArchiveMeasurement m;
    m.Uid = QStringLiteral("u%1").arg(i);
    m.Device = quint16(i < 150 ? 7 : 9);
    m.Port = QStringLiteral("ttyUSB0");
    m.Computer = QStringLiteral("lab-pc");
    m.Measured = QDateTime(QDate(2026, 11, 2), QTime(8, 0)).addSecs(300 * i);
    m.Calibration = 1 + i % 4;
    for (int k = 0; k < IndicatorCount; ++k)
        m.Values[size_t(k)] = k >= 4 && k <= 7 ? 0.99 + i * 1e-4 : 10 + k + i % 10 * 0.25;
    m.SampleName = LongName(i) ? kLongName : QStringLiteral("Пиво светлое %1").arg(i);
    m.Source = TArchive::SourceAnalyser;
    return m;
}

QString NoBlanks(QString text) {
    return text.remove(u' ');
}

} // namespace

class TstReport : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    std::unique_ptr<TArchive> archive_;
    QStringList titles_;
    TRecordCycle cycle_;

    TReport Make(int indicators) const {
        std::vector<int> chosen(static_cast<size_t>(indicators));
        std::iota(chosen.begin(), chosen.end(), 0);
        TReport report =
            TReport::FromArchive(*archive_, {}, titles_, chosen, TArchiveSettings(), cycle_);
        report.Laboratory = QStringLiteral("Испытательная лаборатория ООО «Пивзавод»");
        return report;
    }

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        const QString ini = dir_.filePath(QStringLiteral("Savro2.Ini"));
        SaveResourceToFile(QStringLiteral("TXTFILE"), QStringLiteral("INIFILE1"), ini);
        TRegisterSettings settings;
        settings.Read(ini, 32);
        titles_ = settings.ColumnTitles;
        cycle_.Locale = QLocale(QLocale::Russian, QLocale::Russia);
        archive_ = std::make_unique<TArchive>(dir_.path());
        std::vector<TArchiveMeasurement> rows;
        for (int i = 0; i < kRows; ++i)
            rows.push_back(Row(i));
        QCOMPARE(archive_->AddAll(rows), kRows);
        for (int i = 0; i < kRows; ++i)
            if (Invalid(i))
                archive_->MarkInvalid(archive_->Find(Row(i).Uid)->Id,
                                      QStringLiteral("пузыри в кювете"), QStringLiteral("petrova"));
    }

    void pages_data() {
        QTest::addColumn<int>("indicators");
        QTest::addColumn<QPageLayout::Orientation>("orientation");
        QTest::addColumn<int>("sections");
        QTest::newRow("few columns") << 3 << QPageLayout::Portrait << 1;
        QTest::newRow("several") << 8 << QPageLayout::Landscape << 1;
        QTest::newRow("every indicator") << IndicatorCount << QPageLayout::Landscape << 2;
    }

    void pages() {
        QFETCH(int, indicators);
        QFETCH(QPageLayout::Orientation, orientation);
        QFETCH(int, sections);
        const TReport report = Make(indicators);
        QCOMPARE(report.Instrument, QStringLiteral("№ 7, порт ttyUSB0, компьютер lab-pc; "
                                                   "№ 9, порт ttyUSB0, компьютер lab-pc"));
        QCOMPARE(report.Period, QStringLiteral("с 02.11.2026 08:00:00 по 03.11.2026 00:35:00"));
        const TReportLayout layout = TReportLayout::Compute(report);
        QCOMPARE(layout.Page.orientation(), orientation);
        QCOMPARE(int(layout.Sections.size()), sections);
        const int m = layout.PageCount();
        QVERIFY(m > 2 * sections);
        QCOMPARE(layout.PageNumberText(m - 1), QStringLiteral("стр. %1 из %1").arg(m));
        // Each section: every row once, whole, in order; nothing below the foot;
        // every column in some section.
        std::vector<int> next(size_t(sections), 0);
        std::set<int> columns;
        for (int k = 0; k < m; ++k) {
            const TReportLayout::TPage& page = layout.Pages[size_t(k)];
            const TReportLayout::TSection& section = layout.Sections[size_t(page.Section)];
            QCOMPARE(layout.PageNumberText(k), QStringLiteral("стр. %1 из %2").arg(k + 1).arg(m));
            QCOMPARE(page.FirstRow, next[size_t(page.Section)]);
            QCOMPARE(page.FirstLine, 0);
            QCOMPARE(page.EndLine, section.RowLines[size_t(page.EndRow - 1)]);
            qreal height = layout.HeaderHeight + section.TitleHeight + layout.FooterHeight;
            for (int r = page.FirstRow; r < page.EndRow; ++r)
                height += layout.RowHeight(section.RowLines[size_t(r)]);
            QVERIFY(height <= layout.Area.height());
            QVERIFY(section.Width() <= layout.Area.width() + 0.5);
            next[size_t(page.Section)] = page.EndRow;
            columns.insert(section.Columns.begin(), section.Columns.end());
        }
        QCOMPARE(next, std::vector<int>(size_t(sections), kRows));
        QCOMPARE(int(columns.size()), TReport::FixedColumns + indicators);
        // Values and dates on one line; the long name over several, all of
        // it; the invalid row's reason.
        const TReportLayout::TSection& section = layout.Sections.back();
        QCOMPARE(section.RowLines[0], 1);
        const QStringList name = section.Cells[5][size_t(TReport::NameColumn)];
        QVERIFY(name.size() > 1);
        QCOMPARE(NoBlanks(name.join(QString())), NoBlanks(kLongName));
        QVERIFY(section.InvalidLines[7].join(u' ').startsWith(
            QStringLiteral("Недействительно: пузыри в кювете (petrova, ")));
        QCOMPARE(section.RowLines[7], 1 + int(section.InvalidLines[7].size()));
        QVERIFY(section.InvalidLines[8].isEmpty());
    }

    // A name longer than a page goes on over the pages it needs: each of its
    // lines on exactly one page, in order, and no page over its foot.
    void rowTallerThanAPageIsSplit() {
        TReport report = Make(3);
        QString huge;
        for (int i = 0; i < 60; ++i)
            huge += kLongName + QStringLiteral(" %1 ").arg(i);
        report.Rows[1].Cells[TReport::NameColumn] = huge;
        const TReportLayout layout = TReportLayout::Compute(report);
        QCOMPARE(int(layout.Sections.size()), 1);
        const TReportLayout::TSection& section = layout.Sections[0];
        const int rows = int(report.Rows.size());
        std::vector<int> nextLine(size_t(rows), 0); // the first line not yet on a page
        int pagesOfTall = 0;
        for (const TReportLayout::TPage& page : layout.Pages) {
            qreal height = layout.HeaderHeight + section.TitleHeight + layout.FooterHeight;
            for (int r = page.FirstRow; r < page.EndRow; ++r) {
                const int from = r == page.FirstRow ? page.FirstLine : 0;
                const int to = r == page.EndRow - 1 ? page.EndLine : section.RowLines[size_t(r)];
                QCOMPARE(from, nextLine[size_t(r)]);
                QVERIFY(to > from);
                nextLine[size_t(r)] = to;
                height += layout.RowHeight(to - from);
                pagesOfTall += r == 1;
            }
            QVERIFY(height <= layout.Area.height() + 0.5);
        }
        for (int r = 0; r < rows; ++r)
            QCOMPARE(nextLine[size_t(r)], section.RowLines[size_t(r)]);
        QVERIFY(pagesOfTall >= 3);
    }

    void tableRowsTakeTheArchivesMarks() {
        // The table as the register shows these rows: two decimals.
        TResultsTable table;
        for (int c = 0; c < TResultsTable::ColCount; ++c)
            table.SetCell(c, 0, Cp1251::encode(titles_.value(c)));
        std::vector<TArchiveMeasurement> rows;
        archive_->ForEach({}, [&rows](const TArchiveMeasurement& m) {
            rows.push_back(m);
            return rows.size() < 10;
        });
        TArchiveRows::FillTable(table, rows, cycle_, std::nullopt);
        const TReport report = TReport::FromTable(table, QStringLiteral("/data/пиво.txt"),
                                                  archive_.get(), {4}, TArchiveSettings(), cycle_);
        QCOMPARE(int(report.Rows.size()), 10);
        QCOMPARE(report.Rows[1].Cells.last(), QStringLiteral("0,99010"));
        QVERIFY(report.Rows[7].Invalid.startsWith(QStringLiteral("Недействительно: пузыри")));
        QCOMPARE(report.Filter, QStringLiteral("файл результатов «пиво.txt»"));
        QCOMPARE(report.Instrument, QStringLiteral("№ 7, порт ttyUSB0, компьютер lab-pc"));
    }

    void pdfHasEveryPage() {
        const TReport report = Make(IndicatorCount);
        const QString file = dir_.filePath(QStringLiteral("отчёт.pdf"));
        const int m = TReportPainter::WritePdf(report, file);
        QCOMPARE(m, TReportLayout::Compute(report).PageCount());
        QFile pdf(file);
        QVERIFY(pdf.open(QIODevice::ReadOnly));
        const QByteArray bytes = pdf.readAll();
        QVERIFY(bytes.startsWith("%PDF"));
        const QRegularExpression page(QStringLiteral("/Type\\s*/Page(?!s)"));
        int pages = 0;
        for (auto it = page.globalMatch(QString::fromLatin1(bytes)); it.hasNext(); it.next())
            ++pages;
        QCOMPARE(pages, m);
        // A folder that is not there: the operator's message, no file.
        const QString missing = dir_.filePath(QStringLiteral("нет/отчёт.pdf"));
        QVERIFY_THROWS_EXCEPTION(EReportError, TReportPainter::WritePdf(report, missing));
        QVERIFY(!QFile::exists(missing));
    }

    // Nothing on the margins, and a blank gap between the two signatures,
    // in either turn of the page.
    void footerStaysInThePrintableArea_data() {
        QTest::addColumn<int>("indicators");
        QTest::newRow("portrait") << 3;
        QTest::newRow("landscape") << 8;
    }

    void footerStaysInThePrintableArea() {
        QFETCH(int, indicators);
        TReport report = Make(indicators);
        report.User = QStringLiteral("Константинопольская Е. В.");
        const TReportLayout layout = TReportLayout::Compute(report, QPageSize(QPageSize::A4), 100);
        const QImage image = TReportPainter::PageImage(report, layout, 0);
        // A border on the area's edge may spill half its pen.
        const QRect area = layout.Page.paintRectPixels(layout.Dpi).adjusted(-1, -1, 1, 1);
        const QRgb white = qRgb(255, 255, 255);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (!area.contains(x, y) && image.pixel(x, y) != white)
                    QFAIL(qPrintable(QStringLiteral("drawn on the margin at %1, %2").arg(x).arg(y)));
        const qreal mm = layout.Dpi / 25.4;
        const int middle = area.left() + area.width() / 2;
        const int footTop = area.bottom() - int(layout.FooterHeight);
        const int printedLine = qCeil(QFontMetricsF(layout.FooterFont, &image).lineSpacing());
        for (int y = footTop; y <= area.bottom() - printedLine; ++y)
            for (int x = middle - int(mm); x <= middle + int(mm); ++x)
                if (image.pixel(x, y) != white)
                    QFAIL(qPrintable(QStringLiteral("signatures meet at %1, %2").arg(x).arg(y)));
    }

    // For a look at the pages: SAVRO2_REPORT_PNG=<folder> writes its first two.
    void pageImages() {
        const QString folder = qEnvironmentVariable("SAVRO2_REPORT_PNG");
        if (folder.isEmpty())
            QSKIP("SAVRO2_REPORT_PNG is not set");
        const TReport report = Make(qEnvironmentVariableIntValue("SAVRO2_REPORT_INDICATORS") > 0
                                        ? qEnvironmentVariableIntValue("SAVRO2_REPORT_INDICATORS")
                                        : 8);
        const TReportLayout layout = TReportLayout::Compute(report, QPageSize(QPageSize::A4), 100);
        for (int k = 0; k < 2; ++k)
            QVERIFY(
                TReportPainter::PageImage(report, layout, k)
                    .save(QDir(folder).filePath(QStringLiteral("report-page%1.png").arg(k + 1))));
    }
};

QTEST_MAIN(TstReport)
#include "tst_report.moc"
