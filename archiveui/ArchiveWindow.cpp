#include "archiveui/ArchiveWindow.h"

#include "archive/ArchiveImport.h"
#include "archive/ArchiveModel.h"
#include "archive/ArchiveRows.h"
#include "archive/ImportJob.h"
#include "archive/LabArchive.h"
#include "chart/ChartWindow.h"
#include "config/Cp1251.h"
#include "controls/DateField.h"
#include "controls/WaitCursor.h"
#include "document/RegisterDocument.h"
#include "features/FeatureHost.h"
#include "report/Report.h"
#include "results/ResultsTable.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIntValidator>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressDialog>
#include <QScrollBar>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QTableView>
#include <QTableWidget>
#include <QToolBar>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>
#include <map>

namespace {

const QString kCaption = QStringLiteral("Архив");

// The reason to mark, asked with the measurement named; OK only with one.
QString AskReasonDialog(QWidget* parent, const QString& what) {
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("Отметить недействительным"));
    dialog.setMinimumWidth(480);
    auto* layout = new QVBoxLayout(&dialog);
    auto* target = new QLabel(QStringLiteral("Отметить недействительным: ") + what, &dialog);
    target->setWordWrap(true);
    layout->addWidget(target);
    layout->addWidget(new QLabel(QStringLiteral("Причина:"), &dialog));
    auto* reason = new QLineEdit(&dialog);
    reason->setObjectName(QStringLiteral("ReasonEdit"));
    layout->addWidget(reason);
    auto* buttons =
        new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    ok->setEnabled(false);
    QObject::connect(reason, &QLineEdit::textChanged, ok,
                     [ok](const QString& text) { ok->setEnabled(!text.trimmed().isEmpty()); });
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    return dialog.exec() == QDialog::Accepted ? reason->text().trimmed() : QString();
}

struct TExportChoice {
    QString Filter;
    TExportFormat Format;
    const char* Suffix;
};

const std::array<TExportChoice, 3> kExportChoices{{
    {QStringLiteral("CSV для русского Excel (*.csv)"), TExportFormat::CsvRu, ".csv"},
    {QStringLiteral("CSV (*.csv)"), TExportFormat::Csv, ".csv"},
    {QStringLiteral("JSON Lines (*.jsonl)"), TExportFormat::JsonLines, ".jsonl"},
}};

QPushButton* Button(const QString& text, const char* name, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(name));
    return button;
}

// Progress of a long command: shown only when it lasts (after 4 s), with
// Cancel; modal, so it keeps events going while it shows.
void SetUpProgress(QProgressDialog& dialog, int maximum) {
    dialog.setWindowTitle(kCaption);
    dialog.setWindowModality(Qt::WindowModal);
    dialog.setAutoClose(false);
    dialog.setAutoReset(false);
    dialog.setRange(0, maximum);
    dialog.setValue(0);
}

// False once the operator cancelled.
bool Step(QProgressDialog& dialog, qint64 value, const QString& text) {
    dialog.setLabelText(text);
    dialog.setValue(int(std::min<qint64>(value, dialog.maximum())));
    return !dialog.wasCanceled();
}

std::optional<TArchiveWindow::TDecimals> DecimalsDialog(QWidget* parent, const QStringList& titles,
                                                        const TArchiveWindow::TDecimals& current) {
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("Знаки после запятой"));
    auto* grid = new QGridLayout;
    std::array<QSpinBox*, IndicatorCount> boxes{};
    constexpr int kRows = (IndicatorCount + 1) / 2;
    for (int k = 0; k < IndicatorCount; ++k) {
        auto* box = new QSpinBox(&dialog);
        box->setRange(0, TArchiveSettings::MaxDecimals);
        box->setValue(current[size_t(k)]);
        boxes[size_t(k)] = box;
        const QString title = k < titles.size() && !titles[k].isEmpty()
                                  ? titles[k]
                                  : QStringLiteral("Показатель %1").arg(k + 1);
        grid->addWidget(new QLabel(title, &dialog), k % kRows, k / kRows * 2);
        grid->addWidget(box, k % kRows, k / kRows * 2 + 1);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel |
                                             QDialogButtonBox::RestoreDefaults,
                                         &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    QObject::connect(buttons->button(QDialogButtonBox::RestoreDefaults), &QPushButton::clicked,
                     &dialog, [&boxes] {
                         for (int k = 0; k < IndicatorCount; ++k)
                             boxes[size_t(k)]->setValue(TArchiveSettings::DefaultDecimals(k));
                     });
    auto* layout = new QVBoxLayout(&dialog);
    layout->addLayout(grid);
    layout->addWidget(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    TArchiveWindow::TDecimals chosen{};
    for (int k = 0; k < IndicatorCount; ++k)
        chosen[size_t(k)] = boxes[size_t(k)]->value();
    return chosen;
}

} // namespace

