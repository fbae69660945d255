#include "register/Unit1.h"

#include "analyser/OpSavro.h"
#include "archive/LabUploader.h"
#include "archiveui/ArchiveWindow.h"
#include "archiveui/LabServerUi.h"
#include "chart/ChartLink.h"
#include "chart/ChartWindow.h"
#include "config/ConfigFile.h"
#include "config/Cp1251.h"
#include "config/RegisterSettings.h"
#include "controls/GenericError.h"
#include "controls/numedit.h"
#include "controls/PortMenu.h"
#include "controls/WaitCursor.h"
#include "document/DeviceNumber.h"
#include "features/FeatureHost.h"
#include "link/LabStatusView.h"
#include "register/ClGrid.h"
#include "register/LinkStatusBar.h"
#include "register/PrintTable.h"
#include "register/RegisterToolBar.h"
#include "resources/MyConsts.h"
#include "results/ResultsFile.h"
#include "results/ResultsTable.h"
#include "serial/CPort.h"

#include <QCloseEvent>
#include <QDir>
#include <QGuiApplication>
#include <QMenuBar>
#include <QPrinter>
#include <QScopeGuard>
#include <QScreen>
#include <QTimer>
#include <QToolButton>

namespace {

QIcon Image(const char* name) {
    return QIcon(QStringLiteral(":/images/%1.svg").arg(QLatin1String(name)));
}

} // namespace

TForm1::TForm1(QWidget* parent, const QString& configPath, const QString& dataFolder)
    : QMainWindow(parent), Doc(dataFolder), ConfigPath_(configPath) {
    CreateComponents();
    FormCreate();
    InstallFeatures();
}

