#include "archive/ArchiveModel.h"
#include "archiveui/ArchiveWindow.h"
#include "chart/ChartLimitsPanel.h"
#include "chart/ChartWindow.h"
#include "config/Cp1251.h"
#include "document/RegisterDocument.h"
#include "measurement/ValueText.h"
#include "register/Unit1.h"
#include "report/ReportSettings.h"
#include "support/FormHarness.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTableView>
#include <QTableWidget>
#include <QToolBar>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QDialog>
#include <QDialogButtonBox>
#include <QScrollBar>
#include <QTimer>
#include <QApplication>
#include <QtTest>

#include <map>
#include <memory>

namespace {

constexpr int kRows = 3000;
constexpr int kAlcohol = 1; // indicators, 0-based
constexpr int kDensity = 4;
const QLocale kRu(QLocale::Russian, QLocale::Russia);
const QDateTime kBase(QDate::currentDate().addDays(-3), QTime(8, 0));

// Row i of the test archive: a minute after row i - 1, every third one wine,
// four devices in turn, an indicator only on even rows.
TArchiveMeasurement Row(int i) {
    TArchiveMeasurement m;
    m.Uid = QStringLiteral("u%1").arg(i);
    m.Device = quint16(1 + i % 4);
    m.Port = QStringLiteral("ttyUSB0");
    m.Measured = kBase.addSecs(60 * i);
    m.Calibration = 1 + i % 5;
    m.Values[kAlcohol] = 12.3456 + i % 7;
    m.Values[kDensity] = 1.00937 + (i % 50) * 1e-5;
    if (i % 2 == 0)
        m.Values[2] = 2.5;
    m.SampleName =
        i % 3 == 0 ? QStringLiteral("Вино красное %1").arg(i) : QStringLiteral("Пиво %1").arg(i);
    m.Source = TArchive::SourceAnalyser;
    return m;
}

int RowIndex(const TArchiveMeasurement& m) {
    return m.Uid.mid(1).toInt();
}

void FetchAll(TArchiveModel& model) {
    while (model.canFetchMore(QModelIndex()))
        model.fetchMore(QModelIndex());
}

} // namespace

class TstArchiveWindow : public QObject {
    Q_OBJECT

    std::unique_ptr<TFormHarness> h_;
    std::unique_ptr<TForm1> form_;
    TArchiveWindow* w_ = nullptr;
    QStringList errors_;

    TArchive& Archive() { return *form_->Doc.Archive(); }
    TArchiveModel& Model() { return *w_->Model; }
    qint64 Id(int i) { return Archive().Find(QStringLiteral("u%1").arg(i))->Id; }

    void Choose(const QList<int>& rows) {
        w_->List->clearSelection();
        for (const int r : rows)
            w_->List->selectionModel()->select(Model().index(r, 0), QItemSelectionModel::Select |
                                                                        QItemSelectionModel::Rows);
    }

private slots:
    void init() {
        form_.reset();
        h_ = std::make_unique<TFormHarness>();
        QVERIFY(h_->IsValid());
        form_ = h_->MakeForm();
        form_->Doc.Cycle().Locale = kRu;
        QVERIFY(form_->Doc.Archive());
        std::vector<TArchiveMeasurement> rows;
        for (int i = 0; i < kRows; ++i)
            rows.push_back(Row(i));
        QCOMPARE(Archive().AddAll(rows), kRows);
        form_->actArchive->trigger();
        w_ = form_->ArchiveWindow.get();
        QVERIFY(w_);
        errors_.clear();
        w_->ErrorBox = [this](const QString&, const QString& text) { errors_ << text; };
    }

    void cleanup() {
        QVERIFY2(errors_.isEmpty(), qPrintable(errors_.join(u'\n')));
        w_ = nullptr;
        form_.reset();
        h_.reset();
    }

    void openedFromFileMenuAndToolBar() {
        QVERIFY(w_->isVisible());
        QCOMPARE(w_->windowTitle(), QStringLiteral("Архив"));
        QVERIFY(form_->mnFile->actions().contains(form_->actArchive));
        const auto tools = form_->ToolBar1->actions();
        QCOMPARE(tools.indexOf(form_->actArchive), tools.indexOf(form_->actChart) + 1);
        QVERIFY(!form_->actArchive->icon().isNull());
        form_->actArchive->trigger();
        QCOMPARE(form_->ArchiveWindow.get(), w_);
        QCOMPARE(form_->findChildren<TArchiveWindow*>().size(), 1);
    }

