#include "config/Cp1251.h"
#include "register/PrintTable.h"
#include "results/ResultsTable.h"

#include <QFont>
#include <QFontMetrics>
#include <QPageLayout>
#include <QPdfWriter>
#include <QPrinterInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int kDpi = 300;

struct TWord {
    QString Text;
    double X = 0; // points
    double Y = 0;
    double XMax = 0;
};
using TPage = QList<TWord>;

double ToPoints(int deviceUnits) { return deviceUnits * 72.0 / kDpi; }

QFont PrintFont() {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPointSize(8);
    return font;
}

// A table whose titles are "T<col>" and whose cells are "r<row>c<col>".
void Fill(TResultsTable& table, int rows) {
    table.SetRowCount(rows + 1);
    for (int col = 0; col < TResultsTable::ColCount; ++col)
        table.SetCell(col, 0, QByteArray("T") + QByteArray::number(col));
    table.RenumberRows();
    for (int row = 1; row <= rows; ++row) {
        for (int col = 1; col < TResultsTable::ColCount; ++col)
            table.SetCell(col, row, "r" + QByteArray::number(row) + "c" + QByteArray::number(col));
    }
}

class TPdfPrint {
public:
    // The device and font the pages are drawn with, as the code sees them.
    static TPrintLayout Layout(int visibleCols) {
        QTemporaryDir dir;
        QPdfWriter writer(dir.filePath(QStringLiteral("probe.pdf")));
        Setup(writer);
        return ComputePrintLayout(writer.width(), writer.height(),
                                  QFontMetrics(PrintFont(), &writer).height(), visibleCols);
    }

    static int Advance(const QString& text) {
        QTemporaryDir dir;
        QPdfWriter writer(dir.filePath(QStringLiteral("probe.pdf")));
        Setup(writer);
        return QFontMetrics(PrintFont(), &writer).horizontalAdvance(text);
    }

    QList<TPage> Print(const TResultsTable& table, int lastRow, const QString& fileName) {
        const QString pdf = FDir.filePath(QStringLiteral("out.pdf"));
        {
            QPdfWriter writer(pdf);
            Setup(writer);
            PrintTable(writer, PrintFont(), table, lastRow, fileName);
        }
        const QString html = FDir.filePath(QStringLiteral("out.html"));
        QProcess tool;
        tool.start(QStringLiteral("pdftotext"), {QStringLiteral("-bbox"), pdf, html});
        if (!tool.waitForFinished(60000) || tool.exitCode() != 0)
            return {};
        QFile file(html);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return Parse(QString::fromUtf8(file.readAll()));
    }

private:
    static void Setup(QPdfWriter& writer) {
        writer.setResolution(kDpi);
        writer.setPageSize(QPageSize(QPageSize::A4));
        writer.setPageOrientation(QPageLayout::Landscape);
        writer.setPageMargins(QMarginsF(0, 0, 0, 0));
    }

    static QList<TPage> Parse(const QString& html) {
        static const QRegularExpression tag(QStringLiteral(
            R"re(<page |<word xMin="([\d.]+)" yMin="([\d.]+)" xMax="([\d.]+)" yMax="[\d.]+">([^<]*)</word>)re"));
        QList<TPage> pages;
        for (auto it = tag.globalMatch(html); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            if (m.captured(0).startsWith(QLatin1String("<page"))) {
                pages.append(TPage());
            } else if (!pages.isEmpty()) {
                QString text = m.captured(4);
                text.replace(QLatin1String("&amp;"), QLatin1String("&"));
                pages.last().append({text, m.captured(1).toDouble(), m.captured(2).toDouble(),
                                     m.captured(3).toDouble()});
            }
        }
        return pages;
    }

    QTemporaryDir FDir;
};

const TWord* Find(const TPage& page, const QString& text) {
    for (const TWord& word : page) {
        if (word.Text == text)
            return &word;
    }
    return nullptr;
}

// The word that follows "Стр." in the header: the page number.
QString PageNumber(const TPage& page) {
    for (int i = 0; i + 1 < page.size(); ++i) {
        if (page.at(i).Text == QStringLiteral("Стр."))
            return page.at(i + 1).Text;
    }
    return {};
}

