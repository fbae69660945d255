#pragma once

#include "register/LinkStatus.h"
#include "register/RecordCycle.h"
#include "register/RecoveryFile.h"

#include <QMainWindow>
#include <QMessageBox>

#include <functional>
#include <memory>

class QAction;
class QMenu;
class QToolBar;
class QTimer;
class QToolButton;
class TChartWindow;
class TLinkStatusBar;
class TColorStringGrid;
class TNumberEdit;
class TOpSavro;
class TResultsTable;

// The register's main window: the results table, the device-number field,
// the poller and the commands. Handlers keep their given names and stay thin:
// the work is done by the table, file, cycle and poller classes.
class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    // configPath: where Savro2.Ini lives (beside the program unless given).
    // dataFolder: where the recovery copies live (the user's data folder
    // unless given).
    explicit TForm1(QWidget* parent = nullptr, const QString& configPath = QString(),
                    const QString& dataFolder = QString());
    ~TForm1() override;

    // Components, named as the operator's manual names them.
    TResultsTable* Table() const { return Table_.get(); }
    TColorStringGrid* MainGrid = nullptr;
    TNumberEdit* NumberEdit1 = nullptr;
    TOpSavro* OpSavro1 = nullptr;
    QMenu* MenuPort = nullptr;
    QMenu* mnFile = nullptr;
    QMenu* mnView = nullptr;
    QAction* mnAbout = nullptr;
    QToolBar* ToolBar1 = nullptr;
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
    QAction* actOtherPort = nullptr;
    TLinkStatusBar* StatusBar1 = nullptr;
    // Reopens a port lost during polling, every 2 s, until it opens or the
    // operator switches polling off.
    QTimer* RetryTimer = nullptr;

    TRecordCycle Cycle;
    // The unsaved table on disk, so a crash or power cut loses nothing.
    TRecoveryFile Recovery;
    static constexpr int RecoveryDelayMs = 2000; // edits are written within this
    TLinkStatus Link;
    // Where the stable names of USB adapters are looked up.
    QString PortAliasFolder = QStringLiteral("/dev/serial/by-id");

    const QString& CurrentFileName() const { return FileName_; }
    const QString& ConfigFilePath() const { return ConfigPath_; }

    // The operator's side of dialogs and boxes; tests put answers in here.
    std::function<QString(const QString& start)> OpenDialog1;
    std::function<QString(const QString& start)> SaveDialog1;
    std::function<QMessageBox::StandardButton()> AskSaveData;      // Yes / No / Cancel
    std::function<QMessageBox::StandardButton(const QString& text)> AskRestore; // Yes / No
    std::function<QMessageBox::StandardButton()> AskSaveOnClose;   // Yes / No / Cancel
    std::function<void(const QString& caption, const QString& text)> ErrorBox;
    std::function<void()> ShowAbout;
    std::function<void()> PrintCommand;
    // Any port name or path; empty for Cancel.
    std::function<QString(const QString& current)> AskPortName;

    void ShowError(const QString& message);
    void SetTitle(const QString& fileName);
    void LoadResultsFile(const QString& fileName);
    void SaveResultsFile(const QString& fileName);
    void SetCaptions();

    // Commands and handlers.
    void actNewExecute();
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
    // A new measurement is in the recovery copy on disk before this returns,
    // so before command 9 acknowledges it.
    quint8 PutRecordReply(quint8 command, quint8 status, QByteArrayView data, bool replyDone);

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void CreateComponents();
    void FormCreate();
    bool FormClose();
    void WriteConfig();
    // False when the operator cancelled.
    bool OfferToSave();
    void CommitEdit();
    // True when the operator restored the copy.
    bool OfferRecovery();
    void OfferOtherRecoveries();
    void WriteRecovery();
    void DiscardRecovery();
    void RecoveryFailed(const std::exception& e);
    // Runs a prompt about the table; records wait meanwhile.
    QMessageBox::StandardButton Ask(const std::function<QMessageBox::StandardButton()>& prompt);
    // Runs a command; an error ends it and is shown in the generic error box.
    void Run(const std::function<void()>& command);
    void ShowGenericErrorBox(const QString& message);
    void ChoosePort(const QString& port);
    void LinkTurnStarted(TOpSavro* sender);
    void LinkReplied(TOpSavro* sender, quint8 command, int rowsBefore);
    void StopRetrying();
    void ShowLinkStatus();
    void ShowPollingLook(bool on);
    QDateTime NextRequestTime(quint8 command) const;

    std::unique_ptr<TResultsTable> Table_;
    QString FileName_;
    QString ConfigPath_;
    bool Closing_ = false;
    // A configuration that cannot be written must not keep the program from
    // ever closing: the first failure abandons the close, a repeated one not.
    bool ConfigWriteFailed_ = false;
    QTimer* RecoveryTimer_ = nullptr; // coalesces edits
    bool RecoveryErrorShown_ = false;
    bool Asking_ = false;
    // The adapter's stable name, found when polling started on its port.
    QString PortAlias_;
    // The running start is a reopen after a lost port: its failures are quiet.
    bool RetryAttempt_ = false;
    // Reopened, and no complete reply yet: a port error now is not told again.
    bool ResumedQuiet_ = false;
};