TArchiveWindow::TArchiveWindow(TRegisterDocument& doc, const QString& configPath, QWidget* parent)
    : QWidget(parent, Qt::Window), doc_(doc), configPath_(configPath) {
    setObjectName(QStringLiteral("ArchiveWindow"));
    setWindowTitle(kCaption);
    resize(1000, 640);
    settings_.Read(configPath_);
    InstallDialogs();
    CreateControls();
    ShowColumns();
    connect(&doc_.Table(), &TResultsTable::columnWidthsChanged, this, [this] { ShowColumns(); });
    Run([this] { Apply(); });
}

TArchiveWindow::~TArchiveWindow() {
    // A running import is cancelled and waited for before the window goes.
    import_.reset();
}

void TArchiveWindow::InstallDialogs() {
    ExportDialog = [this](const QString& start) {
        QStringList filters;
        for (const TExportChoice& c : kExportChoices)
            filters << c.Filter;
        QString selected = filters.front();
        QString name = QFileDialog::getSaveFileName(this, QStringLiteral("Экспорт архива"), start,
                                                    filters.join(QStringLiteral(";;")), &selected);
        const TExportChoice& choice =
            kExportChoices[size_t(std::max<qsizetype>(0, filters.indexOf(selected)))];
        if (!name.isEmpty() && QFileInfo(name).suffix().isEmpty())
            name += QLatin1String(choice.Suffix);
        return TExportTarget{name, choice.Format};
    };
    ImportDialog = [this](const QString& start) {
        return QFileDialog::getOpenFileNames(this, QStringLiteral("Импорт в архив"), start,
                                             QStringLiteral("Файлы результатов (*.txt);;"
                                                            "Все файлы (*)"));
    };
    ReportDialog = [this](const TReportRequest& start) { return TReportDialog::Ask(this, start); };
    AskReason = [this](const QString& what) { return AskReasonDialog(this, what); };
    AskDecimals = [this](const TDecimals& current) {
        return DecimalsDialog(this, TableTitles().mid(5), current);
    };
    ErrorBox = [this](const QString& caption, const QString& text) {
        QMessageBox::critical(this, caption, text);
    };
    InfoBox = [this](const QString& caption, const QString& text) {
        QMessageBox::information(this, caption, text);
    };
}