bool Near(double actual, double expected, double tolerance = 2.0) {
    return qAbs(actual - expected) <= tolerance;
}

} // namespace

class TstPrintTable : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void layout_data();
    void layout();
    void header_data();
    void header();
    void emptyTablePrintsOnePage();
    void fullLastPageHasNoEmptyPageAfter_data();
    void fullLastPageHasNoEmptyPageAfter();
    void hiddenColumnsLeaveNoGap();
    void allIndicatorsHidden();
    void headerShowsNameWithoutFolder();
    void rowsBeyondTableAreNotPrinted();
    void noDefaultPrinter();
    void longTextsDoNotOverprint_data();
    void longTextsDoNotOverprint();
    void clippedTextKeepsABlankBeforeTheNext_data();
    void clippedTextKeepsABlankBeforeTheNext();
};

// The word on the page that starts like text (texts here have no blanks).
const TWord* FindStart(const TPage& page, const QString& text) {
    for (const TWord& word : page) {
        if (!word.Text.isEmpty() && text.startsWith(word.Text.left(6)))
            return &word;
    }
    return nullptr;
}

void TstPrintTable::initTestCase() {
    if (QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty())
        QSKIP("pdftotext (poppler-utils) is not installed");
}

void TstPrintTable::layout_data() {
    QTest::addColumn<int>("pageW");
    QTest::addColumn<int>("pageH");
    QTest::addColumn<int>("textH");
    QTest::addColumn<int>("cols");
    QTest::addColumn<int>("lines");
    QTest::addColumn<int>("pitch");
    QTest::addColumn<int>("slot");
    QTest::addColumn<int>("rowsPerPage");

    QTest::newRow("printer page") << 4760 << 6779 << 50 << 32 << 135 << 50 << 144 << 131;
    QTest::newRow("pitch spreads the rest") << 1000 << 1000 << 30 << 5 << 33 << 30 << 166 << 29;
    QTest::newRow("uneven pitch") << 600 << 700 << 13 << 2 << 53 << 13 << 200 << 49;
    QTest::newRow("five indicator-less columns") << 6000 << 3000 << 100 << 5 << 30 << 100 << 1000 << 26;
    QTest::newRow("exactly five lines") << 100 << 500 << 100 << 1 << 5 << 100 << 50 << 1;
    QTest::newRow("fewer than five lines") << 100 << 300 << 100 << 1 << 3 << 100 << 50 << 1;
    QTest::newRow("text taller than page") << 100 << 50 << 100 << 1 << 1 << 50 << 50 << 1;
    QTest::newRow("zero text height") << 100 << 50 << 0 << 0 << 50 << 1 << 100 << 46;
}

void TstPrintTable::layout() {
    QFETCH(int, pageW);
    QFETCH(int, pageH);
    QFETCH(int, textH);
    QFETCH(int, cols);
    QFETCH(int, lines);
    QFETCH(int, pitch);
    QFETCH(int, slot);
    QFETCH(int, rowsPerPage);

    const TPrintLayout layout = ComputePrintLayout(pageW, pageH, textH, cols);
    QCOMPARE(layout.Lines, lines);
    QCOMPARE(layout.Pitch, pitch);
    QCOMPARE(layout.Columns, cols);
    QCOMPARE(layout.SlotWidth, slot);
    QCOMPARE(layout.RowsPerPage, rowsPerPage);
}

void TstPrintTable::header_data() {
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("expected");
    const QString blanks(20, QLatin1Char(' '));
    QTest::newRow("new file") << 1 << "Новый.txt" << "Стр. 1" + blanks + "Новый.txt";
    QTest::newRow("folder dropped") << 12 << "/home/lab/2026/май.txt" << "Стр. 12" + blanks + "май.txt";
    QTest::newRow("relative folder dropped") << 3 << "data/x.txt" << "Стр. 3" + blanks + "x.txt";
}

void TstPrintTable::header() {
    QFETCH(int, page);
    QFETCH(QString, fileName);
    QFETCH(QString, expected);
    QCOMPARE(PrintHeader(page, fileName), expected);
}

