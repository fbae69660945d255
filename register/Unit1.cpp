#include "register/Unit1.h"

#include "analyser/OpSavro.h"
#include "app/Application.h"
#include "config/ConfigFile.h"
#include "config/Cp1251.h"
#include "config/iniplus.h"
#include "controls/TesmarAbout.h"
#include "controls/numedit.h"
#include "register/ChartWindow.h"
#include "register/ClGrid.h"
#include "register/LinkStatusBar.h"
#include "register/PrintTable.h"
#include "register/ResultsFile.h"
#include "register/ResultsTable.h"
#include "resources/MyConsts.h"
#include "resources/ProgramVersion.h"
#include "serial/PortAlias.h"
#include "serial/PortMenu.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QInputDialog>
#include <QMenuBar>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QScopeGuard>
#include <QScreen>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

const QString kConfig = QStringLiteral("Config");
const QString kColumns = QStringLiteral("Columns");
const QString kView = QStringLiteral("View");
const QString kFileFilter = QStringLiteral("text files (.txt) (*.txt)");

// Restores the normal pointer on every way out of a file operation.
class TWaitCursor {
public:
    TWaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~TWaitCursor() { QGuiApplication::restoreOverrideCursor(); }
    TWaitCursor(const TWaitCursor&) = delete;
    TWaitCursor& operator=(const TWaitCursor&) = delete;
};

// Nearest integer, halves to the even neighbour; values beyond the range
// (possible only from a hand-edited configuration) are clamped.
qint64 RoundHalfEven(double value, qint64 lo, qint64 hi) {
    if (std::isnan(value))
        return 0;
    const double r = std::nearbyint(value);
    if (r <= double(lo))
        return lo;
    if (r >= double(hi))
        return hi;
    return static_cast<qint64>(r);
}

// The device number the poller takes from the field each turn.
quint16 FieldDeviceNumber(double value) {
    return static_cast<quint16>(RoundHalfEven(value, std::numeric_limits<qint64>::min() / 2,
                                              std::numeric_limits<qint64>::max() / 2));
}

QString WithDefaultSuffix(const QString& name) {
    if (name.isEmpty() || !QFileInfo(name).suffix().isEmpty())
        return name;
    return name + QStringLiteral(".txt");
}

QIcon Image(const char* name) {
    return QIcon(QStringLiteral(":/images/%1.svg").arg(QLatin1String(name)));
}

} // namespace

TForm1::TForm1(QWidget* parent, const QString& configPath, const QString& dataFolder)
    : QMainWindow(parent), Table_(std::make_unique<TResultsTable>()),
      ConfigPath_(configPath) {
    CreateComponents();
    if (!dataFolder.isEmpty())
        Recovery.SetFolder(dataFolder);
    FormCreate();
    // After the indicator entries, which are counted from 0 by their position.
    mnView->addSeparator();
    mnView->addAction(actChart);
}

TForm1::~TForm1() {
    RetryTimer->stop();
    // The field loses its focus when the children go, after this body: its
    // editingFinished must not reach members that are gone by then.
    disconnect(NumberEdit1, nullptr, this, nullptr);
    // The poller goes first: while it waits for its worker it still serves
    // hand-overs, which must find the table and the field alive.
    delete OpSavro1;
    OpSavro1 = nullptr;
}

