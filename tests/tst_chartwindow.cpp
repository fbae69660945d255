#include "archive/Archive.h"
#include "archiveui/ArchiveWindow.h"
#include "chart/ChartLimitsPanel.h"
#include "chart/ChartWindow.h"
#include "config/Cp1251.h"
#include "config/iniplus.h"
#include "register/ClGrid.h"
#include "register/Unit1.h"
#include "results/ResultsTable.h"
#include "support/FormHarness.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGraphicsTextItem>
#include <QLineEdit>
#include <QTableWidget>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QToolBar>
#include <QToolTip>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtTest>

#include <memory>

namespace {

constexpr int kAlcohol = 6;
constexpr int kExtract = 7;
const QLocale kRu(QLocale::Russian, QLocale::Russia);
const QDateTime kStart(QDate(2026, 12, 8), QTime(9, 0, 0));

// The points of the table the chart must show: (time, value) of every row of
// sample (all when empty) that has column, in row order.
QList<QPointF> Expected(const TResultsTable& table, int column, const QString& sample = {}) {
    QList<QPointF> out;
    for (int r = 1; r < table.RowCount(); ++r) {
        const QString value = Cp1251::decode(table.CellView(column, r));
        if (value.isEmpty())
            continue;
        if (!sample.isEmpty() && Cp1251::decode(table.CellView(1, r)) != sample)
            continue;
        const QDate date = kRu.toDate(Cp1251::decode(table.CellView(2, r)), QLocale::ShortFormat);
        const QTime time = QTime::fromString(Cp1251::decode(table.CellView(3, r)), "HH:mm:ss");
        out << QPointF(qreal(QDateTime(date, time).toMSecsSinceEpoch()), kRu.toDouble(value));
    }
    return out;
}

QList<QPointF> Shown(const TChartWindow& w) {
    return w.TrendSeries->points();
}

} // namespace

class TstChartWindow : public QObject {
    Q_OBJECT

    std::unique_ptr<TFormHarness> h_;
    std::unique_ptr<TForm1> form_;
    TChartWindow* chart_ = nullptr;
    int minutes_ = 0;

    TResultsTable& Table() { return *form_->Table(); }

    // A measurement as the poll cycle writes it, a minute after the last.
    void Measure(const QString& name, std::initializer_list<std::pair<int, double>> values) {
        TMeasurementRecord record;
        for (const auto& [column, value] : values) {
            record.Mask |= 1u << (column - 5);
            record.Values[size_t(column - 5)] = value;
        }
        Table().SetCell(1, Table().RowCount() - 1, Cp1251::encode(name));
        form_->Doc.Cycle().AppendMeasurement(Table(), record, kStart.addSecs(60 * minutes_++));
    }

    void MeasureReference(std::initializer_list<double> values) {
        for (double v : values)
            Measure(QStringLiteral("Эталон"), {{kAlcohol, v}, {kExtract, 2.0}});
    }

private slots:
    void init() {
        form_.reset();
        h_.reset();
        h_ = std::make_unique<TFormHarness>();
        QVERIFY(h_->IsValid());
        form_ = h_->MakeForm();
        form_->Doc.Cycle().Locale = kRu;
        minutes_ = 0;
        form_->actChart->trigger();
        chart_ = form_->ChartWindow;
        QVERIFY(chart_);
        QVERIFY(chart_->isVisible());
        chart_->SetColumn(kAlcohol);
    }

    void cleanup() {
        chart_ = nullptr;
        form_.reset();
        h_.reset();
    }