void TstPrintTable::emptyTablePrintsOnePage() {
    TResultsTable table;
    table.SetCell(0, 0, Cp1251::encode(QStringLiteral("№")));
    table.SetCell(1, 0, Cp1251::encode(QStringLiteral("Образец")));
    QCOMPARE(table.RowCount(), 2);

    TPdfPrint print;
    const QList<TPage> pages = print.Print(table, table.RowCount() - 1, QStringLiteral("Новый.txt"));
    QCOMPARE(pages.size(), 1);
    const TPage& page = pages.front();
    const TPrintLayout layout = TPdfPrint::Layout(TResultsTable::ColCount);

    const TWord* header = Find(page, QStringLiteral("Стр."));
    QVERIFY(header);
    QVERIFY(Near(header->X, ToPoints(800)));
    QVERIFY(Near(header->Y, ToPoints(layout.Pitch), 4));
    QCOMPARE(PageNumber(page), QStringLiteral("1"));
    QVERIFY(Find(page, QStringLiteral("Новый.txt")));

    const TWord* number = Find(page, QStringLiteral("№"));
    const TWord* name = Find(page, QStringLiteral("Образец"));
    QVERIFY(number && name);
    QVERIFY(Near(number->X, ToPoints(layout.SlotWidth)));
    QVERIFY(Near(name->X, ToPoints(2 * layout.SlotWidth)));
    QVERIFY(Near(name->Y, ToPoints(3 * layout.Pitch), 4));

    // The entry row: its number alone, one line below the titles.
    QList<TWord> ones;
    for (const TWord& word : page) {
        if (word.Text == QLatin1String("1") && word.Y > name->Y)
            ones << word;
    }
    QCOMPARE(ones.size(), 1);
    QVERIFY(Near(ones.front().X, ToPoints(layout.SlotWidth)));
    QVERIFY(Near(ones.front().Y, ToPoints(4 * layout.Pitch), 4));
    QCOMPARE(page.size(), 6); // Стр. 1 Новый.txt № Образец 1
}

void TstPrintTable::fullLastPageHasNoEmptyPageAfter_data() {
    QTest::addColumn<int>("pagesOfRows");
    QTest::addColumn<int>("extraRows");
    QTest::addColumn<int>("expectedPages");
    QTest::newRow("one full page") << 1 << 0 << 1;
    QTest::newRow("two full pages") << 2 << 0 << 2;
    QTest::newRow("one row more") << 2 << 1 << 3;
    QTest::newRow("one row less") << 2 << -1 << 2;
}

void TstPrintTable::fullLastPageHasNoEmptyPageAfter() {
    QFETCH(int, pagesOfRows);
    QFETCH(int, extraRows);
    QFETCH(int, expectedPages);

    const int perPage = TPdfPrint::Layout(TResultsTable::ColCount).RowsPerPage;
    QVERIFY(perPage > 1);
    const int rows = pagesOfRows * perPage + extraRows;
    TResultsTable table;
    Fill(table, rows);
    // Wide slots keep the cell texts apart as words.
    for (int col = 5; col < TResultsTable::ColCount; ++col)
        table.SetColWidth(col, -1);

    TPdfPrint print;
    // Printed twice: the page numbers start from 1 each time.
    for (int run = 0; run < 2; ++run) {
        const QList<TPage> pages = print.Print(table, rows, QStringLiteral("x.txt"));
        QCOMPARE(pages.size(), expectedPages);
        for (int p = 0; p < pages.size(); ++p) {
            QCOMPARE(PageNumber(pages.at(p)), QString::number(p + 1));
            QVERIFY(Find(pages.at(p), QStringLiteral("T1"))); // titles on every page
            const int first = p * perPage + 1;
            QVERIFY2(Find(pages.at(p), QStringLiteral("r%1c1").arg(first)), qPrintable(QString::number(first)));
        }
        const TPage& lastPage = pages.last();
        QVERIFY(Find(lastPage, QStringLiteral("r%1c4").arg(rows)));
        QVERIFY(!Find(lastPage, QStringLiteral("r%1c1").arg(rows + 1)));
    }
}

