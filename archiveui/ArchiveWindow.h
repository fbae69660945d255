#pragma once

#include "archive/ArchiveExport.h"
#include "archive/ArchiveImport.h"
#include "archive/ArchiveSettings.h"
#include "archive/LabSettings.h"
#include "reportui/ReportDialog.h"

#include <QPointer>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressDialog;
class QPushButton;
class QTableView;
class QTableWidget;
class TArchiveModel;
class TChartWindow;
class QAction;
struct TFeatureHost;
class TImportJob;
class TLabArchive;
class TRegisterDocument;

// "Архив": the archive's measurements by date, sample name and device, with
// the chosen row's name history; opens rows as a new table or a chart,
// exports, imports results files and marks rows invalid. With a lab server
// configured it reads the lab's archive instead when asked (read only). The
// handlers ask the operator through the members below and leave the work to
// the core.
class TArchiveWindow : public QWidget {
    Q_OBJECT
public:
    struct TExportTarget {
        QString FileName; // empty: cancelled
        TExportFormat Format = TExportFormat::CsvRu;
    };
    using TDecimals = std::array<int, IndicatorCount>;

    // doc gives the archive, the column titles and the locale; configPath is
    // the settings file with the decimals.
    TArchiveWindow(TRegisterDocument& doc, const QString& configPath, QWidget* parent = nullptr);
    ~TArchiveWindow() override;

    // "Архив" in the host's file menu and tool bar, opening the one window,
    // kept in window. Returns the command.
    static QAction* Install(const TFeatureHost& host, std::unique_ptr<TArchiveWindow>& window);

    QGroupBox* FilterBox = nullptr;
    QWidget* SourcePanel = nullptr; // shown while a lab server is configured
    QComboBox* SourceBox = nullptr; // this computer, the lab
    QDateEdit* FromEdit = nullptr;
    QDateEdit* ToEdit = nullptr;
    QLineEdit* SampleEdit = nullptr;
    QLineEdit* DeviceEdit = nullptr;
    QCheckBox* ShowInvalidBox = nullptr;
    QPushButton* FindButton = nullptr;
    QTableView* List = nullptr;
    QTableWidget* HistoryList = nullptr;
    QPushButton* OpenInTableButton = nullptr;
    QPushButton* ChartButton = nullptr;
    QPushButton* ExportButton = nullptr;
    QPushButton* ReportButton = nullptr;
    QPushButton* ImportButton = nullptr;
    QPushButton* MarkInvalidButton = nullptr;
    QPushButton* ClearMarkButton = nullptr;
    QPushButton* DecimalsButton = nullptr;
    QLabel* StatusLabel = nullptr;
    TArchiveModel* Model = nullptr;
    QPointer<TChartWindow> Chart; // the last chart opened

    // The register's side of "Открыть в таблице".
    std::function<void(const std::vector<TArchiveMeasurement>& rows)> OpenInTable;
    // The operator's side; tests put answers in here.
    std::function<TExportTarget(const QString& start)> ExportDialog;
    std::function<QStringList(const QString& start)> ImportDialog; // empty: cancelled
    // what: the measurements to mark, in words; an empty answer: cancelled.
    std::function<QString(const QString& what)> AskReason;
    std::function<std::optional<TDecimals>(const TDecimals& current)> AskDecimals;
    std::function<std::optional<TReportRequest>(const TReportRequest& start)> ReportDialog;
    std::function<void(const QString& caption, const QString& text)> ErrorBox;
    std::function<void(const QString& caption, const QString& text)> InfoBox;
    // Called on the import's thread after each batch; false cancels (tests
    // pause the import here).
    TArchiveImport::TProgress ImportStep;

    const TArchiveSettings& Settings() const { return settings_; }
    // The filter the fields describe.
    TArchiveFilter FieldsFilter() const;
    // Chosen list rows, in list order.
    std::vector<int> ChosenRows() const;

    void Raise();
    void Apply();
    // The lab server's settings changed: read them and the list again.
    void Reopen();
    void OpenInTableExecute();
    void ChartExecute();
    void ExportExecute();
    void ReportExecute();
    void ImportExecute();
    void MarkInvalidExecute();
    void ClearMarkExecute();
    void DecimalsExecute();
    // An import runs on its own thread until it reports here.
    bool Importing() const { return import_ != nullptr; }
    // A measurement reached the archive: the list shows it when it is at its
    // end and follows it when scrolled to the bottom.
    void NoteArchived();

signals:
    // Rows were marked invalid or valid again.
    void marksChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void InstallDialogs();
    void Run(const std::function<void()>& command);
    // The chosen rows when several are, else every row the list shows.
    TArchiveFilter ChosenOrAll() const;
    // Which archive and filter, and the instruments of list, under an
    // exported chart.
    TChartCaption ChartCaption(const std::vector<TArchiveMeasurement>& list) const;
    QStringList TableTitles() const;
    QString StartFolder() const;
    void ImportFinished();
    void Mark(const QString& reason);
    void ShowHistory();
    bool FromLab() const;
    // Re-reads the lab server's settings; a change closes its connection.
    // True when the list must be read again.
    bool UpdateSource();
    const TArchiveReader* OpenSource();
    void LabFailed(const QString& reason);
    void ShowCount();
    void ShowColumns();
    void UpdateButtons();

    TRegisterDocument& doc_;
    QString configPath_;
    TArchiveSettings settings_;
    TLabSettings labSettings_;
    std::unique_ptr<TLabArchive> lab_; // opened when first chosen
    QString labError_;
    std::unique_ptr<TImportJob> import_; // while an import runs
    std::unique_ptr<QProgressDialog> importProgress_;
};