    void rowsComeAPageAtATime() {
        // The last 30 days hold every row; the first page only is read.
        QCOMPARE(Model().rowCount(), TArchiveModel::PageSize);
        QVERIFY(Model().canFetchMore(QModelIndex()));
        Model().fetchMore(QModelIndex());
        QCOMPARE(Model().rowCount(), 2 * TArchiveModel::PageSize);
        FetchAll(Model());
        QCOMPARE(Model().rowCount(), kRows);
        // In time order, each row once across the page boundaries.
        for (int r = 0; r < kRows; ++r)
            QCOMPARE(RowIndex(Model().Measurement(r)), r);
        QVERIFY(w_->StatusLabel->text().contains(kRu.toString(kRows)));
    }

    void filters_data() {
        QTest::addColumn<QString>("sample");
        QTest::addColumn<QString>("device");
        QTest::addColumn<int>("fromDay"); // days before today
        QTest::addColumn<int>("toDay");
        QTest::addColumn<bool>("byEnter");
        const QString any;
        QTest::newRow("name, any case") << QString("ВИНО") << any << 30 << 0 << true;
        QTest::newRow("device") << any << QString("2") << 30 << 0 << false;
        QTest::newRow("name and device") << QString("вино") << QString("1") << 30 << 0 << true;
        QTest::newRow("one day") << any << any << 2 << 2 << false;
        QTest::newRow("nothing") << QString("нет такой") << any << 30 << 0 << true;
    }

    void filters() {
        QFETCH(QString, sample);
        QFETCH(QString, device);
        QFETCH(int, fromDay);
        QFETCH(int, toDay);
        QFETCH(bool, byEnter);
        const QDate from = QDate::currentDate().addDays(-fromDay);
        const QDate to = QDate::currentDate().addDays(-toDay);
        QList<int> expected;
        for (int i = 0; i < kRows; ++i) {
            const TArchiveMeasurement m = Row(i);
            if (m.SampleName.contains(sample, Qt::CaseInsensitive) &&
                (device.isEmpty() || m.Device == device.toUInt()) && m.Measured.date() >= from &&
                m.Measured.date() <= to)
                expected << i;
        }
        w_->SampleEdit->setText(sample);
        w_->DeviceEdit->setText(device);
        w_->FromEdit->setDate(from);
        w_->ToEdit->setDate(to);
        if (byEnter)
            QTest::keyClick(w_->SampleEdit, Qt::Key_Return);
        else
            w_->FindButton->click();
        FetchAll(Model());
        QList<int> shown;
        for (int r = 0; r < Model().rowCount(); ++r)
            shown << RowIndex(Model().Measurement(r));
        QCOMPARE(shown, expected);
        QCOMPARE(w_->StatusLabel->text(),
                 QStringLiteral("Измерений: ") + kRu.toString(expected.size()));
    }

    // Every date field as an operator types into it under ru_RU: over the
    // whole text (Ctrl+A) or over one section, separators typed or not.
    void typedDates_data() {
        QTest::addColumn<QString>("field");
        QTest::addColumn<int>("section"); // QDateTimeEdit::Section; none: Ctrl+A
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QDate>("date"); // from 15.09.2026
        for (const char* field : {"archive from", "archive to", "base from", "base to"}) {
            const auto row = [field](const char* how) -> QTestData& {
                return QTest::addRow("%s: %s", field, how) << QString::fromLatin1(field);
            };
            const int none = QDateTimeEdit::NoSection;
            row("all, full date") << none << "01.10.2026" << QDate(2026, 10, 1);
            row("all, day and month") << none << "01.10" << QDate(2026, 10, 1);
            row("day on") << int(QDateTimeEdit::DaySection) << "5.3.2027" << QDate(2027, 3, 5);
            row("month") << int(QDateTimeEdit::MonthSection) << "10" << QDate(2026, 10, 15);
        }
    }
    void typedDates() {
        QFETCH(QString, field);
        QFETCH(int, section);
        QFETCH(QString, typed);
        QFETCH(QDate, date);
        form_->actChart->trigger();
        TChartLimitsPanel* panel = form_->ChartWindow->LimitsPanel;
        const std::map<QString, QDateEdit*> fields{{"archive from", w_->FromEdit},
                                                   {"archive to", w_->ToEdit},
                                                   {"base from", panel->FromEdit},
                                                   {"base to", panel->ToEdit}};
        panel->SetAvailable(true, {});
        panel->SetMode(TLimitsKind::BasePeriod);
        QDateEdit* edit = fields.at(field);
        edit->setDate(QDate(2026, 9, 15));
        if (section == QDateTimeEdit::NoSection)
            QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
        else
            edit->setSelectedSection(QDateTimeEdit::Section(section));
        QTest::keyClicks(edit, typed);
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(edit->date(), date);
        QCOMPARE(edit->text(), kRu.toString(date, QLocale::ShortFormat));
    }