void TForm1::CreateComponents() {
    OpenDialog1 = [this](const QString& start) {
        // getOpenFileName refuses names of files that do not exist and adds
        // the suffix too late; typing a new name must open an empty table.
        const QFileInfo current(start);
        QFileDialog dialog(this, MyConsts::sOpen, start.isEmpty() ? QString() : current.absolutePath(),
                           kFileFilter);
        dialog.setObjectName(QStringLiteral("OpenDialog1"));
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setDefaultSuffix(QStringLiteral("txt"));
        dialog.selectFile(current.fileName());
        if (dialog.exec() != QDialog::Accepted)
            return QString();
        return dialog.selectedFiles().value(0);
    };
    SaveDialog1 = [this](const QString& start) {
        return WithDefaultSuffix(QFileDialog::getSaveFileName(
            this, MyConsts::sSaveAs, start, kFileFilter, nullptr,
            QFileDialog::DontConfirmOverwrite));
    };
    AskSaveData = [this] {
        // Escape and closing the box mean Cancel: a stray key loses nothing.
        return QMessageBox::question(this, QStringLiteral("Подтверждение"), MyConsts::sSaveData,
                                     QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel,
                                     QMessageBox::Yes);
    };
    AskRestore = [this](const QString& text) {
        return QMessageBox::question(this, QStringLiteral("Восстановление данных"), text,
                                     QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    };
    AskSaveOnClose = [this] {
        QMessageBox box(QMessageBox::NoIcon, MyConsts::sDataChanged, MyConsts::sSaveData,
                        QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, this);
        box.setEscapeButton(QMessageBox::Cancel);
        return static_cast<QMessageBox::StandardButton>(box.exec());
    };
    ErrorBox = [this](const QString& caption, const QString& text) {
        QMessageBox::critical(this, caption, text);
    };
    ShowAbout = [this] {
        TfrmTAbout about(this);
        about.SetCaption(MyConsts::sAbout);
        about.SetProgName(MyConsts::sProgramTitle);
        about.SetVersion(ProgramVersion());
        about.SetSettingsPath(ConfigPath_);
        about.SetCompanyName(MyConsts::sCompany);
        about.SetTel(MyConsts::sTelephone);
        about.exec();
    };
    AskPortName = [this](const QString& current) {
        return QInputDialog::getText(
            this, QStringLiteral("Другой порт"),
            QStringLiteral("Имя или путь порта (ttyUSB0, /dev/pts/3, /dev/serial/by-id/…, COM12):"),
            QLineEdit::Normal, current);
    };
    PrintCommand = [this] {
        PrintTableOnDefaultPrinter(MainGrid->font(), *Table_, Table_->RowCount() - 1, FileName_);
    };

    OpSavro1 = new TOpSavro(this);
    OpSavro1->setObjectName(QStringLiteral("OpSavro1"));
    OpSavro1->OnErrorOpenPort = [this](TOpSavro* s) { OpSavro1ErrorOpenPort(s); };
    OpSavro1->OnStarting = [this](TOpSavro* s) { OpSavro1Starting(s); };
    OpSavro1->OnStoping = [this](TOpSavro* s) { OpSavro1Stoping(s); };
    OpSavro1->OnGetNumber = [this](TOpSavro* s) {
        OpSavro1GetNumber(s);
        LinkTurnStarted(s);
    };
    OpSavro1->OnPutResult = [this](TOpSavro* s) {
        const quint8 command = s->Command;
        const int rows = Table_->RowCount();
        OpSavro1PutResult(s);
        LinkReplied(s, command, rows);
    };
    RetryTimer = new QTimer(this);
    RetryTimer->setObjectName(QStringLiteral("RetryTimer"));
    RetryTimer->setInterval(2000);
    connect(RetryTimer, &QTimer::timeout, this, [this] { Run([this] { RetryOpenPort(); }); });

    auto* menuBar = this->menuBar();
    mnFile = menuBar->addMenu(MyConsts::sFile);
    mnView = menuBar->addMenu(MyConsts::sIndicators);
    mnAbout = menuBar->addAction(MyConsts::sAbout);
    connect(mnAbout, &QAction::triggered, this, [this] { Run([this] { mnAboutClick(); }); });

    auto command = [this](QAction*& action, const char* image, void (TForm1::*handler)()) {
        action = new QAction(this);
        if (image)
            action->setIcon(Image(image));
        connect(action, &QAction::triggered, this, [this, handler] { Run([this, handler] {
                    (this->*handler)();
                }); });
    };
    command(actNew, "new", &TForm1::actNewExecute);
    command(actOpenFile, "open", &TForm1::actOpenFileExecute);
    command(actSave, "save", &TForm1::actSaveExecute);
    command(actSaveAs, "save", &TForm1::actSaveAsExecute);
    command(actPrint, "print", &TForm1::actPrintExecute);
    command(actPrintPreview, nullptr, &TForm1::actPrintPreviewExecute);
    actPrintPreview->setText(QStringLiteral("Предварительный просмотр"));
    command(actOpr, "start", &TForm1::actOprExecute);
    command(actChart, "chart", &TForm1::actChartExecute);
    actChart->setText(QStringLiteral("График"));
    actChart->setToolTip(QStringLiteral("График"));
    mnFile->addActions({actNew, actOpenFile, actSave, actSaveAs, actPrint, actPrintPreview});
    actNew->setShortcut(QKeySequence::New);
    actOpenFile->setShortcut(QKeySequence::Open);
    actSave->setShortcut(QKeySequence::Save);
    actPrint->setShortcut(QKeySequence::Print);

    ToolBar1 = addToolBar(QStringLiteral("ToolBar1"));
    ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
    ToolBar1->setMovable(false);
    ToolBar1->setFloatable(false);
    ToolBar1->setIconSize(QSize(24, 24));
    ToolBar1->setFixedHeight(41);
    ToolBar1->setContextMenuPolicy(Qt::PreventContextMenu);
    ToolBar1->addActions({actNew, actOpenFile, actSave, actPrint, actChart});
    auto divider = [this](int width) {
        auto* gap = new QWidget(ToolBar1);
        gap->setFixedWidth(width);
        ToolBar1->addWidget(gap);
    };
    divider(21);
    NumberEdit1 = new TNumberEdit(ToolBar1);
    NumberEdit1->setObjectName(QStringLiteral("NumberEdit1"));
    NumberEdit1->SetEntryRequired(TNumberEditType::wordvalue);
    NumberEdit1->SetDisplayFormat(QStringLiteral("0;-0"));
    QFont numberFont = NumberEdit1->font();
    numberFont.setBold(true);
    numberFont.setPixelSize(16);
    NumberEdit1->setFont(numberFont);
    NumberEdit1->setFixedSize(77, 31);
    ToolBar1->addWidget(NumberEdit1);
    divider(19);
    MenuPort = new QMenu(this);
    MenuPort->setObjectName(QStringLiteral("MenuPort"));
    OprButton = new QToolButton(ToolBar1);
    OprButton->setObjectName(QStringLiteral("ToolButton7"));
    OprButton->setDefaultAction(actOpr);
    OprButton->setMenu(MenuPort);
    connect(MenuPort, &QMenu::aboutToShow, this, [this] { Run([this] { FillPortMenuItems(); }); });
    OprButton->setPopupMode(QToolButton::MenuButtonPopup);
    OprButton->setIconSize(QSize(24, 24));
    ToolBar1->addWidget(OprButton);

    MainGrid = new TColorStringGrid(this);
    MainGrid->setObjectName(QStringLiteral("MainGrid"));
    MainGrid->SetTable(Table_.get());
    MainGrid->OnGetEditText = [this](int, int) { Table_->SetModified(true); };
    RecoveryTimer_ = new QTimer(this);
    RecoveryTimer_->setSingleShot(true);
    RecoveryTimer_->setInterval(RecoveryDelayMs);
    connect(RecoveryTimer_, &QTimer::timeout, this, [this] { WriteRecovery(); });
    // A burst of edits gives one write, at most RecoveryDelayMs after the first.
    connect(MainGrid->itemDelegate(), &QAbstractItemDelegate::commitData, this, [this] {
        if (!RecoveryTimer_->isActive())
            RecoveryTimer_->start();
    });
    setCentralWidget(MainGrid);
    StatusBar1 = new TLinkStatusBar(this);
    setStatusBar(StatusBar1);
    Link.TimeText = [this](const QDateTime& when) { return Cycle.TimeText(when); };
    connect(NumberEdit1, &QLineEdit::editingFinished, this, [this] {
        Link.SetDevice(FieldDeviceNumber(NumberEdit1->Value()));
        ShowLinkStatus();
    });

    setWindowIcon(QIcon(QStringLiteral(":/images/app.svg")));
    SetCaptions();
    // The client area holds the menu bar, the tool bar and the table.
    resize(756, 527);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TForm1::FormCreate() {
    try {
        FileName_ = MyConsts::sNew + QStringLiteral(".txt");
        if (ConfigPath_.isEmpty())
            ConfigPath_ = ConfigPath();
        EnsureConfigFile(ConfigPath_);
        {
            const TIniPlus ini(ConfigPath_);
            OpSavro1->Port = ini.ReadText(kConfig, QStringLiteral("COM"), OpSavro1->Port);
            FileName_ = ini.ReadText(kConfig, QStringLiteral("FileName"), FileName_);
            NumberEdit1->SetValue(ini.ReadNumber(kConfig, QStringLiteral("DeviceNumber"), 0));
            for (int n = 0; n < TResultsTable::ColCount; ++n)
                Table_->SetCell(n, 0,
                                Cp1251::encode(ini.ReadText(kColumns, QString::number(n), {})));
            for (int n = 5; n < TResultsTable::ColCount; ++n) {
                auto* item = new QAction(ini.ReadText(kColumns, QString::number(n), {}), mnView);
                item->setCheckable(true);
                item->setChecked(ini.ReadFlag(kView, QString::number(n), true));
                if (!item->isChecked())
                    Table_->SetColWidth(n, -1);
                connect(item, &QAction::triggered, this,
                        [this, item] { Run([this, item] { ViewItemClick(item); }); });
                mnView->addAction(item);
            }
        }
        Link.SetPort(OpSavro1->Port);
        Link.SetDevice(FieldDeviceNumber(NumberEdit1->Value()));
        ShowLinkStatus();
        FillPortMenuItems();
        SetCaptions();
        LoadResultsFile(FileName_);
    } catch (const std::exception& e) {
        ShowGenericErrorBox(ExceptionMessage(e));
    }
    Run([this] {
        if (!OfferRecovery())
            OfferOtherRecoveries();
    });
}

void TForm1::SetCaptions() {
    mnFile->setTitle(MyConsts::sFile);
    for (auto [action, text] : {std::pair{actNew, MyConsts::sNew},
                                {actOpenFile, MyConsts::sOpen},
                                {actSave, MyConsts::sSave},
                                {actSaveAs, MyConsts::sSaveAs},
                                {actPrint, MyConsts::sPrint}}) {
        action->setText(text);
        action->setToolTip(text);
    }
    mnView->setTitle(MyConsts::sIndicators);
    mnAbout->setText(MyConsts::sAbout);
    actOpr->setToolTip(OpSavro1->Active() ? MyConsts::sStopPolling : MyConsts::sStartPolling);
    NumberEdit1->setToolTip(MyConsts::sDeviceNumber);
}

void TForm1::Run(const std::function<void()>& command) {
    try {
        command();
    } catch (const std::exception& e) {
        ShowGenericErrorBox(ExceptionMessage(e));
    }
}

void TForm1::ShowGenericErrorBox(const QString& message) {
    ErrorBox(ApplicationTitle(), GenericErrorText(message));
}

void TForm1::ShowError(const QString& message) {
    ErrorBox(MyConsts::sError, message);
}

void TForm1::SetTitle(const QString& fileName) {
    setWindowTitle(MyConsts::sProgramTitle + u'(' + fileName + u')');
}

void TForm1::LoadResultsFile(const QString& fileName) {
    const TWaitCursor wait;
    SetTitle(fileName);
    ::LoadResultsFile(*Table_, fileName);
}

void TForm1::SaveResultsFile(const QString& fileName) {
    const TWaitCursor wait;
    ::SaveResultsFile(*Table_, fileName);
    SetTitle(fileName);
    // Saved: the copy of the old name is done with; one left under the new
    // name from an earlier run is older than this file, so it is put aside.
    DiscardRecovery();
    try {
        Recovery.SetResultsFile(fileName);
        if (Recovery.Exists())
            Recovery.SetAside();
    } catch (const std::exception& e) {
        RecoveryFailed(e);
    }
}

bool TForm1::OfferToSave() {
    if (!Table_->Modified())
        return true;
    switch (Ask([this] { return AskSaveData(); })) {
    case QMessageBox::Yes:
        actSaveExecute();
        return true;
    case QMessageBox::No:
        DiscardRecovery();
        return true;
    default:
        return false;
    }
}

void TForm1::CommitEdit() {
    if (MainGrid->CommitEditor() && !RecoveryTimer_->isActive())
        RecoveryTimer_->start();
}

bool TForm1::OfferRecovery() {
    RecoveryTimer_->stop();
    Recovery.SetResultsFile(FileName_);
    if (Cycle.PendingAck().isEmpty())
        Cycle.SetPendingAck(Recovery.ReadPendingAck());
    if (!Recovery.Exists())
        return false;
    const TRecoveryFile::TInfo info = Recovery.Inspect();
    const QString text =
        QStringLiteral("Найдены несохранённые данные файла «%1» (строк: %2, записаны %3).\n\n"
                       "Восстановить несохранённые данные?")
            .arg(QFileInfo(FileName_).fileName())
            .arg(info.Rows)
            .arg(QLocale::system().toString(info.Time, QLocale::ShortFormat));
    if (Ask([&] { return AskRestore(text); }) == QMessageBox::Yes) {
        const TWaitCursor wait;
        Recovery.Load(*Table_);
        return true;
    }
    // Kept under a dated name: a wrong click can still be undone by hand.
    Recovery.SetAside();
    return false;
}

void TForm1::OfferOtherRecoveries() {
    // The configuration names the file of the last clean close; a run that
    // died after New, Open or Save as left its copy under another name.
    const QString current = FileName_;
    try {
        for (const QString& other : Recovery.OtherResultsFiles()) {
            FileName_ = other;
            if (OfferRecovery()) {
                SetTitle(FileName_);
                return;
            }
        }
    } catch (...) {
        FileName_ = current;
        Recovery.SetResultsFile(FileName_);
        throw;
    }
    FileName_ = current;
    Recovery.SetResultsFile(FileName_);
}

void TForm1::WriteRecovery() {
    if (!Table_->Modified())
        return;
    try {
        Recovery.SetResultsFile(FileName_);
        Recovery.Write(*Table_);
        RecoveryErrorShown_ = false;
    } catch (const std::exception& e) {
        RecoveryFailed(e);
    }
}

void TForm1::DiscardRecovery() {
    RecoveryTimer_->stop();
    try {
        Recovery.SetResultsFile(FileName_);
        Recovery.Remove();
    } catch (const std::exception& e) {
        RecoveryFailed(e);
    }
}

void TForm1::RecoveryFailed(const std::exception& e) {
    if (RecoveryErrorShown_)
        return;
    RecoveryErrorShown_ = true;
    // Queued: a box shown inside a polling hand-over would hold the worker.
    const QString text =
        QStringLiteral("Резервная копия несохранённых данных не записывается:\n%1\n\n"
                       "Опрос продолжается. Сохраните данные командой «Сохранить».")
            .arg(ExceptionMessage(e));
    QMetaObject::invokeMethod(this, [this, text] { ShowError(text); }, Qt::QueuedConnection);
}

void TForm1::actNewExecute() {
    CommitEdit();
    if (!OfferToSave())
        return;
    Table_->ClearTable();
    // The folder as stored, up to its last separator: C:\data\ from the
    // Windows build, "/" at the root.
    const qsizetype cut = std::max(FileName_.lastIndexOf(u'/'), FileName_.lastIndexOf(u'\\'));
    const QString folder = FileName_.left(cut + 1);
    QString candidate;
    for (int n = 1;; ++n) {
        candidate = folder + MyConsts::sNew + QString::number(n) + QStringLiteral(".txt");
        if (!QFileInfo::exists(candidate))
            break;
    }
    FileName_ = candidate;
    SetTitle(FileName_);
    OfferRecovery();
}

void TForm1::actOpenFileExecute() {
    CommitEdit();
    const QString name = OpenDialog1(FileName_);
    if (name.isEmpty())
        return;
    // Unsaved edits are offered for saving, as New does.
    if (!OfferToSave())
        return;
    FileName_ = name;
    RecoveryTimer_->stop();
    LoadResultsFile(FileName_);
    OfferRecovery();
}

void TForm1::actSaveExecute() {
    CommitEdit();
    SaveResultsFile(FileName_);
}

void TForm1::actSaveAsExecute() {
    CommitEdit();
    const QString name = SaveDialog1(FileName_);
    if (name.isEmpty())
        return;
    FileName_ = name;
    SaveResultsFile(FileName_);
}

void TForm1::actPrintExecute() {
    CommitEdit();
    PrintCommand();
}

void TForm1::actPrintPreviewExecute() {
    // The same pages as Print; the preview's own button prints them or saves
    // them as PDF.
    CommitEdit();
    QPrinter printer(QPrinter::HighResolution);
    QPrintPreviewDialog preview(&printer, this);
    preview.setWindowTitle(QStringLiteral("Предварительный просмотр"));
    connect(&preview, &QPrintPreviewDialog::paintRequested, this, [this](QPrinter* target) {
        Run([&] {
            PrintTable(*target, MainGrid->font(), *Table_, Table_->RowCount() - 1, FileName_);
        });
    });
    preview.exec();
}

void TForm1::actOprExecute() {
    if (Link.Retrying()) {
        StopRetrying();
        return;
    }
    if (OpSavro1->Active()) {
        OpSavro1->Stop();
        return;
    }
    // A number still being typed becomes the field's value first.
    MainGrid->setFocus();
    OpSavro1->Start();
}

void TForm1::actChartExecute() {
    if (!ChartWindow)
        ChartWindow = new TChartWindow(Table_.get(), Cycle.Locale, this);
    ChartWindow->show();
    ChartWindow->raise();
    ChartWindow->activateWindow();
}

void TForm1::mnAboutClick() {
    ShowAbout();
}

void TForm1::ViewItemClick(QAction* item) {
    // The action has flipped its own check mark already.
    const int column = static_cast<int>(mnView->actions().indexOf(item)) + 5;
    Table_->SetColWidth(column, item->isChecked() ? TResultsTable::DefaultColWidth : -1);
    FormResize();
}

void TForm1::PortItemClick(QAction* item) {
    ChoosePort(item->objectName());
}

void TForm1::OtherPortClick() {
    const QString name = AskPortName(OpSavro1->Port).trimmed();
    if (name.isEmpty())
        return;
    ChoosePort(name);
    FillPortMenuItems();
}

void TForm1::ChoosePort(const QString& port) {
    OpSavro1->Port = port;
    // A port chosen during reopen tries is the one tried next.
    if (Link.Retrying())
        PortAlias_ = TPortAlias::Find(port, PortAliasFolder);
    Link.SetPort(port);
    // A failed open is old news once another port is chosen.
    if (!OpSavro1->Active() && Link.State() == TLinkState::PortLost && !Link.Retrying())
        Link.SwitchedOff();
    ShowLinkStatus();
}

void TForm1::FillPortMenuItems() {
    FillPortMenu(*MenuPort, OpSavro1->Port);
    SetPortToolTips(*MenuPort);
    actOtherPort = AddOtherPortItems(*MenuPort, OpSavro1->Port, QStringLiteral("Другой порт…"));
    for (QAction* item : MenuPort->actions()) {
        if (item == actOtherPort)
            connect(item, &QAction::triggered, this, [this] { Run([this] { OtherPortClick(); }); });
        else if (item->isCheckable())
            connect(item, &QAction::triggered, this,
                    [this, item] { Run([this, item] { PortItemClick(item); }); });
    }
}

void TForm1::ShowLinkStatus() {
    StatusBar1->Show(Link);
}

void TForm1::ShowPollingLook(bool on) {
    NumberEdit1->setEnabled(!on);
    actOpr->setIcon(Image(on ? "stop" : "start"));
    actOpr->setToolTip(on ? MyConsts::sStopPolling : MyConsts::sStartPolling);
}

QDateTime TForm1::NextRequestTime(quint8 command) const {
    const QDateTime last = Cycle.LastRecordTime();
    if (command == 6 || !last.isValid())
        return QDateTime();
    return last.addMSecs(Cycle.IntervalMs);
}

void TForm1::LinkTurnStarted(TOpSavro* sender) {
    if (RetryAttempt_) {
        // The first turn means the port opened: polling has resumed.
        RetryAttempt_ = false;
        ResumedQuiet_ = true;
        RetryTimer->stop();
        Link.Started(sender->Port, sender->DeviceNumber);
        PortAlias_ = TPortAlias::Find(sender->Port, PortAliasFolder);
    }
    Link.TurnStarted(sender->Command, sender->DeviceNumber);
    Link.SetNextRequest(NextRequestTime(sender->Command));
    ShowLinkStatus();
}

void TForm1::LinkReplied(TOpSavro* sender, quint8 command, int rowsBefore) {
    const bool complete =
        command != 6 || (sender->Reply.Status != 0xFF && sender->ReplyDone());
    Link.Replied(complete);
    if (complete)
        ResumedQuiet_ = false;
    if (Table_->RowCount() > rowsBefore)
        Link.MeasurementReceived(Cycle.Now());
    Link.SetNextRequest(NextRequestTime(sender->Command));
    ShowLinkStatus();
}

void TForm1::RetryOpenPort() {
    if (!Link.Retrying() || Closing_ || OpSavro1->Active())
        return;
    // A USB adapter plugged back may have a new kernel name.
    const QString moved = TPortAlias::Resolve(PortAlias_, OpSavro1->Port);
    if (!moved.isEmpty() && moved != OpSavro1->Port) {
        OpSavro1->Port = moved;
        Link.SetPort(moved);
    }
    Link.RetryAttempted();
    ShowLinkStatus();
    // A device file that is not there cannot open: no worker for that.
    if (TPortAlias::Missing(OpSavro1->Port))
        return;
    RetryAttempt_ = true;
    OpSavro1->Start();
}

void TForm1::StopRetrying() {
    RetryTimer->stop();
    Link.SwitchedOff();
    ShowLinkStatus();
    if (OpSavro1->Active())
        OpSavro1->Stop(); // a reopen try in flight; its end restores the look
    else
        ShowPollingLook(false);
}

void TForm1::FormResize() {
    Table_->FitColumns(MainGrid->ClientWidth());
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    FormResize();
}

void TForm1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    FormResize();
}

void TForm1::OpSavro1ErrorOpenPort(TOpSavro* sender) {
    // Reopen tries fail quietly; the status bar counts them.
    if (RetryAttempt_)
        return;
    Link.PortLost(false);
    ShowLinkStatus();
    QString text = MyConsts::sErrorOpenPort + u' ' + sender->Port;
    if (!sender->OpenErrorReason().isEmpty())
        text += u'\n' + sender->OpenErrorReason();
    ShowError(text);
}

void TForm1::OpSavro1Starting(TOpSavro* sender) {
    ShowPollingLook(true);
    if (RetryAttempt_)
        return;
    Link.Started(sender->Port, FieldDeviceNumber(NumberEdit1->Value()));
    PortAlias_ = TPortAlias::Find(sender->Port, PortAliasFolder);
    ResumedQuiet_ = false;
    ShowLinkStatus();
}

void TForm1::OpSavro1Stoping(TOpSavro* sender) {
    const QString error = Closing_ ? QString() : sender->StopError();
    const bool quiet = ResumedQuiet_;
    if (RetryAttempt_) {
        // A reopen try that did not open; the tries go on unless stopped.
        RetryAttempt_ = false;
        if (Link.Retrying())
            return;
    } else if (!error.isEmpty()) {
        // The port went away during polling: it is reopened by itself.
        Link.PortLost(true);
        ShowLinkStatus();
        RetryTimer->start();
    } else if (Link.State() != TLinkState::PortLost) {
        Link.SwitchedOff();
        ShowLinkStatus();
    }
    ShowPollingLook(Link.Retrying());
    // A pulled cable must not end polling silently: the analyser would go on
    // measuring with nobody recording.
    if (!error.isEmpty() && !quiet) {
        QMetaObject::invokeMethod(
            this,
            [this, error] {
                ShowError(QStringLiteral("Опрос остановлен из-за ошибки порта:\n") + error);
            },
            Qt::QueuedConnection);
    }
}

void TForm1::OpSavro1GetNumber(TOpSavro* sender) {
    sender->DeviceNumber = FieldDeviceNumber(NumberEdit1->Value());
    sender->Command = Cycle.CommandForTurn(sender->Command);
}

void TForm1::OpSavro1PutResult(TOpSavro* sender) {
    const TDeviceReply& reply = sender->Reply;
    sender->Command = PutRecordReply(
        sender->Command, reply.Status,
        QByteArrayView(reinterpret_cast<const char*>(reply.Data.data()), reply.Data.size()),
        sender->ReplyDone());
}

QMessageBox::StandardButton TForm1::Ask(
    const std::function<QMessageBox::StandardButton()>& prompt) {
    Asking_ = true;
    const auto done = qScopeGuard([this] { Asking_ = false; });
    return prompt();
}

quint8 TForm1::PutRecordReply(quint8 command, quint8 status, QByteArrayView data,
                              bool replyDone) {
    // While a prompt decides which table (and which recovery copy) is the
    // current one, a record stays with the analyser: not acknowledged, it is
    // offered again once the answer is in.
    if (Asking_ && command == 6)
        return 6;
    const int rows = Table_->RowCount();
    const QByteArray pending = Cycle.PendingAck();
    const quint8 next = Cycle.PutResult(command, status, data, replyDone, *Table_);
    // Runs while the worker waits: command 9 goes out only after this.
    try {
        Recovery.SetResultsFile(FileName_);
        if (Table_->RowCount() != rows) {
            Recovery.AppendMeasurement(*Table_);
            RecoveryErrorShown_ = false;
        }
        // After the row: a crash in between can double a row, never lose one.
        if (Cycle.PendingAck() != pending)
            Recovery.WritePendingAck(Cycle.PendingAck());
    } catch (const std::exception& e) {
        RecoveryFailed(e);
    }
    return next;
}

void TForm1::WriteConfig() {
    TIniPlus ini(ConfigPath_);
    // A value the file cannot hold (a folder named in Latin letters with
    // accents) keeps its key's old value; it must not cost the other keys.
    QStringList skipped;
    const auto write = [&skipped](const QString& key, const std::function<void()>& store) {
        try {
            store();
        } catch (const EIniValueError&) {
            skipped << key;
        }
    };
    write(QStringLiteral("COM"), [&] { ini.WriteText(kConfig, QStringLiteral("COM"), OpSavro1->Port); });
    write(QStringLiteral("FileName"),
          [&] { ini.WriteText(kConfig, QStringLiteral("FileName"), FileName_); });
    ini.WriteNumber(kConfig, QStringLiteral("DeviceNumber"),
                    static_cast<qint32>(RoundHalfEven(NumberEdit1->Value(),
                                                      std::numeric_limits<qint32>::min(),
                                                      std::numeric_limits<qint32>::max())));
    const auto entries = mnView->actions();
    for (int i = 0; i < entries.size() && entries[i]->isCheckable(); ++i)
        ini.WriteFlag(kView, QString::number(i + 5), entries[i]->isChecked());
    if (!skipped.isEmpty())
        ShowError(QStringLiteral("Настройка %1 не сохранена: в ней есть знаки, которых нет в "
                                 "кодировке Windows-1251. В файле %2 осталось прежнее значение.")
                      .arg(skipped.join(QStringLiteral(", ")), ConfigPath_));
}

bool TForm1::FormClose() {
    CommitEdit();
    if (Table_->Modified()) {
        const auto answer = Ask([this] { return AskSaveOnClose(); });
        if (answer != QMessageBox::Yes && answer != QMessageBox::No)
            return false;
        if (answer == QMessageBox::No)
            DiscardRecovery();
        if (answer == QMessageBox::Yes) {
            try {
                actSaveExecute();
            } catch (const std::exception& e) {
                ShowGenericErrorBox(ExceptionMessage(e));
                return false;
            }
        }
    }
    if (Link.Retrying())
        StopRetrying();
    OpSavro1->Stop();
    MainGrid->setFocus();
    // Closed from the task bar or at log-out the window is not active, and
    // no focus change commits a number still being typed.
    if (NumberEdit1->isModified()) {
        NumberEdit1->TextToValue();
        NumberEdit1->ValueToText();
    }
    try {
        WriteConfig();
        ConfigWriteFailed_ = false;
    } catch (const std::exception& e) {
        ShowGenericErrorBox(ExceptionMessage(e));
        if (!ConfigWriteFailed_) {
            ConfigWriteFailed_ = true;
            return false;
        }
    }
    Closing_ = true;
    while (OpSavro1->Active())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return true;
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (Closing_) {
        event->accept();
        return;
    }
    if (FormClose())
        event->accept();
    else
        event->ignore();
}