void TArchiveWindow::CreateControls() {
    FilterBox = new QGroupBox(QStringLiteral("Отбор"), this);
    const QDate today = QDate::currentDate();
    FromEdit = new TDateField(today.addDays(-30), doc_.Cycle().Locale, FilterBox);
    ToEdit = new TDateField(today, doc_.Cycle().Locale, FilterBox);
    SampleEdit = new QLineEdit(FilterBox);
    SampleEdit->setClearButtonEnabled(true);
    DeviceEdit = new QLineEdit(FilterBox);
    DeviceEdit->setValidator(new QIntValidator(0, 65535, DeviceEdit));
    DeviceEdit->setPlaceholderText(QStringLiteral("все"));
    DeviceEdit->setMaximumWidth(70);
    ShowInvalidBox = new QCheckBox(QStringLiteral("Показывать недействительные"), FilterBox);
    FindButton = Button(QStringLiteral("Найти"), "FindButton", FilterBox);
    SourcePanel = new QWidget(FilterBox);
    SourceBox = new QComboBox(SourcePanel);
    SourceBox->setObjectName(QStringLiteral("SourceBox"));
    SourceBox->addItems({QStringLiteral("этот компьютер"), QStringLiteral("лаборатория")});
    auto* source = new QHBoxLayout(SourcePanel);
    source->setContentsMargins(0, 0, 8, 0);
    source->addWidget(new QLabel(QStringLiteral("Источник:"), SourcePanel));
    source->addWidget(SourceBox);
    SourcePanel->hide();
    // Enter in any field finds: the fields leave the key to their parent.
    FilterBox->installEventFilter(this);

    auto* filters = new QHBoxLayout(FilterBox);
    filters->addWidget(SourcePanel);
    filters->addWidget(new QLabel(QStringLiteral("С"), FilterBox));
    filters->addWidget(FromEdit);
    filters->addWidget(new QLabel(QStringLiteral("по"), FilterBox));
    filters->addWidget(ToEdit);
    filters->addSpacing(8);
    filters->addWidget(new QLabel(QStringLiteral("Проба содержит"), FilterBox));
    filters->addWidget(SampleEdit, 1);
    filters->addWidget(new QLabel(QStringLiteral("Прибор"), FilterBox));
    filters->addWidget(DeviceEdit);
    filters->addWidget(ShowInvalidBox);
    filters->addWidget(FindButton);

    Model = new TArchiveModel(TableTitles().mid(5), doc_.Cycle().Locale, this);
    Model->SetDecimals(settings_.Decimals);
    List = new QTableView(this);
    List->setObjectName(QStringLiteral("ArchiveList"));
    List->setModel(Model);
    List->setSelectionBehavior(QAbstractItemView::SelectRows);
    List->setSelectionMode(QAbstractItemView::ExtendedSelection);
    List->setEditTriggers(QAbstractItemView::NoEditTriggers);
    List->verticalHeader()->setDefaultSectionSize(List->fontMetrics().height() + 6);

    HistoryList = new QTableWidget(0, 4, this);
    HistoryList->setObjectName(QStringLiteral("HistoryList"));
    HistoryList->setHorizontalHeaderLabels({QStringLiteral("Время"), QStringLiteral("Пользователь"),
                                            QStringLiteral("Прежнее название"),
                                            QStringLiteral("Новое название")});
    HistoryList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    HistoryList->horizontalHeader()->setStretchLastSection(true);
    HistoryList->verticalHeader()->hide();
    auto* history = new QWidget(this);
    auto* historyLayout = new QVBoxLayout(history);
    historyLayout->setContentsMargins(0, 0, 0, 0);
    historyLayout->addWidget(new QLabel(QStringLiteral("История названия пробы"), history));
    historyLayout->addWidget(HistoryList);
    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(List);
    splitter->addWidget(history);
    splitter->setStretchFactor(0, 4);
    splitter->setStretchFactor(1, 1);

    OpenInTableButton = Button(QStringLiteral("Открыть в таблице"), "OpenInTableButton", this);
    ChartButton = Button(QStringLiteral("График"), "ChartButton", this);
    ExportButton = Button(QStringLiteral("Экспорт…"), "ExportButton", this);
    ReportButton = Button(QStringLiteral("Отчёт…"), "ReportButton", this);
    ImportButton = Button(QStringLiteral("Импорт в архив…"), "ImportButton", this);
    MarkInvalidButton =
        Button(QStringLiteral("Отметить недействительным…"), "MarkInvalidButton", this);
    ClearMarkButton = Button(QStringLiteral("Снять отметку"), "ClearMarkButton", this);
    DecimalsButton = Button(QStringLiteral("Знаки после запятой…"), "DecimalsButton", this);
    auto* buttons = new QHBoxLayout;
    for (QPushButton* b : {OpenInTableButton, ChartButton, ExportButton, ReportButton, ImportButton,
                           MarkInvalidButton, ClearMarkButton, DecimalsButton})
        buttons->addWidget(b);
    buttons->addStretch(1);
    StatusLabel = new QLabel(this);
    StatusLabel->setObjectName(QStringLiteral("StatusLabel"));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(FilterBox);
    layout->addWidget(splitter, 1);
    layout->addLayout(buttons);
    layout->addWidget(StatusLabel);

    const auto bind = [this](QPushButton* button, void (TArchiveWindow::*handler)()) {
        connect(button, &QPushButton::clicked, this,
                [this, handler] { Run([this, handler] { (this->*handler)(); }); });
    };
    bind(FindButton, &TArchiveWindow::Apply);
    bind(OpenInTableButton, &TArchiveWindow::OpenInTableExecute);
    bind(ChartButton, &TArchiveWindow::ChartExecute);
    bind(ExportButton, &TArchiveWindow::ExportExecute);
    bind(ReportButton, &TArchiveWindow::ReportExecute);
    bind(ImportButton, &TArchiveWindow::ImportExecute);
    bind(MarkInvalidButton, &TArchiveWindow::MarkInvalidExecute);
    bind(ClearMarkButton, &TArchiveWindow::ClearMarkExecute);
    bind(DecimalsButton, &TArchiveWindow::DecimalsExecute);
    connect(List->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { UpdateButtons(); });
    connect(List->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this] { Run([this] { ShowHistory(); }); });
    connect(SourceBox, &QComboBox::currentIndexChanged, this, [this] { Run([this] { Apply(); }); });
    connect(Model, &TArchiveModel::fetchFailed, this,
            [this](const QString& message) { ErrorBox(kCaption, message); });
}