void TForm1::InstallFeatures() {
    TFeatureHost host;
    host.Window = this;
    host.Doc = &Doc;
    host.ConfigPath = ConfigPath_;
    host.FileMenu = mnFile;
    host.ViewMenu = mnView;
    host.ToolBar = ToolBar1;
    host.ChartAction = actChart;
    host.PrintPreviewAction = actPrintPreview;
    host.Grid = MainGrid;
    host.DeviceNumber = [this] { return quint16(qRound(NumberEdit1->Value())); };
    host.PortName = [this] { return OpSavro1->Port; };
    host.ErrorBox = [this](const QString& caption, const QString& text) { ErrorBox(caption, text); };
    host.NewTable = [this](const std::function<void()>& make) { NewTable(make); };
    host.Chart = [this] { return ChartWindow; };
    host.ShowLab = [this](const TLabStatusView& view) { StatusBar1->ShowLab(view); };

    actArchive = TArchiveWindow::Install(host, ArchiveWindow);
    actReport = TReportDialog::Install(host, ReportDialog);
    TLabServerUi::Install(host, *Uploader, ArchiveWindow);
    TChartLink::Install(host);
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
    InstallDialogs(this, LostBox, [this] { return ConfigFilePath(); }, [this] {
        PrintTableOnDefaultPrinter(MainGrid->font(), *Table(), Table()->RowCount() - 1,
                                   CurrentFileName());
    });

    OpSavro1->setObjectName(QStringLiteral("OpSavro1"));
    OpSavro1->OnErrorOpenPort = [this](TOpSavro* s) { OpSavro1ErrorOpenPort(s); };
    OpSavro1->OnStarting = [this](TOpSavro* s) { OpSavro1Starting(s); };
    OpSavro1->OnStoping = [this](TOpSavro* s) { OpSavro1Stoping(s); };
    OpSavro1->OnGetNumber = [this](TOpSavro* s) {
        OpSavro1GetNumber(s);
        Supervisor.TurnStarted();
    };
    OpSavro1->OnPutResult = [this](TOpSavro* s) {
        const quint8 command = s->Command;
        const int rows = Table()->RowCount();
        OpSavro1PutResult(s);
        Supervisor.Replied(command, Table()->RowCount() > rows);
    };
    Supervisor.OnShow = [this] { ShowLinkStatus(); };
    Supervisor.OnSwitchedOff = [this] { ToolBar1->ShowPolling(false); };
    Supervisor.OnResumed = [this] { LostBox.Close(); };
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

    MenuPort = new QMenu(this);
    MenuPort->setObjectName(QStringLiteral("MenuPort"));
    connect(MenuPort, &QMenu::aboutToShow, this, [this] { Run([this] { FillPortMenuItems(); }); });
    ToolBar1 = new TRegisterToolBar({actNew, actOpenFile, actSave, actPrint, actChart}, actOpr,
                                    MenuPort, this);
    addToolBar(ToolBar1);
    NumberEdit1 = ToolBar1->NumberEdit;
    OprButton = ToolBar1->PollButton;

    MainGrid = new TColorStringGrid(this);
    MainGrid->setObjectName(QStringLiteral("MainGrid"));
    MainGrid->SetTable(Table(), &Doc.Names());
    MainGrid->OnGetEditText = [this](int, int) { Doc.EditStarted(); };
    connect(MainGrid->itemDelegate(), &QAbstractItemDelegate::commitData, this,
            [this] { Doc.NameEdited(); });
    setCentralWidget(MainGrid);
    StatusBar1 = new TLinkStatusBar(this);
    setStatusBar(StatusBar1);
    connect(NumberEdit1, &QLineEdit::editingFinished, this, [this] {
        Supervisor.SetDevice(TDeviceNumber::ForPoller(NumberEdit1->Value()));
        StoreConfig();
    });
    Doc.OnFileNameChanged = [this] {
        SetTitle(CurrentFileName());
        StoreConfig();
    };
    Doc.OnModifiedChanged = [this] { SetTitle(CurrentFileName()); };
    Doc.OnHeldChanged = [this] { StatusBar1->ShowHeld(Doc.Held(), Doc.HeldForArchive()); };
    // Queued: a box shown inside a polling hand-over would hold the worker.
    Doc.OnWriteFailed = Doc.OnArchiveProblem = [this](const QString& text) {
        QMetaObject::invokeMethod(this, [this, text] { ShowError(text); }, Qt::QueuedConnection);
    };

    setWindowIcon(QIcon(QStringLiteral(":/images/app.svg")));
    SetCaptions();
    // The client area holds the menu bar, the tool bar and the table.
    resize(756, 527);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TForm1::FormCreate() {
    try {
        if (ConfigPath_.isEmpty())
            ConfigPath_ = ConfigPath();
        EnsureConfigFile(ConfigPath_);
        TRegisterSettings settings;
        settings.Port = OpSavro1->Port;
        settings.FileName = MyConsts::sNew + QStringLiteral(".txt");
        settings.Read(ConfigPath_, TResultsTable::ColCount);
        OpSavro1->Port = settings.Port;
        PollingWanted_ = settings.Polling;
        NumberEdit1->SetValue(settings.DeviceNumber);
        for (int n = 0; n < TResultsTable::ColCount; ++n)
            Table()->SetCell(n, 0, Cp1251::encode(settings.ColumnTitles[n]));
        for (int n = TRegisterSettings::FirstOptionalColumn; n < TResultsTable::ColCount; ++n) {
            auto* item = new QAction(settings.ColumnTitles[n], mnView);
            item->setCheckable(true);
            item->setChecked(settings.Shown[n - TRegisterSettings::FirstOptionalColumn]);
            if (!item->isChecked())
                Table()->SetColWidth(n, -1);
            connect(item, &QAction::triggered, this,
                    [this, item] { Run([this, item] { ViewItemClick(item); }); });
            mnView->addAction(item);
        }
        Link.SetPort(OpSavro1->Port);
        Link.SetDevice(TDeviceNumber::ForPoller(NumberEdit1->Value()));
        ShowLinkStatus();
        FillPortMenuItems();
        SetCaptions();
        const TWaitCursor wait;
        Doc.Start(settings.FileName, EncodingFromSetting(settings.FileEncoding));
    } catch (const std::exception& e) {
        ShowGenericErrorBox(ExceptionMessage(e));
    }
    Uploader = std::make_unique<TLabUploader>(Doc.Recovery().Folder());
    Uploader->Configure(TLabSettings::FromIni(ConfigPath_));
    Doc.OnArchived = [this] {
        Uploader->Nudge();
        // Later: this may run inside a polling hand-over.
        QMetaObject::invokeMethod(
            this, [this] { if (ArchiveWindow) ArchiveWindow->NoteArchived(); },
            Qt::QueuedConnection);
    };
    SetTitle(CurrentFileName());
    Run([this] {
        if (!OfferRecovery())
            OfferOtherRecoveries();
    });
    Created_ = true;
    Run([this] { ResumePolling(); });
}

void TForm1::ResumePolling() {
    // The program died while polling (a clean close clears the flag): the
    // analyser has been measuring with nobody recording since.
    if (!PollingWanted_ || OpSavro1->Active())
        return;
    OpSavro1->Start();
    StatusBar1->ShowNotice(
        QStringLiteral("Опрос возобновлён: программа была завершена аварийно во время опроса"),
        60000);
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
    // "*" first, as editors mark unsaved changes; a long title is cut at its end.
    QString title = QLatin1String(Doc.Modified() ? "*" : "") + MyConsts::sProgramTitle + u'(' +
                    fileName + u')';
    TitleAnalyser_ = AnalyserInTitle_ ? AnalyserText() : QString();
    if (!TitleAnalyser_.isEmpty())
        title += QStringLiteral(" — ") + TitleAnalyser_;
    setWindowTitle(title);
}

QString TForm1::AnalyserText() const {
    QString text = Link.DeviceText();
    if (!Link.Port().isEmpty())
        text += QStringLiteral(", ") + Link.PortText();
    return text;
}

void TForm1::NameAnalyserInTitle(bool on) {
    AnalyserInTitle_ = on;
    SetTitle(CurrentFileName());
}

void TForm1::LoadResultsFile(const QString& fileName, TTextEncoding encoding) {
    const TWaitCursor wait;
    Doc.Open(fileName, encoding);
}

void TForm1::SaveResultsFile(const QString& fileName) {
    const TWaitCursor wait;
    if (fileName == CurrentFileName())
        Doc.Save();
    else
        Doc.SaveAs(fileName);
    SetTitle(CurrentFileName());
}

bool TForm1::OfferToSave() {
    if (!Doc.Modified())
        return true;
    switch (Ask([this] { return AskSaveData(); })) {
    case QMessageBox::Yes:
        actSaveExecute();
        return true;
    case QMessageBox::No:
        Doc.Discard();
        return true;
    default:
        return false;
    }
}

void TForm1::CommitEdit() {
    if (MainGrid->CommitEditor())
        Doc.NameEdited();
}

bool TForm1::OfferRecovery(const QString& other) {
    const auto info = Doc.CopyToOffer(other);
    if (!info)
        return false;
    if (Ask([&] { return AskRestore(info->Question()); }) == QMessageBox::Yes) {
        const TWaitCursor wait;
        Doc.RestoreCopy(other);
        return true;
    }
    // Kept under a dated name: a wrong click can still be undone by hand.
    Doc.DeclineCopy(other);
    return false;
}

void TForm1::OfferOtherRecoveries() {
    // The settings name the file last worked on; a run that died before they
    // were written left its copy under another name.
    for (const QString& other : Doc.OtherCopies())
        if (OfferRecovery(other))
            return;
}

void TForm1::StoreConfig() {
    if (!Created_ || Closing_)
        return;
    try {
        WriteConfig();
        StoreFailedShown_ = false;
    } catch (const std::exception& e) {
        if (StoreFailedShown_)
            return;
        StoreFailedShown_ = true;
        const QString text = GenericErrorText(ExceptionMessage(e));
        QMetaObject::invokeMethod(
            this, [this, text] { ErrorBox(ApplicationTitle(), text); }, Qt::QueuedConnection);
    }
}

void TForm1::NewTable(const std::function<void()>& make) {
    CommitEdit();
    if (!OfferToSave())
        return;
    make();
    OfferRecovery();
}

void TForm1::actOpenFileExecute() {
    CommitEdit();
    const QString name = OpenDialog1(CurrentFileName());
    if (name.isEmpty())
        return;
    // Measurements arriving from now on would go into the opened file.
    if (OpSavro1->Active() && Ask([&] { return AskOpenWhilePolling(name); }) != QMessageBox::Yes)
        return;
    // Another program's UTF-8 file is read as such only if the operator says so.
    const bool utf8 = DetectFileEncoding(name) == TTextEncoding::Utf8;
    const auto answer = utf8 ? Ask([&] { return AskReadAsUtf8(name); }) : QMessageBox::No;
    if (answer == QMessageBox::Cancel)
        return;
    // Unsaved edits are offered for saving, as New does.
    if (!OfferToSave())
        return;
    LoadResultsFile(name, answer == QMessageBox::Yes ? TTextEncoding::Utf8 : TTextEncoding::Cp1251);
    OfferRecovery();
}

void TForm1::actSaveExecute() {
    CommitEdit();
    SaveResultsFile(CurrentFileName());
}

void TForm1::actSaveAsExecute() {
    CommitEdit();
    const QString name = SaveDialog1(CurrentFileName());
    if (name.isEmpty())
        return;
    SaveResultsFile(name);
}

void TForm1::actPrintExecute() {
    CommitEdit();
    PrintCommand();
}

void TForm1::actPrintPreviewExecute() {
    // The same pages as Print.
    CommitEdit();
    TStandardDialogs::PrintPreview(this, [this](QPrinter& target) {
        Run([&] {
            PrintTable(target, MainGrid->font(), *Table(), Table()->RowCount() - 1,
                       CurrentFileName());
        });
    });
}

void TForm1::actOprExecute() {
    if (Link.Retrying()) {
        Supervisor.StopRetrying();
        return;
    }
    if (OpSavro1->Active()) {
        Supervisor.Stop();
        PollingWanted_ = false;
        StoreConfig();
        return;
    }
    // A number still being typed becomes the field's value first.
    MainGrid->setFocus();
    OpSavro1->Start();
    PollingWanted_ = true;
    StoreConfig();
}

void TForm1::actChartExecute() {
    if (!ChartWindow)
        ChartWindow = new TChartWindow(Table(), Doc.Cycle().Locale, this);
    ChartWindow->show();
    ChartWindow->raise();
    ChartWindow->activateWindow();
}

void TForm1::mnAboutClick() {
    ShowAbout();
}

void TForm1::ViewItemClick(QAction* item) {
    // The action has flipped its own check mark already.
    const int column =
        static_cast<int>(mnView->actions().indexOf(item)) + TRegisterSettings::FirstOptionalColumn;
    Table()->SetColWidth(column, item->isChecked() ? TResultsTable::DefaultColWidth : -1);
    FormResize();
    StoreConfig();
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
    Supervisor.ChoosePort(port);
    StoreConfig();
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
    if (AnalyserInTitle_ && TitleAnalyser_ != AnalyserText())
        SetTitle(CurrentFileName());
}

void TForm1::RetryOpenPort() {
    if (!Closing_)
        Supervisor.RetryOpenPort();
}

void TForm1::FormResize() {
    Table()->FitColumns(MainGrid->ClientWidth());
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
    if (!Supervisor.OpenFailed())
        return;
    QString text = MyConsts::sErrorOpenPort + u' ' + sender->Port;
    if (!sender->OpenErrorReason().isEmpty())
        text += u'\n' + sender->OpenErrorReason();
    // The box keeps its own words; what to do about it goes under the table.
    if (const QString hint = TCustomComPort::HintText(sender->OpenErrorCode()); !hint.isEmpty())
        StatusBar1->ShowNotice(hint, 120000);
    ShowError(text);
}

void TForm1::OpSavro1Starting(TOpSavro*) {
    ToolBar1->ShowPolling(true);
    Supervisor.Starting(TDeviceNumber::ForPoller(NumberEdit1->Value()));
}

void TForm1::OpSavro1Stoping(TOpSavro* sender) {
    const QString error = Closing_ ? QString() : sender->StopError();
    const bool tell = Supervisor.Stopped(error);
    ToolBar1->ShowPolling(Link.Retrying());
    if (tell) {
        QMetaObject::invokeMethod(
            this,
            [this, error] {
                StoppedBox(MyConsts::sError,
                           QStringLiteral("Опрос остановлен из-за ошибки порта:\n") + error);
            },
            Qt::QueuedConnection);
    }
}

void TForm1::OpSavro1GetNumber(TOpSavro* sender) {
    sender->DeviceNumber = TDeviceNumber::ForPoller(NumberEdit1->Value());
    Doc.SetLink(sender->Port, sender->DeviceNumber);
    sender->Command = Doc.CommandForTurn(sender->Command);
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
    // The flag is the document's: records wait while the operator decides.
    const bool outer = Doc.Asking();
    Doc.SetAsking(true);
    const auto done = qScopeGuard([this, outer] { Doc.SetAsking(outer); });
    return prompt();
}

void TForm1::WriteConfig() {
    TRegisterSettings settings;
    settings.Port = OpSavro1->Port;
    settings.FileName = CurrentFileName();
    settings.FileEncoding = EncodingSetting(Doc.FileEncoding());
    settings.DeviceNumber = TDeviceNumber::ForSettings(NumberEdit1->Value());
    settings.Polling = PollingWanted_;
    const auto entries = mnView->actions();
    for (int i = 0; i < entries.size() && entries[i]->isCheckable(); ++i)
        settings.Shown << entries[i]->isChecked();
    const QStringList skipped = settings.Write(ConfigPath_);
    // Told once, not at every later write of the settings.
    if (skipped == SkippedShown_)
        return;
    SkippedShown_ = skipped;
    if (!skipped.isEmpty())
        ShowError(TRegisterSettings::SkippedText(skipped, ConfigPath_));
}

bool TForm1::FormClose() {
    CommitEdit();
    if (Doc.Modified()) {
        const auto answer = Ask([this] { return AskSaveOnClose(); });
        if (answer != QMessageBox::Yes && answer != QMessageBox::No)
            return false;
        if (answer == QMessageBox::No)
            Doc.Discard();
        if (answer == QMessageBox::Yes) {
            try {
                actSaveExecute();
            } catch (const std::exception& e) {
                ShowGenericErrorBox(ExceptionMessage(e));
                return false;
            }
        }
    }
    // From here a record is in what was saved or stays with the analyser.
    Doc.Close();
    if (Link.Retrying())
        Supervisor.StopRetrying();
    Supervisor.Stop();
    PollingWanted_ = false; // a clean close: the next start does not resume
    MainGrid->setFocus();
    // Closed from the task bar or at log-out the window is not active, and
    // no focus change commits a number still being typed.
    ToolBar1->CommitNumber();
    try {
        WriteConfig();
        ConfigWriteFailed_ = false;
    } catch (const std::exception& e) {
        ShowGenericErrorBox(ExceptionMessage(e));
        if (!ConfigWriteFailed_) {
            ConfigWriteFailed_ = true;
            Doc.Reopen();
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