void TstPrintTable::hiddenColumnsLeaveNoGap() {
    TResultsTable table;
    Fill(table, 1);
    for (int col = 5; col < TResultsTable::ColCount; ++col) {
        if (col != 7 && col != 20)
            table.SetColWidth(col, -1);
    }
    TPdfPrint print;
    const QList<TPage> pages = print.Print(table, 1, QStringLiteral("x.txt"));
    QCOMPARE(pages.size(), 1);
    const TPrintLayout layout = TPdfPrint::Layout(7);

    // Columns 0-4, 7 and 20 in slots 1 to 7; nothing of the hidden ones.
    const QList<int> shown{0, 1, 2, 3, 4, 7, 20};
    for (int i = 0; i < shown.size(); ++i) {
        const TWord* title = Find(pages.front(), QStringLiteral("T%1").arg(shown.at(i)));
        QVERIFY2(title, qPrintable(QString::number(shown.at(i))));
        QVERIFY2(Near(title->X, ToPoints((i + 1) * layout.SlotWidth)), qPrintable(QString::number(title->X)));
    }
    const TWord* cell = Find(pages.front(), QStringLiteral("r1c20"));
    QVERIFY(cell && Near(cell->X, ToPoints(7 * layout.SlotWidth)));
    QVERIFY(!Find(pages.front(), QStringLiteral("T5")));
    QVERIFY(!Find(pages.front(), QStringLiteral("r1c31")));
}

void TstPrintTable::allIndicatorsHidden() {
    TResultsTable table;
    Fill(table, 1);
    for (int col = 5; col < TResultsTable::ColCount; ++col)
        table.SetColWidth(col, -1);
    const TPrintLayout layout = TPdfPrint::Layout(5);
    QCOMPARE(layout.SlotWidth, TPdfPrint::Layout(0).SlotWidth / 6);

    TPdfPrint print;
    const QList<TPage> pages = print.Print(table, 1, QStringLiteral("x.txt"));
    QCOMPARE(pages.size(), 1);
    const TWord* last = Find(pages.front(), QStringLiteral("T4"));
    QVERIFY(last && Near(last->X, ToPoints(5 * layout.SlotWidth)));
}

void TstPrintTable::headerShowsNameWithoutFolder() {
    QTemporaryDir dir;
    const QString fileName = dir.filePath(QStringLiteral("Проба 7.txt"));
    TResultsTable table;
    TPdfPrint print;
    const QList<TPage> pages = print.Print(table, 1, fileName);
    QCOMPARE(pages.size(), 1);
    const TWord* name = Find(pages.front(), QStringLiteral("Проба"));
    QVERIFY(name);
    QVERIFY(Find(pages.front(), QStringLiteral("7.txt")));
    const QString folder = QFileInfo(dir.path()).fileName();
    for (const TWord& word : pages.front())
        QVERIFY2(!word.Text.contains(folder), qPrintable(word.Text));
}

void TstPrintTable::rowsBeyondTableAreNotPrinted() {
    TResultsTable table;
    Fill(table, 2);
    TPdfPrint print;
    const QList<TPage> pages = print.Print(table, 500, QStringLiteral("x.txt"));
    QCOMPARE(pages.size(), 1);
    QVERIFY(Find(pages.front(), QStringLiteral("r2c1")));

    // No row at all: the header and the titles only.
    const QList<TPage> titlesOnly = print.Print(table, 0, QStringLiteral("x.txt"));
    QCOMPARE(titlesOnly.size(), 1);
    QVERIFY(Find(titlesOnly.front(), QStringLiteral("T1")));
    QVERIFY(!Find(titlesOnly.front(), QStringLiteral("r1c1")));
}

void TstPrintTable::noDefaultPrinter() {
    if (!QPrinterInfo::defaultPrinter().isNull())
        QSKIP("a default printer is installed; nothing may be printed from a test");
    TResultsTable table;
    try {
        PrintTableOnDefaultPrinter(PrintFont(), table, 1, QStringLiteral("x.txt"));
        QFAIL("no error raised");
    } catch (const EPrinter& error) {
        QCOMPARE(QString::fromUtf8(error.what()), QStringLiteral("There is no default printer currently selected"));
    }
    QCOMPARE(table.RowCount(), 2);
}