    void openedFromMenuAndToolBar() {
        QCOMPARE(chart_->windowTitle(), QStringLiteral("График"));
        QCOMPARE(form_->mnView->actions().last(), form_->actChart);
        const auto tools = form_->ToolBar1->actions();
        QCOMPARE(tools.indexOf(form_->actChart), tools.indexOf(form_->actPrint) + 1);
        QVERIFY(!form_->actChart->icon().isNull());
        // The same window again, not a second one.
        form_->actChart->trigger();
        QCOMPARE(form_->ChartWindow, chart_);
        QCOMPARE(form_->findChildren<TChartWindow*>().size(), 1);
        // Every indicator column, hidden ones too, by its title.
        QCOMPARE(chart_->IndicatorList->count(), 27);
        QVERIFY(!Table().ColVisible(8));
        QCOMPARE(chart_->IndicatorList->itemData(3).toInt(), 8);
        QCOMPARE(chart_->IndicatorList->itemText(1), QStringLiteral("Спирт,%"));
        QCOMPARE(chart_->SampleList->itemText(0), QStringLiteral("все пробы"));
        // The menu's extra items do not reach the [View] section.
        QVERIFY(form_->close());
        const TIniPlus ini(h_->IniPath());
        QCOMPARE(ini.ReadText("View", "31", "none"), QStringLiteral("0"));
        QCOMPARE(ini.ReadText("View", "32", "none"), QStringLiteral("none"));
        QCOMPARE(ini.ReadText("View", "33", "none"), QStringLiteral("none"));
    }

    void followsAppendedMeasurementsAndNameEdits() {
        Measure("Эталон", {{kAlcohol, 5.0}});
        Measure("Пиво", {{kAlcohol, 4.4}});
        Measure("Эталон", {{kExtract, 3.0}}); // no alcohol: not shown
        Measure("Эталон", {{kAlcohol, 5.1}});
        QTRY_COMPARE(Shown(*chart_), Expected(Table(), kAlcohol));
        QCOMPARE(Shown(*chart_).size(), 3);
        QCOMPARE(chart_->SampleList->count(), 3); // все пробы, Эталон, Пиво

        chart_->SetSample(QStringLiteral("Эталон"));
        QCOMPARE(Shown(*chart_), Expected(Table(), kAlcohol, "Эталон"));
        QCOMPARE(Shown(*chart_).size(), 2);

        // The operator renames row 2 in the grid: it joins the reference.
        const QModelIndex name = Table().index(1, 0); // table row 2, column 1
        QVERIFY(Table().setData(name, QStringLiteral("Эталон")));
        QTRY_COMPARE(Shown(*chart_).size(), 3);
        QCOMPARE(Shown(*chart_), Expected(Table(), kAlcohol, "Эталон"));
        QTRY_COMPARE(chart_->SampleList->count(), 2); // "Пиво" is gone
        QCOMPARE(chart_->Sample(), QStringLiteral("Эталон"));

        // The next measurement arrives while the window is open.
        Measure("Эталон", {{kAlcohol, 4.9}});
        QTRY_COMPARE(Shown(*chart_).size(), 4);
        QCOMPARE(Shown(*chart_), Expected(Table(), kAlcohol, "Эталон"));
        QVERIFY(chart_->CentreLine->isVisible());
        QCOMPARE(chart_->CentreLine->points().first().y(), (5.0 + 4.4 + 5.1 + 4.9) / 4);

        // Another indicator from the list.
        chart_->SetColumn(kExtract);
        QCOMPARE(Shown(*chart_), Expected(Table(), kExtract, "Эталон"));
        QCOMPARE(Shown(*chart_).size(), 1);
    }

    void manyRowsMakeOneRedraw() {
        const int before = chart_->RebuildCount();
        for (int i = 0; i < 300; ++i)
            Measure(QStringLiteral("Проба %1").arg(i % 7), {{kAlcohol, 5.0 + i % 5 * 0.1}});
        QVERIFY(chart_->RebuildPending());
        QTRY_VERIFY(!chart_->RebuildPending());
        QCOMPARE(chart_->RebuildCount(), before + 1);
        QCOMPARE(Shown(*chart_).size(), 300);
        QCOMPARE(chart_->SampleList->count(), 8);
    }

