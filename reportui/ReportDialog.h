#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QCheckBox;
class QLineEdit;
class QPrinter;
class QPushButton;
class QAction;
struct TFeatureHost;
class TReport;
class TResultsTable;

// What the operator asks of "Отчёт…": the laboratory's name, the indicators
// and where the report goes.
struct TReportRequest {
    QString Laboratory;
    QStringList IndicatorTitles;       // all of them, to choose from
    std::vector<int> Indicators;       // chosen, 0-based
    QString FileName;                  // the PDF to write
    std::shared_ptr<QPrinter> Printer; // set: printed there instead
};

// The report's dialog: laboratory, indicators, "Сохранить PDF…", "Печать…".
class TReportDialog : public QDialog {
    Q_OBJECT
public:
    TReportDialog(const TReportRequest& start, QWidget* parent);

    QLineEdit* LaboratoryEdit = nullptr;
    std::vector<QCheckBox*> IndicatorBoxes;
    QPushButton* PdfButton = nullptr;
    QPushButton* PrintButton = nullptr;

    // The dialog, then the file or print dialog; nullopt: cancelled.
    static std::optional<TReportRequest> Ask(QWidget* parent, const TReportRequest& start);
    // The laboratory from the settings, the table's shown indicators and a
    // PDF named fileStem in folder.
    static TReportRequest Start(const QString& configPath, const TResultsTable& table,
                                const QString& folder, const QString& fileStem);
    // Writes or prints report, then keeps the laboratory's name; returns
    // what the status line says. Throws with the operator's message.
    static QString Finish(const TReportRequest& request, TReport& report,
                          const QString& configPath);
    // Asks the operator for a report; tests answer in its place.
    using TAsk = std::function<std::optional<TReportRequest>(const TReportRequest& start)>;
    // "Отчёт…" in the host's file menu: the current table's report, asked
    // for through ask (set here to the dialog). Returns the command.
    static QAction* Install(const TFeatureHost& host, TAsk& ask);

private:
    TReportRequest Chosen(const TReportRequest& start) const;
};