QAction* TArchiveWindow::Install(const TFeatureHost& host,
                                 std::unique_ptr<TArchiveWindow>& window) {
    auto* action = new QAction(QIcon(QStringLiteral(":/images/archive.svg")), kCaption, host.Window);
    action->setToolTip(kCaption);
    host.FileMenu->addSeparator();
    host.FileMenu->addAction(action);
    // Beside "График" on the tool bar.
    const QList<QAction*> tools = host.ToolBar->actions();
    const qsizetype chart = tools.indexOf(host.ChartAction);
    host.ToolBar->insertAction(chart >= 0 && chart + 1 < tools.size() ? tools[chart + 1] : nullptr,
                               action);
    connect(action, &QAction::triggered, host.Window, [host, &window] {
        if (!window) {
            window = std::make_unique<TArchiveWindow>(*host.Doc, host.ConfigPath, host.Window);
            window->OpenInTable = [host](const std::vector<TArchiveMeasurement>& rows) {
                TRegisterDocument* doc = host.Doc;
                host.NewTable([doc, &rows] { doc->NewFromArchive(rows); });
            };
            // The table's chart leaves invalid points out of its limits.
            connect(window.get(), &TArchiveWindow::marksChanged, host.Window, [host] {
                if (TChartWindow* chart = host.Chart())
                    chart->Rebuild();
            });
        }
        window->Raise();
    });
    return action;
}

void TArchiveWindow::Raise() {
    if (UpdateSource())
        Reopen();
    show();
    raise();
    activateWindow();
}

void TArchiveWindow::Run(const std::function<void()>& command) {
    try {
        command();
    } catch (const std::exception& e) {
        ErrorBox(kCaption, QString::fromUtf8(e.what()));
    }
}

bool TArchiveWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == FilterBox && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            Run([this] { Apply(); });
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

QStringList TArchiveWindow::TableTitles() const {
    QStringList titles;
    for (int c = 0; c < TResultsTable::ColCount; ++c)
        titles << Cp1251::decode(doc_.Table().CellView(c, 0)).trimmed();
    return titles;
}

QString TArchiveWindow::StartFolder() const {
    return QFileInfo(doc_.FileName()).absolutePath();
}

TArchiveFilter TArchiveWindow::FieldsFilter() const {
    TArchiveFilter filter;
    filter.From = QDateTime(FromEdit->date(), QTime(0, 0));
    filter.To = QDateTime(ToEdit->date(), QTime(23, 59, 59, 999));
    filter.SampleContains = SampleEdit->text().trimmed();
    bool ok = false;
    const uint device = DeviceEdit->text().trimmed().toUInt(&ok);
    if (ok && device <= 65535)
        filter.Device = quint16(device);
    filter.IncludeInvalid = ShowInvalidBox->isChecked();
    return filter;
}