    void closedWindowCatchesUpWhenOpenedAgain() {
        MeasureReference({5.0, 5.1});
        QTRY_COMPARE(Shown(*chart_).size(), 2);
        chart_->close();
        MeasureReference({5.2, 5.3});
        QVERIFY(chart_->RebuildPending());
        form_->actChart->trigger(); // drawn as it opens, without waiting
        QVERIFY(chart_->isVisible());
        QCOMPARE(Shown(*chart_), Expected(Table(), kAlcohol));
        QCOMPARE(Shown(*chart_).size(), 4);
    }

    void newAndOpenReplaceTheChart() {
        MeasureReference({5.0, 5.1, 5.0});
        QTRY_COMPARE(Shown(*chart_).size(), 3);
        form_->SaveDialog1 = [this](const QString&) { return h_->Path("day.txt"); };
        form_->actSaveAsExecute();

        form_->actNewExecute();
        QTRY_COMPARE(Shown(*chart_).size(), 0);
        QVERIFY(!chart_->CentreLine->isVisible());
        QVERIFY(chart_->NoteLabel->text().contains(QStringLiteral("Нет измерений")));

        form_->OpenDialog1 = [this](const QString&) { return h_->Path("day.txt"); };
        form_->actOpenFileExecute();
        QTRY_COMPARE(Shown(*chart_).size(), 3);
        QCOMPARE(Shown(*chart_), Expected(Table(), kAlcohol));
        QVERIFY(h_->Errors.isEmpty());
    }

    void limitsAndRuleMarks() {
        // Two points: no lines, and the window says why.
        MeasureReference({5.0, 5.1});
        QTRY_COMPARE(Shown(*chart_).size(), 2);
        for (QLineSeries* line : {chart_->CentreLine, chart_->UpperWarning, chart_->LowerWarning,
                                  chart_->UpperControl, chart_->LowerControl})
            QVERIFY(!line->isVisible());
        QVERIFY(chart_->NoteLabel->text().contains(QStringLiteral("не меньше 3")));

        // The first worked example of the core test: the last point beyond 3σ.
        MeasureReference({5.0, 4.9, 5.0, 5.1, 5.0, 4.9, 5.0, 5.1, 5.0, 6.0});
        Measure(QStringLiteral("Пиво"), {{kAlcohol, 4.0}});
        chart_->SetSample(QStringLiteral("Эталон"));
        QTRY_COMPARE(Shown(*chart_).size(), 12);
        QVERIFY(chart_->UpperControl->isVisible());
        QVERIFY(std::fabs(chart_->UpperControl->points().first().y() - 5.575226) < 1e-5);
        QVERIFY(std::fabs(chart_->LowerWarning->points().first().y() - 4.769294) < 1e-5);
        QCOMPARE(chart_->OutOfControlSeries->count(), 1);
        QCOMPARE(chart_->WarningSeries->count(), 0);
        QCOMPARE(chart_->InControlSeries->count(), 11);
        const QPointF red = chart_->OutOfControlSeries->points().first();
        QCOMPARE(red.y(), 6.0);

        // Hovering the red point names its row, sample, date, time and value.
        const QString tip = chart_->ToolTipFor(chart_->OutOfControlSeries, red);
        const int row = Table().RowCount() - 3;
        QCOMPARE(Table().Cell(kAlcohol, row), QByteArray("6,00"));
        QVERIFY2(tip.contains(QStringLiteral("№ %1").arg(row)), qPrintable(tip));
        QVERIFY(tip.contains(QStringLiteral("Эталон")));
        QVERIFY(tip.contains(Cp1251::decode(Table().CellView(2, row))));
        QVERIFY(tip.contains(Cp1251::decode(Table().CellView(3, row))));
        QVERIFY(tip.contains(QStringLiteral("Спирт,%: 6,00")));
        QVERIFY(chart_->ToolTipFor(chart_->InControlSeries, QPointF(0, -1)).isEmpty());
        // The mouse on the point shows it.
        QTRY_VERIFY(!chart_->RebuildPending());
        QChart* chart = chart_->ChartView->chart();
        const QPoint onPoint =
            chart_->ChartView->mapFromScene(chart->mapToPosition(red, chart_->OutOfControlSeries));
        QTest::mouseMove(chart_->ChartView->viewport(), onPoint + QPoint(-30, 0));
        QTest::mouseMove(chart_->ChartView->viewport(), onPoint);
        QTRY_COMPARE(QToolTip::text(), tip);
        // The legend names the rules.
        QVERIFY(chart_->WarningSeries->name().contains(QStringLiteral("2 из 3")));
        QVERIFY(chart_->OutOfControlSeries->name().contains(QStringLiteral("±3σ")));
    }