    void decimalsPerIndicatorKeptInSettings() {
        const auto text = [this](int indicator) {
            return Model().index(0, TArchiveModel::FirstIndicator + indicator).data().toString();
        };
        QCOMPARE(text(kDensity), QStringLiteral("1,00937"));
        QCOMPARE(text(kAlcohol), QStringLiteral("12,35"));
        QCOMPARE(text(3), QString()); // absent
        w_->AskDecimals = [](const TArchiveWindow::TDecimals& current) {
            TArchiveWindow::TDecimals d = current;
            d[kDensity] = 3;
            d[kAlcohol] = 0;
            return std::optional(d);
        };
        w_->DecimalsButton->click();
        QCOMPARE(text(kDensity), QStringLiteral("1,009"));
        QCOMPARE(text(kAlcohol), QStringLiteral("12"));
        TArchiveSettings stored;
        stored.Read(h_->IniPath());
        QCOMPARE(stored.Decimals[kDensity], 3);
        QCOMPARE(stored.Decimals[kAlcohol], 0);
        QCOMPARE(stored.Decimals[0], 2);
    }

    void invalidRowsStruckOutOrLeftOut() {
        const auto struck = [this](int row) {
            return Model().index(row, 0).data(Qt::FontRole).value<QFont>().strikeOut();
        };
        // An empty reason is a cancel; the question names what it marks.
        QStringList asked;
        w_->AskReason = [&](const QString& what) {
            asked << what;
            return QString();
        };
        Choose({0});
        w_->MarkInvalidButton->click();
        QVERIFY(!Archive().FindId(Id(0))->Invalid());

        w_->AskReason = [&](const QString& what) {
            asked << what;
            return QStringLiteral("Пузырь в кювете");
        };
        Choose({0, 1});
        w_->MarkInvalidButton->click();
        QCOMPARE(asked, (QStringList{QStringLiteral("измерение %1, прибор №1, «Вино красное 0»")
                                         .arg(kRu.toString(kBase, u"dd.MM.yyyy HH:mm:ss")),
                                     QStringLiteral("выбранные измерения (2)")}));
        // Marked rows stay in sight, struck through, until the next search.
        QCOMPARE(RowIndex(Model().Measurement(0)), 0);
        QVERIFY(struck(0) && struck(1) && !struck(2));
        QCOMPARE(w_->StatusLabel->text(), QStringLiteral("Измерений: ") + kRu.toString(kRows - 2));
        w_->FindButton->click();
        QCOMPARE(RowIndex(Model().Measurement(0)), 2);

        w_->ShowInvalidBox->setChecked(true);
        w_->FindButton->click();
        QCOMPARE(RowIndex(Model().Measurement(0)), 0);
        QVERIFY(struck(0) && struck(1) && !struck(2));
        const QString tip = Model().index(1, 3).data(Qt::ToolTipRole).toString();
        QVERIFY2(tip.contains(QStringLiteral("Пузырь в кювете")) &&
                     tip.contains(TArchive::ThisUser()),
                 qPrintable(tip));
        QVERIFY(Model().index(2, 3).data(Qt::ToolTipRole).isNull());

        Choose({0});
        w_->ClearMarkButton->click();
        QVERIFY(!struck(0) && struck(1));
        QVERIFY(!Archive().FindId(Id(0))->Invalid());
    }