std::vector<int> TArchiveWindow::ChosenRows() const {
    std::vector<int> rows;
    for (const QModelIndex& index : List->selectionModel()->selectedRows())
        rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

TArchiveFilter TArchiveWindow::ChosenOrAll() const {
    TArchiveFilter filter = Model->Filter();
    const std::vector<int> rows = ChosenRows();
    if (rows.size() > 1)
        for (const int r : rows)
            filter.Ids.push_back(Model->Measurement(r).Id);
    return filter;
}

void TArchiveWindow::Reopen() {
    Run([this] { Apply(); });
}

bool TArchiveWindow::FromLab() const {
    return SourceBox->currentIndex() == 1;
}

bool TArchiveWindow::UpdateSource() {
    const TLabSettings settings = TLabSettings::FromIni(configPath_);
    bool stale = false;
    if (settings != labSettings_) {
        stale = lab_ && Model->Archive() == lab_.get();
        if (stale)
            Model->SetArchive(nullptr);
        lab_.reset();
        labSettings_ = settings;
    }
    if (!settings.Configured() && FromLab()) {
        const QSignalBlocker quiet(SourceBox);
        SourceBox->setCurrentIndex(0);
        stale = true;
    }
    SourcePanel->setVisible(settings.Configured());
    return stale;
}

const TArchiveReader* TArchiveWindow::OpenSource() {
    if (!FromLab())
        return doc_.Archive();
    if (!lab_) {
        const TWaitCursor wait;
        lab_ = std::make_unique<TLabArchive>(labSettings_);
    }
    return lab_.get();
}

// The server is gone or refused: the next search connects anew.
void TArchiveWindow::LabFailed(const QString& reason) {
    Model->SetArchive(nullptr);
    lab_.reset();
    labError_ = reason;
    HistoryList->setRowCount(0);
    ShowCount();
    UpdateButtons();
}

void TArchiveWindow::Apply() {
    UpdateSource();
    try {
        const TArchiveReader* archive = OpenSource();
        if (Model->Archive() != archive)
            Model->SetArchive(archive);
        if (archive) {
            const TWaitCursor wait;
            Model->SetFilter(FieldsFilter());
        }
        ShowCount();
        ShowHistory();
    } catch (const std::exception& e) {
        if (FromLab())
            LabFailed(QString::fromUtf8(e.what()));
        throw;
    }
    UpdateButtons();
}

void TArchiveWindow::ShowCount() {
    const TArchiveReader* archive = Model->Archive();
    if (!archive) {
        StatusLabel->setText(
            FromLab() ? QStringLiteral("Архив лаборатории недоступен. ") + labError_
                      : QStringLiteral("Архив недоступен: его файл не удалось открыть."));
        return;
    }
    StatusLabel->setText(QStringLiteral("Измерений: %1")
                             .arg(doc_.Cycle().Locale.toString(archive->Count(Model->Filter()))));
}

void TArchiveWindow::ShowColumns() {
    for (int k = 0; k < IndicatorCount; ++k)
        List->setColumnHidden(TArchiveModel::FirstIndicator + k, !doc_.Table().ColVisible(k + 5));
}

void TArchiveWindow::UpdateButtons() {
    const bool archive = Model->Archive() != nullptr;
    // Marks and imports go to this computer's archive only.
    const bool writable = archive && Model->Archive()->Writable();
    const bool chosen = archive && List->selectionModel()->hasSelection();
    OpenInTableButton->setEnabled(chosen);
    for (QPushButton* b : {MarkInvalidButton, ClearMarkButton})
        b->setEnabled(chosen && writable);
    for (QPushButton* b : {ChartButton, ExportButton, ReportButton})
        b->setEnabled(archive);
    ImportButton->setEnabled(writable && !import_);
    // A lab server that failed is tried again by the next search.
    FindButton->setEnabled(archive || FromLab());
}

void TArchiveWindow::ShowHistory() {
    HistoryList->setRowCount(0);
    const TArchiveReader* archive = Model->Archive();
    const int row = List->currentIndex().row();
    if (!archive || row < 0 || row >= Model->rowCount())
        return;
    const std::vector<TNameChange> history = archive->NameHistory(Model->Measurement(row).Uid);
    HistoryList->setRowCount(int(history.size()));
    for (int i = 0; i < int(history.size()); ++i) {
        const TNameChange& c = history[size_t(i)];
        const QStringList cells{doc_.Cycle().Locale.toString(c.When, QLocale::ShortFormat), c.User,
                                c.OldName, c.NewName};
        for (int col = 0; col < cells.size(); ++col)
            HistoryList->setItem(i, col, new QTableWidgetItem(cells[col]));
    }
}

void TArchiveWindow::OpenInTableExecute() {
    std::vector<TArchiveMeasurement> rows;
    for (const int r : ChosenRows())
        rows.push_back(Model->Measurement(r));
    if (!rows.empty() && OpenInTable)
        OpenInTable(rows);
}

void TArchiveWindow::ChartExecute() {
    const TArchiveReader* archive = Model->Archive();
    if (!archive)
        return;
    const TWaitCursor wait;
    std::vector<TArchiveMeasurement> list;
    archive->ForEach(ChosenOrAll(), [&list](const TArchiveMeasurement& m) {
        list.push_back(m);
        list.back().Raw.clear();
        return true;
    });
    // The chart reads a results table: one of the query's rows, with the
    // archive's decimals, owned by the chart.
    auto table = std::make_unique<TResultsTable>();
    for (int c = 0; c < TResultsTable::ColCount; ++c) {
        table->SetCell(c, 0, doc_.Table().CellView(c, 0));
        table->SetColWidth(c, doc_.Table().ColWidth(c));
    }
    TArchiveRows::FillTable(*table, list, doc_.Cycle(), settings_.Decimals);
    // Rows marked invalid are drawn separately and left out of limits and rules;
    // table row r holds list[r - 1].
    std::map<int, QString> excluded;
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i].Invalid())
            excluded[int(i) + 1] = list[i].InvalidReason;
    auto* chart = new TChartWindow(table.get(), doc_.Cycle().Locale, this);
    table.release()->setParent(chart);
    chart->setAttribute(Qt::WA_DeleteOnClose);
    chart->setWindowTitle(QStringLiteral("График: архив"));
    chart->ArchiveSource = [this] { return doc_.Archive(); };
    const TChartCaption caption = ChartCaption(list);
    chart->CaptionSource = [caption] { return caption; };
    chart->SetExcluded(std::move(excluded));
    chart->SetSettingsFile(configPath_);
    chart->show();
    Chart = chart;
}