    // Nominal 5 ± 0,3 makes σ = 0,1: 5,01 … 5,08 stay inside ±2σ (4,8 … 5,2),
    // so only the Western Electric rules see them: all eight above the centre
    // (the 8th breaks the run rule) and rising from the first (the 6th, 7th
    // and 8th break the trend rule).
    void fixedLimitsAndTheRuleList() {
        for (double v : {5.01, 5.02, 5.03, 5.04, 5.05, 5.06, 5.07, 5.08})
            Measure(QStringLiteral("Эталон"), {{kAlcohol, v}});
        QTRY_COMPARE(Shown(*chart_).size(), 8);
        QVERIFY(!chart_->LimitsPanel->SaveButton->isEnabled()); // all samples
        QVERIFY(chart_->LimitsPanel->StatusLabel->text().contains(QStringLiteral("одной пробы")));
        chart_->SetSample(QStringLiteral("Эталон"));
        QStringList errors;
        chart_->ErrorBox = [&](const QString&, const QString& text) { errors << text; };
        chart_->LimitsPanel->SetMode(TLimitsKind::Nominal);
        chart_->LimitsPanel->NominalEdit->setText(QStringLiteral("5"));
        chart_->LimitsPanel->ToleranceEdit->setText(QStringLiteral("0,3"));
        chart_->LimitsPanel->SaveButton->click();
        QCOMPARE(errors, QStringList());
        QVERIFY(std::fabs(chart_->UpperControl->points().first().y() - 5.3) < 1e-9);
        QVERIFY(chart_->NoteLabel->text().contains(QStringLiteral("σ = допуск / 3")));
        QCOMPARE(chart_->RuleList->rowCount(), 0);

        chart_->WesternElectricBox->setChecked(true);
        QCOMPARE(chart_->RuleList->rowCount(), 3);
        const int last = Table().RowCount() - 2;
        const auto line = [&](int i) {
            QStringList cells;
            for (int c = 0; c < 4; ++c)
                cells << chart_->RuleList->item(i, c)->text();
            return cells;
        };
        QCOMPARE(line(2), (QStringList{Cp1251::decode(Table().CellView(2, last)),
                                       Cp1251::decode(Table().CellView(3, last)), "5,08",
                                       "8 подряд по одну сторону средней; 6 подряд растут или падают"}));
        QCOMPARE(line(0)[3], QStringLiteral("6 подряд растут или падают"));

        // Choosing a line rings its point and selects its row in the table.
        QSignalSpy chosen(chart_, &TChartWindow::pointChosen);
        chart_->RuleList->selectRow(2);
        QCOMPARE(chosen.size(), 1);
        QCOMPARE(chosen[0][0].toInt(), last);
        QCOMPARE(chart_->SelectedSeries->points(), QList<QPointF>{Shown(*chart_).last()});
        QCOMPARE(form_->MainGrid->currentIndex().row(), last - 1);

        // Kept in the archive: a new window shows them; reset goes back to the points.
        TChartWindow other(&Table(), kRu);
        other.ArchiveSource = [this] { return form_->Doc.Archive(); };
        other.SetSample(QStringLiteral("Эталон"));
        other.SetColumn(kAlcohol);
        QCOMPARE(other.LimitsPanel->Mode(), TLimitsKind::Nominal);
        QVERIFY(std::fabs(other.Data().Limits.Sigma - 0.1) < 1e-9);
        chart_->LimitsPanel->ResetButton->click();
        QCOMPARE(chart_->LimitsPanel->Mode(), TLimitsKind::Points);
        QCOMPARE(chart_->Data().Limits.Kind, TLimitsKind::Points);

        // Without an archive there are none, and the window says so.
        other.ArchiveSource = [] { return nullptr; };
        other.Rebuild();
        QVERIFY(!other.LimitsPanel->SaveButton->isEnabled());
        QVERIFY(other.LimitsPanel->StatusLabel->text().contains(QStringLiteral("Архив не открыт")));
    }

