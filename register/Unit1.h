#pragma once

#include "analyser/OpSavro.h"
#include "document/RegisterDocument.h"
#include "link/LinkStatus.h"
#include "link/LinkSupervisor.h"
#include "register/LinkLostBox.h"
#include "register/RegisterToolBar.h"
#include "register/StandardDialogs.h"
#include "reportui/ReportDialog.h"
#include "results/TextEncoding.h"

#include <QMainWindow>

#include <functional>
#include <memory>

class QAction;
class QMenu;
class QTimer;
class QToolButton;
class TArchiveWindow;
class TLabUploader;
class TChartWindow;
class TLinkStatusBar;
class TColorStringGrid;
class TNumberEdit;
class TResultsTable;

// The register's main window: the results table, the device-number field,
// the poller and the commands. Handlers keep their given names and stay thin:
// they ask the operator and hand the answer to the register's data (Doc) or
// the poller.
class TForm1 : public QMainWindow, public TStandardDialogs {
    Q_OBJECT
public:
    // configPath: where Savro2.Ini lives (beside the program unless given);
    // dataFolder: where this profile's recovery copies live (the user's
    // default unless given).
    explicit TForm1(QWidget* parent = nullptr, const QString& configPath = QString(),
                    const QString& dataFolder = QString());
    ~TForm1() override;

    // The table, its file, its recovery copy and the pending acknowledgement.
    TRegisterDocument Doc;

    // Components, named as the operator's manual names them.
    TResultsTable* Table() { return &Doc.Table(); }
    TColorStringGrid* MainGrid = nullptr;
    TNumberEdit* NumberEdit1 = nullptr;
    // Made before the supervisor, which watches it.
    TOpSavro* OpSavro1 = new TOpSavro(this);
    QMenu* MenuPort = nullptr;
    QMenu* mnFile = nullptr;
    QMenu* mnView = nullptr;
    QAction* mnAbout = nullptr;
    TRegisterToolBar* ToolBar1 = nullptr;
    QAction* actNew = nullptr;
    QAction* actOpenFile = nullptr;
    QAction* actSave = nullptr;
    QAction* actSaveAs = nullptr;
    QAction* actPrint = nullptr;
    QAction* actPrintPreview = nullptr; // for labs without a default printer
    QAction* actOpr = nullptr;
    QAction* actChart = nullptr;
    QToolButton* OprButton = nullptr;
    TChartWindow* ChartWindow = nullptr; // made on first use
    QAction* actArchive = nullptr;
    std::unique_ptr<TArchiveWindow> ArchiveWindow; // made on first use; gone before Doc
    QAction* actReport = nullptr;
    // Uploads the archive to the lab server; its worker stops before Doc goes.
    std::unique_ptr<TLabUploader> Uploader;
    QAction* actOtherPort = nullptr;
    TLinkStatusBar* StatusBar1 = nullptr;
    // The link's status and the reopening of a port lost during polling.
    TLinkSupervisor Supervisor{*OpSavro1, Doc.Cycle(), [this] { return Doc.Archive(); }};
    // Reopens a port lost during polling, every 2 s, until it opens or the
    // operator switches polling off.
    QTimer* const RetryTimer = &Supervisor.RetryTimer;
    TLinkStatus& Link = Supervisor.Status;
    // Where the stable names of USB adapters are looked up.
    QString& PortAliasFolder = Supervisor.PortAliasFolder;

    const QString& CurrentFileName() const { return Doc.FileName(); }
    const QString& ConfigFilePath() const { return ConfigPath_; }

    // The rest of the operator's side of dialogs and boxes is in
    // TStandardDialogs; tests put answers in here too.
    // Polling stopped on a port error: LostBox, closed once polling resumes.
    TLinkLostBox LostBox;
    TReportDialog::TAsk ReportDialog;

    void ShowError(const QString& message);
    void SetTitle(const QString& fileName);
    // Several copies serve several analysers on this machine: each title
    // names its analyser, so the operator tells the windows apart.
    void NameAnalyserInTitle(bool on);
    void LoadResultsFile(const QString& fileName, TTextEncoding encoding = TTextEncoding::Cp1251);
    void SaveResultsFile(const QString& fileName);
    void SetCaptions();

    // Commands and handlers.
    void actNewExecute() { NewTable([this] { Doc.New(); }); }
    // New, or a table of archive rows (make): unsaved data is offered for
    // saving first, and a copy left under the new name for restoring after.
    void NewTable(const std::function<void()>& make);
    void actOpenFileExecute();
    void actSaveExecute();
    void actSaveAsExecute();
    void actPrintExecute();
    void actPrintPreviewExecute();
    void actOprExecute();
    void actChartExecute();
    void mnAboutClick();
    void ViewItemClick(QAction* item);
    void PortItemClick(QAction* item);
    void OtherPortClick();
    void RetryOpenPort();
    // The listed ports, the port in use, "Другой порт…"; refilled each time
    // the menu opens, so adapters plugged in meanwhile are offered.
    void FillPortMenuItems();
    void FormResize();
    void OpSavro1ErrorOpenPort(TOpSavro* sender);
    void OpSavro1Starting(TOpSavro* sender);
    void OpSavro1Stoping(TOpSavro* sender);
    void OpSavro1GetNumber(TOpSavro* sender);
    void OpSavro1PutResult(TOpSavro* sender);
    // The body of OpSavro1PutResult: the next command for a reply to command.
    // A new measurement is on disk before this returns 9.
    quint8 PutRecordReply(quint8 command, quint8 status, QByteArrayView data, bool replyDone) {
        return Doc.PutRecordReply(command, status, data, replyDone);
    }

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void CreateComponents();
    // The archive window, the report, the lab server and the chart's ties,
    // each handed what it needs of this window.
    void InstallFeatures();
    void FormCreate();
    bool FormClose();
    void WriteConfig();
    // Writes the settings now; a failure is told once.
    void StoreConfig();
    // False when the operator cancelled.
    bool OfferToSave();
    void CommitEdit();
    // True when the operator restored the copy (of other, or of the current file).
    bool OfferRecovery(const QString& other = QString());
    void OfferOtherRecoveries();
    void ResumePolling();
    // Runs a prompt about the table; records wait meanwhile.
    QMessageBox::StandardButton Ask(const std::function<QMessageBox::StandardButton()>& prompt);
    // Runs a command; an error ends it and is shown in the generic error box.
    void Run(const std::function<void()>& command);
    void ShowGenericErrorBox(const QString& message);
    void ChoosePort(const QString& port);
    void ShowLinkStatus();
    QString AnalyserText() const;
    bool AnalyserInTitle_ = false;
    QString TitleAnalyser_; // as last put into the title

    QString ConfigPath_;
    bool Created_ = false; // settings are written from here on
    bool Closing_ = false;
    // Polling was on when the settings were last written: the program died
    // while polling unless it closed cleanly.
    bool PollingWanted_ = false;
    // A configuration that cannot be written must not keep the program from
    // ever closing: the first failure abandons the close, a repeated one not.
    bool ConfigWriteFailed_ = false;
    bool StoreFailedShown_ = false;
    QStringList SkippedShown_; // settings the file could not hold, already told
};