TChartCaption TArchiveWindow::ChartCaption(const std::vector<TArchiveMeasurement>& list) const {
    TChartCaption caption;
    caption.Source = (FromLab() ? QStringLiteral("Архив лаборатории")
                                : QStringLiteral("Архив этого компьютера")) +
                     QStringLiteral(" (") +
                     TReport::FilterText(ChosenOrAll(), doc_.Cycle().Locale) + u')';
    QStringList instruments;
    for (const TArchiveMeasurement& m : list) {
        const QString one = InstrumentText(m.Device, m.Port, m.Computer);
        if (!instruments.contains(one))
            instruments << one;
    }
    // A few instruments are named; more are counted.
    constexpr int named = 3;
    caption.Instrument = instruments.mid(0, named).join(QStringLiteral("; "));
    if (instruments.size() > named)
        caption.Instrument += QStringLiteral(" и ещё %1").arg(instruments.size() - named);
    return caption;
}

void TArchiveWindow::ExportExecute() {
    const TArchiveReader* archive = Model->Archive();
    if (!archive)
        return;
    const TExportTarget target =
        ExportDialog(QFileInfo(StartFolder(), QStringLiteral("архив.csv")).filePath());
    if (target.FileName.isEmpty())
        return;
    const TArchiveFilter filter = ChosenOrAll();
    const qint64 total = archive->Count(filter);
    QProgressDialog progress(QStringLiteral("Экспорт…"), QStringLiteral("Отмена"), 0, 0, this);
    SetUpProgress(progress, int(std::min<qint64>(total, INT_MAX)));
    const qint64 rows = TArchiveExport::WriteFile(
        *archive, filter, target.Format, settings_, TableTitles(), target.FileName,
        [&](qint64 done) {
            return Step(progress, done,
                        QStringLiteral("Записано строк: %1 из %2").arg(done).arg(total));
        });
    StatusLabel->setText(QStringLiteral("Выгружено измерений: %1 в «%2».")
                             .arg(rows)
                             .arg(QDir::toNativeSeparators(target.FileName)));
}