    // A row whose measurement the archive marks invalid is drawn separately
    // and left out: 5,0 5,1 [9,0] 5,0 give the mean 15,1 / 3 = 5,033333 and
    // no rule broken.
    void invalidRowsOfTheTableAreLeftOut() {
        MeasureReference({5.0, 5.1, 9.0, 5.0});
        TArchive* archive = form_->Doc.Archive();
        QVERIFY(archive);
        ControlChart::TDateTimeReader reader(kRu);
        const std::optional<TArchiveMeasurement> read = TArchive::FromRow(Table().RowAt(3), reader);
        QVERIFY(read);
        TArchiveMeasurement m = TArchive::FromRecord({}, read->Measured, 10, QStringLiteral("ttyS0"));
        m.Calibration = read->Calibration;
        m.Values = read->Values;
        QVERIFY(archive->Add(m));
        form_->actArchive->trigger();
        archive->MarkInvalid(archive->Find(m.Uid)->Id, QStringLiteral("Пузырь в кювете"));
        emit form_->ArchiveWindow->marksChanged(); // as its mark buttons do
        QCOMPARE(chart_->ExcludedSeries->count(), 1);
        const QPointF invalid = chart_->ExcludedSeries->points().first();
        QCOMPARE(invalid.y(), 9.0);
        QVERIFY(chart_->ToolTipFor(chart_->ExcludedSeries, invalid).contains(QStringLiteral("Пузырь")));
        QVERIFY(std::fabs(chart_->Data().Limits.Mean - 5.033333) < 1e-6);
        QCOMPARE(chart_->RuleList->rowCount(), 0);
    }

    // A file written under a decimal point: its values are shown with the
    // locale's comma, in the tip as in the rule list.
    void valuesShownWithTheLocaleSeparator() {
        MeasureReference({5.0, 4.9, 5.0, 5.1, 5.0, 4.9, 5.0, 5.1, 5.0, 6.0});
        Table().SetCell(kAlcohol, Table().RowCount() - 2, "6.00");
        QTRY_VERIFY(!chart_->RebuildPending());
        QCOMPARE(chart_->OutOfControlSeries->count(), 1);
        const QString tip =
            chart_->ToolTipFor(chart_->OutOfControlSeries, chart_->OutOfControlSeries->at(0));
        QVERIFY2(tip.endsWith(QStringLiteral("Спирт,%: 6,00")), qPrintable(tip));
        QCOMPARE(chart_->RuleList->item(0, 2)->text(), QStringLiteral("6,00"));
    }

    void axisLabelsUseTheLocaleSeparator_data() {
        QTest::addColumn<QList<double>>("values");
        QTest::addColumn<QString>("label");
        QTest::newRow("the table's decimals") << QList<double>{5.0, 5.1, 5.0, 4.9} << "5,00";
        QTest::newRow("thousands, not grouped")
            << QList<double>{1000.0, 1000.1, 1000.0, 999.9} << "1000,00";
    }
    void axisLabelsUseTheLocaleSeparator() {
        QFETCH(QList<double>, values);
        QFETCH(QString, label);
        for (double v : values)
            Measure(QStringLiteral("Эталон"), {{kAlcohol, v}});
        QTRY_VERIFY(!chart_->RebuildPending());
        const auto labels = [this] {
            QStringList out;
            for (QGraphicsItem* item : chart_->ChartView->scene()->items())
                if (auto* text = dynamic_cast<QGraphicsTextItem*>(item))
                    out << text->toPlainText();
            return out;
        };
        // With the table's two decimals, as the table writes the values; the
        // chart lays its labels out when it next gets to it.
        QTRY_VERIFY2_WITH_TIMEOUT(labels().contains(label), qPrintable(labels().join(u'|')), 10000);
    }