// A text wider than its slot runs on only over an empty next slot; before a
// filled one it is clipped, so no two texts print over each other.
void TstPrintTable::longTextsDoNotOverprint_data() {
    QTest::addColumn<int>("row");      // 0: the title line
    QTest::addColumn<bool>("nextEmpty");
    QTest::newRow("name before a date") << 1 << false;
    QTest::newRow("name before an empty slot") << 1 << true;
    QTest::newRow("title before a title") << 0 << false;
}

void TstPrintTable::longTextsDoNotOverprint() {
    QFETCH(int, row);
    QFETCH(bool, nextEmpty);
    TResultsTable table;
    Fill(table, 1);
    for (int col = 5; col < TResultsTable::ColCount; ++col)
        table.SetColWidth(col, -1);
    const TPrintLayout layout = TPdfPrint::Layout(5);
    // About one and a half slots wide, without blanks.
    QByteArray longText;
    while (TPdfPrint::Advance(QString::fromLatin1(longText)) < layout.SlotWidth * 3 / 2)
        longText += "Wort";
    table.SetCell(1, row, longText);
    if (nextEmpty)
        table.SetCell(2, row, {});
    TPdfPrint print;
    const QList<TPage> pages = print.Print(table, 1, QStringLiteral("x.txt"));
    QCOMPARE(pages.size(), 1);
    const TWord* word = FindStart(pages.front(), QString::fromLatin1(longText));
    QVERIFY(word);
    QVERIFY2(Near(word->X, ToPoints(2 * layout.SlotWidth)), qPrintable(QString::number(word->X)));
    QVERIFY2(word->XMax - word->X > ToPoints(layout.SlotWidth) * 0.5, qPrintable(word->Text));
    if (nextEmpty) {
        QCOMPARE(word->Text, QString::fromLatin1(longText));
        QVERIFY(word->XMax > ToPoints(3 * layout.SlotWidth));
    } else {
        QVERIFY2(word->Text.size() < longText.size(), qPrintable(word->Text));
        QVERIFY2(word->XMax <= ToPoints(3 * layout.SlotWidth), qPrintable(QString::number(word->XMax)));
        const QString next = row == 0 ? QStringLiteral("T2") : QStringLiteral("r1c2");
        const TWord* neighbour = Find(pages.front(), next);
        QVERIFY2(neighbour, qPrintable(next));
    }
    // The next slot's own text is where it always was.
    const TWord* after = Find(pages.front(), row == 0 ? QStringLiteral("T3") : QStringLiteral("r1c3"));
    QVERIFY(after && Near(after->X, ToPoints(4 * layout.SlotWidth)));
}

// A clipped text ends at least a blank's width before the next column. The
// text begins with narrow letters that just fill the whole slot: a clip at
// the slot's edge would keep them all and run flush into the next text.
void TstPrintTable::clippedTextKeepsABlankBeforeTheNext_data() {
    QTest::addColumn<int>("row"); // 0: the title line
    QTest::newRow("name before a date") << 1;
    QTest::newRow("title before a title") << 0;
}

void TstPrintTable::clippedTextKeepsABlankBeforeTheNext() {
    QFETCH(int, row);
    TResultsTable table;
    Fill(table, 1);
    for (int col = 5; col < TResultsTable::ColCount; ++col)
        table.SetColWidth(col, -1);
    const int slot = TPdfPrint::Layout(5).SlotWidth;
    const int blank = TPdfPrint::Advance(QStringLiteral(" "));
    QString filling;
    while (TPdfPrint::Advance(filling + u'i') <= slot)
        filling += u'i';
    QVERIFY(TPdfPrint::Advance(filling) > slot - blank);
    table.SetCell(1, row, (filling + QStringLiteral("Wort")).toLatin1());
    TPdfPrint print;
    const QList<TPage> pages = print.Print(table, 1, QStringLiteral("x.txt"));
    QCOMPARE(pages.size(), 1);
    const TWord* word = FindStart(pages.front(), filling);
    QVERIFY(word);
    QVERIFY2(word->Text.size() < filling.size(), qPrintable(word->Text));
    QVERIFY(Find(pages.front(), row == 0 ? QStringLiteral("T2") : QStringLiteral("r1c2")));
}

QTEST_MAIN(TstPrintTable)
#include "tst_printtable.moc"