    // The reason's dialog takes no blank reason: OK waits for one.
    void reasonDialogWantsAReason() {
        Choose({0});
        QTimer::singleShot(0, this, [] {
            QDialog* dialog = nullptr;
            QTRY_VERIFY_WITH_TIMEOUT((dialog = qobject_cast<QDialog*>(
                                          QApplication::activeModalWidget())) != nullptr,
                                     10000);
            auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("ReasonEdit"));
            auto* buttons = dialog->findChild<QDialogButtonBox*>();
            QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
            QVERIFY(!ok->isEnabled());
            edit->setText(QStringLiteral("   "));
            QVERIFY(!ok->isEnabled());
            edit->setText(QStringLiteral(" мутная проба "));
            QVERIFY(ok->isEnabled());
            ok->click();
        });
        w_->MarkInvalidButton->click();
        QCOMPARE(Archive().FindId(Id(0))->InvalidReason, QStringLiteral("мутная проба"));
    }

    // A new measurement appears at the end of a list that is loaded to its
    // end, and the list follows it when scrolled to the bottom.
    void listFollowsNewMeasurements() {
        w_->DeviceEdit->setText(QStringLiteral("1"));
        w_->FindButton->click();
        FetchAll(Model());
        const int before = Model().rowCount();
        QCOMPARE(before, kRows / 4);
        w_->List->scrollToBottom();
        TArchiveMeasurement m = Row(kRows);
        m.Device = 1;
        QCOMPARE(Archive().AddAll({m}), 1);
        w_->NoteArchived();
        QCOMPARE(Model().rowCount(), before + 1);
        QCOMPARE(RowIndex(Model().Measurement(before)), kRows);
        QCOMPARE(w_->List->verticalScrollBar()->value(), w_->List->verticalScrollBar()->maximum());
        QCOMPARE(w_->StatusLabel->text(), QStringLiteral("Измерений: ") + kRu.toString(before + 1));
    }

    void openInTable_data() {
        QTest::addColumn<bool>("unsaved");
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("opened");
        QTest::newRow("saved table: not asked") << false << int(QMessageBox::Cancel) << true;
        QTest::newRow("unsaved, not kept") << true << int(QMessageBox::No) << true;
        QTest::newRow("unsaved, cancelled") << true << int(QMessageBox::Cancel) << false;
    }

    void openInTable() {
        QFETCH(bool, unsaved);
        QFETCH(int, answer);
        QFETCH(bool, opened);
        if (unsaved)
            form_->Doc.EditStarted();
        h_->Answer = QMessageBox::StandardButton(answer);
        const QString before = form_->CurrentFileName();
        Choose({0, 1, 4});
        w_->OpenInTableButton->click();
        QCOMPARE(h_->Asked, unsaved ? QStringList{"save"} : QStringList());
        if (!opened) {
            QCOMPARE(form_->CurrentFileName(), before);
            QVERIFY(form_->Doc.Modified());
            return;
        }
        QCOMPARE(QFileInfo(form_->CurrentFileName()).fileName(), QStringLiteral("Новый1.txt"));
        QVERIFY(form_->Doc.Modified());
        // As the register writes these measurements.
        TResultsTable expected;
        for (const int i : {0, 1, 4}) {
            const TArchiveMeasurement m = Row(i);
            TMeasurementRecord record;
            record.Calibration = quint8(m.Calibration);
            for (int k = 0; k < IndicatorCount; ++k)
                if (m.Values[size_t(k)]) {
                    record.Mask |= 1u << k;
                    record.Values[size_t(k)] = *m.Values[size_t(k)];
                }
            expected.SetCell(1, expected.RowCount() - 1, Cp1251::encode(m.SampleName));
            form_->Doc.Cycle().AppendMeasurement(expected, record, m.Measured);
        }
        const TResultsTable& table = *form_->Table();
        QCOMPARE(table.RowCount(), expected.RowCount());
        for (int r = 1; r < table.RowCount(); ++r)
            for (int c = 0; c < TResultsTable::ColCount; ++c)
                QCOMPARE(table.Cell(c, r), expected.Cell(c, r));
    }

    void chartFromTheQuery_data() {
        QTest::addColumn<QList<int>>("chosen");
        QTest::addColumn<int>("invalid"); // row marked invalid, -1: none
        QTest::addColumn<bool>("showInvalid");
        QTest::addColumn<QList<int>>("expected"); // empty: every row
        QTest::newRow("every row") << QList<int>{} << -1 << false << QList<int>{};
        QTest::newRow("one chosen: every row") << QList<int>{3} << -1 << false << QList<int>{};
        QTest::newRow("chosen rows")
            << QList<int>{3, 10, 11} << -1 << false << QList<int>{3, 10, 11};
        QList<int> withoutSeven;
        for (int i = 0; i < kRows; ++i)
            if (i != 7)
                withoutSeven << i;
        QTest::newRow("invalid left out") << QList<int>{} << 7 << false << withoutSeven;
        QTest::newRow("invalid shown") << QList<int>{} << 7 << true << QList<int>{};
    }

    void chartFromTheQuery() {
        QFETCH(QList<int>, chosen);
        QFETCH(int, invalid);
        QFETCH(bool, showInvalid);
        QFETCH(QList<int>, expected);
        if (expected.isEmpty())
            for (int i = 0; i < kRows; ++i)
                expected << i;
        if (invalid >= 0)
            Archive().MarkInvalid(Id(invalid), QStringLiteral("проба"));
        w_->ShowInvalidBox->setChecked(showInvalid);
        w_->FindButton->click();
        Choose(chosen);
        // Not from the register's table, which holds none of these.
        w_->ChartButton->click();
        TChartWindow* chart = w_->Chart;
        QVERIFY(chart && chart->isVisible());
        QCOMPARE(chart->parent(), w_);
        chart->SetColumn(kDensity + 5);
        const QList<QPointF> points = chart->TrendSeries->points();
        QCOMPARE(points.size(), expected.size());
        for (int n = 0; n < points.size(); ++n) {
            const TArchiveMeasurement m = Row(expected[n]);
            QCOMPARE(qint64(points[n].x()), m.Measured.toMSecsSinceEpoch());
            // 1,00937 stays 1,00937 (the table's two decimals would give 1,01).
            QVERIFY2(qAbs(points[n].y() - *m.Values[kDensity]) < 1e-9,
                     qPrintable(QString::number(points[n].y(), 'g', 17)));
        }
        // An invalid row that is shown is drawn separately, with its reason.
        const QList<QPointF> invalidPoints = chart->ExcludedSeries->points();
        QCOMPARE(invalidPoints.size(), invalid >= 0 && showInvalid ? 1 : 0);
        if (!invalidPoints.isEmpty())
            QVERIFY(chart->ToolTipFor(chart->ExcludedSeries, invalidPoints[0]).contains(QStringLiteral("проба")));
        chart->close();
        QTRY_VERIFY_WITH_TIMEOUT(!w_->Chart, 10000); // freed when closed
    }

    void reportOfChosenRowsAndOfTheTable() {
        const auto pdf = [](const QString& path) {
            QFile file(path);
            return file.open(QIODevice::ReadOnly) && file.read(4) == "%PDF";
        };
        std::vector<TReportRequest> asked;
        const auto answer = [&](const QString& name) {
            return [&, name](const TReportRequest& start) {
                asked.push_back(start);
                TReportRequest request = start;
                request.Laboratory = QStringLiteral("Лаборатория завода");
                request.FileName = h_->Path(name);
                return std::optional(request);
            };
        };
        w_->ReportDialog = answer(QStringLiteral("архив.pdf"));
        form_->Table()->SetColWidth(5 + kDensity, 0);
        Choose({4, 5, 6});
        w_->ReportButton->click();
        QVERIFY(pdf(h_->Path(QStringLiteral("архив.pdf"))));
        QVERIFY(w_->StatusLabel->text().contains(QStringLiteral("страниц 1")));
        // The indicators the table shows, offered.
        std::vector<int> shown;
        for (int k = 0; k < IndicatorCount; ++k)
            if (form_->Table()->ColVisible(k + 5))
                shown.push_back(k);
        QCOMPARE(asked.back().Indicators, shown);
        TReportSettings kept;
        kept.Read(h_->IniPath());
        QCOMPARE(kept.Laboratory, QStringLiteral("Лаборатория завода"));

        // The table's report from the file menu, the laboratory as kept.
        form_->Doc.NewFromArchive({Model().Measurement(4), Model().Measurement(5)});
        form_->ReportDialog = answer(QStringLiteral("таблица.pdf"));
        QVERIFY(form_->mnFile->actions().contains(form_->actReport));
        form_->actReport->trigger();
        QCOMPARE(asked.back().Laboratory, QStringLiteral("Лаборатория завода"));
        QVERIFY(pdf(h_->Path(QStringLiteral("таблица.pdf"))));
        QVERIFY2(h_->Errors.isEmpty(), qPrintable(h_->Errors.join(u'\n')));
    }

    // A row of an old results file: no device, its file's decimals ("1,01").
    void importedRowSaysWhatItDoesNotKnow() {
        TArchiveMeasurement m = Row(0);
        m.Uid = QStringLiteral("imported");
        m.Device.reset();
        m.Values[kDensity] = 1.01;
        m.Decimals = 2;
        m.Source = TArchive::SourceImport;
        Archive().Add(m);
        w_->FindButton->click();
        const auto cell = [this](int column) { return Model().index(1, column).data(); };
        QCOMPARE(cell(TArchiveModel::ColDevice).toString(), QStringLiteral("—"));
        const QByteArray density = cell(TArchiveModel::FirstIndicator + kDensity).toByteArray();
        QCOMPARE(TValueText::DecimalsOf(density), 2); // not the archive's five
        QVERIFY(Model().index(1, 0).data(Qt::ToolTipRole).toString().contains(u"Импортировал"));
    }

    void nameHistoryOfTheCurrentRow() {
        const QDateTime when(QDate(2026, 12, 1), QTime(10, 15));
        QVERIFY(Archive().Rename(QStringLiteral("u4"), QStringLiteral("Вино белое"),
                                 QStringLiteral("technologist"), when));
        w_->FindButton->click();
        QCOMPARE(Model().index(4, TArchiveModel::ColSample).data().toString(),
                 QStringLiteral("Вино белое"));
        w_->List->setCurrentIndex(Model().index(4, 0));
        QCOMPARE(w_->HistoryList->rowCount(), 1);
        QStringList cells;
        for (int c = 0; c < 4; ++c)
            cells << w_->HistoryList->item(0, c)->text();
        QCOMPARE(cells, (QStringList{kRu.toString(when, QLocale::ShortFormat), "technologist",
                                     "Пиво 4", "Вино белое"}));
        w_->List->setCurrentIndex(Model().index(5, 0));
        QCOMPARE(w_->HistoryList->rowCount(), 0);
    }

    void failuresEndInTheErrorBox_data() {
        QTest::addColumn<bool>("import");
        QTest::newRow("export") << false;
        QTest::newRow("import") << true;
    }

    void failuresEndInTheErrorBox() {
        QFETCH(bool, import);
        w_->ExportDialog = [this](const QString&) {
            return TArchiveWindow::TExportTarget{h_->Path("нет/папки/архив.csv"),
                                                 TExportFormat::Csv};
        };
        w_->ImportDialog = [this](const QString&) { return QStringList{h_->Path("нет.txt")}; };
        (import ? w_->ImportButton : w_->ExportButton)->click();
        QTRY_COMPARE_WITH_TIMEOUT(errors_.size(), 1, 10000); // an import reports from its thread
        errors_.clear();
        // Records are taken again after a failed import.
        QVERIFY(!form_->Doc.Asking());
    }

    void missingArchiveIsSaidNotCrashedOn() {
        TRegisterDocument doc(h_->Path("elsewhere")); // never started: no archive
        QVERIFY(!doc.Archive());
        TArchiveWindow w(doc, h_->IniPath());
        QVERIFY(w.StatusLabel->text().contains(QStringLiteral("недоступен")));
        QCOMPARE(w.Model->rowCount(), 0);
        QVERIFY(!w.ChartButton->isEnabled() && !w.ExportButton->isEnabled());
        w.Apply();
        w.ChartExecute();
        QVERIFY(!w.Chart);
    }
};

QTEST_MAIN(TstArchiveWindow)
#include "tst_archivewindow.moc"