    // Another window on the table opens where the last one was left; what
    // the table no longer has falls back to the first shown indicator and
    // all samples.
    void opensOnTheLastIndicatorAndSample() {
        Measure(QStringLiteral("Пиво"), {{kAlcohol, 4.9}, {kExtract, 2.0}});
        chart_->SetColumn(kExtract);
        chart_->SetSample(QStringLiteral("Пиво"));
        TChartWindow again(&Table(), kRu);
        again.SetSettingsFile(form_->ConfigFilePath());
        QCOMPARE(again.Column(), kExtract);
        QCOMPARE(again.Sample(), QStringLiteral("Пиво"));
        {
            TIniPlus ini(form_->ConfigFilePath());
            ini.WriteNumber(QStringLiteral("Chart"), QStringLiteral("Column"), 99);
            ini.WriteText(QStringLiteral("Chart"), QStringLiteral("Sample"), QStringLiteral("Квас"));
        }
        TChartWindow gone(&Table(), kRu);
        gone.SetSettingsFile(form_->ConfigFilePath());
        QCOMPARE(gone.Column(), TChartWindow(&Table(), kRu).Column());
        QCOMPARE(gone.Sample(), QString());
    }

    void exportsPngAndOnePagePdf() {
        MeasureReference({5.0, 5.1, 5.0, 4.9, 5.0, 5.1, 5.0, 4.9, 5.0, 5.1, 5.0, 6.0});
        QTRY_COMPARE(Shown(*chart_).size(), 12);
        QString file;
        chart_->ExportDialog = [&](const QString&) { return file; };
        QStringList errors;
        chart_->ErrorBox = [&](const QString& caption, const QString& text) {
            errors << caption + u'|' + text;
        };

        file = h_->Path("chart.png");
        chart_->ExportButton->click();
        QImage image(file);
        QVERIFY(!image.isNull());
        // 180 × 110 mm at 300 dpi.
        QCOMPARE(image.size(), QSize(2126, 1299));
        QVERIFY(std::abs(image.dotsPerMeterX() - 11811) <= 1);
        QVERIFY(std::abs(image.dotsPerMeterY() - 11811) <= 1);
        // Not a blank page: the red of the point beyond 3σ is in it.
        bool red = false;
        for (int y = 0; y < image.height() && !red; ++y)
            for (int x = 0; x < image.width() && !red; ++x)
                red = image.pixelColor(x, y) == QColor(0xd0, 0x10, 0x10);
        QVERIFY(red);

        file = h_->Path("chart.pdf");
        chart_->ExportButton->click();
        QVERIFY(QFile(file).size() > 0);
        QProcess info;
        info.start(QStringLiteral("pdfinfo"), {file});
        QVERIFY(info.waitForFinished(60000));
        const QString out = QString::fromUtf8(info.readAllStandardOutput());
        QVERIFY2(out.contains(QRegularExpression(QStringLiteral("Pages:\\s+1\\n"))),
                 qPrintable(out));

        // Cancelled: nothing written. A folder that does not exist: told.
        file.clear();
        chart_->ExportButton->click();
        QVERIFY(errors.isEmpty());
        file = h_->Path("nofolder/chart.png");
        chart_->ExportButton->click();
        QCOMPARE(errors.size(), 1);
        QVERIFY(errors[0].startsWith(QStringLiteral("Ошибка|Не удалось сохранить график")));
        QVERIFY(!QFile::exists(file));
    }
};

QTEST_MAIN(TstChartWindow)
#include "tst_chartwindow.moc"