void TArchiveWindow::ReportExecute() {
    const TArchiveReader* archive = Model->Archive();
    if (!archive)
        return;
    const std::optional<TReportRequest> request = ReportDialog(TReportDialog::Start(
        configPath_, doc_.Table(), StartFolder(),
        QStringLiteral("Отчёт ") + QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"))));
    if (!request)
        return;
    TReport report = TReport::FromArchive(*archive, ChosenOrAll(), TableTitles(),
                                          request->Indicators, settings_, doc_.Cycle());
    StatusLabel->setText(TReportDialog::Finish(*request, report, configPath_));
}

void TArchiveWindow::ImportExecute() {
    TArchive* archive = doc_.Archive();
    if (!archive || archive != Model->Archive() || import_)
        return;
    const QStringList files = ImportDialog(StartFolder());
    if (files.isEmpty())
        return;
    // On a thread and a connection of its own, in batches: measurements go
    // on being taken and written meanwhile.
    import_ = std::make_unique<TImportJob>(QFileInfo(archive->Path()).absolutePath(), files,
                                           nullptr, TArchiveImport::DefaultBatchRows, ImportStep);
    importProgress_ = std::make_unique<QProgressDialog>(QStringLiteral("Импорт…"),
                                                        QStringLiteral("Отмена"), 0, 0, this);
    SetUpProgress(*importProgress_, int(files.size()));
    // Not modal: a modal one would serve events inside each step it is told.
    importProgress_->setWindowModality(Qt::NonModal);
    connect(importProgress_.get(), &QProgressDialog::canceled, import_.get(), &TImportJob::Cancel);
    connect(import_.get(), &TImportJob::progressed, importProgress_.get(),
            [this, total = files.size()](int filesDone, qint64 rows) {
                Step(*importProgress_, filesDone,
                     QStringLiteral("Файл %1 из %2, строк: %3")
                         .arg(std::min<qsizetype>(filesDone + 1, total))
                         .arg(total)
                         .arg(rows));
            });
    connect(import_.get(), &QThread::finished, this, [this] { Run([this] { ImportFinished(); }); });
    UpdateButtons();
    import_->start();
}

void TArchiveWindow::ImportFinished() {
    const std::unique_ptr<TImportJob> job = std::move(import_);
    job->wait();
    importProgress_.reset();
    // The files before a failed one are in: the list shows them.
    Model->Reload();
    ShowCount();
    UpdateButtons();
    const TArchiveImport::TResult result = job->Result(); // a failure goes to the error box
    QString text = QStringLiteral("Файлов: %1, измерений в них: %2, новых в архиве: %3.")
                       .arg(result.Files)
                       .arg(result.Rows)
                       .arg(result.Added);
    if (const QString notice = TArchiveImport::NotANumberNotice(result.NotANumber);
        !notice.isEmpty())
        text += u'\n' + notice;
    if (job->Cancelled())
        text = QStringLiteral("Импорт прерван.\n") + text;
    InfoBox(QStringLiteral("Импорт в архив"), text);
}

void TArchiveWindow::Mark(const QString& reason) {
    TArchive* archive = doc_.Archive();
    const std::vector<int> rows = ChosenRows();
    if (!archive || archive != Model->Archive() || rows.empty())
        return;
    {
        TArchive::TTransaction all(*archive);
        for (const int r : rows)
            archive->MarkInvalid(Model->Measurement(r).Id, reason);
        all.Commit();
    }
    emit marksChanged();
    // Redrawn where they are, struck through, even in a list that leaves
    // invalid rows out: the operator sees what was marked. The next search
    // leaves them out.
    Model->Refresh(rows);
    ShowCount();
    UpdateButtons();
}

void TArchiveWindow::MarkInvalidExecute() {
    const std::vector<int> rows = ChosenRows();
    if (rows.empty())
        return;
    QString what;
    if (rows.size() == 1) {
        const TArchiveMeasurement& m = Model->Measurement(rows.front());
        what = QStringLiteral("измерение %1").arg(
            doc_.Cycle().Locale.toString(m.Measured, QStringLiteral("dd.MM.yyyy HH:mm:ss")));
        if (m.Device)
            what += QStringLiteral(", прибор №%1").arg(*m.Device);
        if (!m.SampleName.isEmpty())
            what += QStringLiteral(", «%1»").arg(m.SampleName);
    } else {
        what = QStringLiteral("выбранные измерения (%1)").arg(rows.size());
    }
    const QString reason = AskReason(what).trimmed();
    if (!reason.isEmpty())
        Mark(reason);
}

void TArchiveWindow::NoteArchived() {
    if (!isVisible() || Importing() || !doc_.Archive() || Model->Archive() != doc_.Archive())
        return;
    const QScrollBar* bar = List->verticalScrollBar();
    const bool atBottom = bar->value() == bar->maximum();
    if (Model->FetchNew() == 0)
        return;
    ShowCount();
    if (atBottom)
        List->scrollToBottom();
}

void TArchiveWindow::ClearMarkExecute() {
    Mark(QString());
}

void TArchiveWindow::DecimalsExecute() {
    const std::optional<TDecimals> chosen = AskDecimals(settings_.Decimals);
    if (!chosen)
        return;
    TArchiveSettings settings;
    settings.Decimals = *chosen;
    settings.Write(configPath_);
    settings_ = settings;
    Model->SetDecimals(settings_.Decimals);
}
