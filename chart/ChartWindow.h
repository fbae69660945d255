#pragma once

#include "qc/ControlChart.h"

#include <QList>
#include <QLocale>
#include <QPointF>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <map>
#include <vector>

class QCheckBox;
class QChart;
class QChartView;
class QComboBox;
class QDateTimeAxis;
class QLabel;
class QLineSeries;
class QPushButton;
class QScatterSeries;
class QStringListModel;
class QTableWidget;
class QValueAxis;
class TArchive;
class TChartLimitsPanel;
class TResultsTable;

// "График": one indicator of the results table against the date and time of
// its measurements, with the control chart's centre line, ±2σ warning and
// ±3σ control limits and the rule marks. Follows the table live; the
// numbers come from ControlChart, the window only draws them.
class TChartWindow : public QWidget {
    Q_OBJECT
public:
    // table must outlive the window or be destroyed with its owner.
    explicit TChartWindow(TResultsTable* table, const QLocale& locale = QLocale::system(),
                          QWidget* parent = nullptr);
    ~TChartWindow() override;

    QComboBox* IndicatorList = nullptr;
    QComboBox* SampleList = nullptr;
    QPushButton* ExportButton = nullptr;
    QChartView* ChartView = nullptr;
    QLabel* NoteLabel = nullptr;
    TChartLimitsPanel* LimitsPanel = nullptr;
    QCheckBox* WesternElectricBox = nullptr;
    // The points that broke a rule, one line per point with its rules joined:
    // date, time, value, rules.
    QTableWidget* RuleList = nullptr;

    QLineSeries* TrendSeries = nullptr;
    QScatterSeries* InControlSeries = nullptr;
    QScatterSeries* WarningSeries = nullptr;
    QScatterSeries* OutOfControlSeries = nullptr;
    QScatterSeries* ExcludedSeries = nullptr; // marked invalid: hollow grey
    QScatterSeries* SelectedSeries = nullptr; // a ring around the chosen point
    QLineSeries* CentreLine = nullptr;
    QLineSeries* UpperWarning = nullptr;
    QLineSeries* LowerWarning = nullptr;
    QLineSeries* UpperControl = nullptr;
    QLineSeries* LowerControl = nullptr;

    // The operator's side of the export; tests answer here. An empty name
    // cancels.
    std::function<QString(const QString& start)> ExportDialog;
    std::function<void(const QString& caption, const QString& text)> ErrorBox;
    // The opener's side: the archive keeping fixed limits (none, or nullptr:
    // not open) and the facts under an exported picture.
    std::function<TArchive*()> ArchiveSource;
    std::function<TChartCaption()> CaptionSource;
    // Read on every redraw when set: the table rows marked invalid, with the
    // reason (else SetExcluded's).
    std::function<std::map<int, QString>()> ExcludedSource;

    // The exported picture: this size at this resolution.
    static constexpr double ExportWidthMm = 180;
    static constexpr double ExportHeightMm = 110;
    static constexpr int ExportDpi = 300;

    static QString AllSamples();

    int Column() const;
    QString Sample() const; // empty: all samples
    void SetColumn(int column);
    void SetSample(const QString& sample);

    // Table rows marked invalid in the archive, with the reason.
    void SetExcluded(std::map<int, QString> rows);
    // The settings file remembering the indicator and sample last charted:
    // opens on them when they still exist, and keeps them from now on.
    void SetSettingsFile(const QString& path);
    // Selects the point of the rule list's line; its table row, -1 for none.
    int ChooseRule(int line);
    int ChosenRow() const { return chosenRow_; }
    void SaveLimitsExecute();
    void ResetLimitsExecute();

    const TChartData& Data() const { return data_; }
    // Redraws now; changes of the table are otherwise gathered and drawn once.
    void Rebuild();
    bool RebuildPending() const { return timer_.isActive() || dirty_; }
    int RebuildCount() const { return rebuilds_; }

    // What hovering a point shows: sample number, name, date, time, value.
    QString ToolTipFor(const QScatterSeries* series, const QPointF& point) const;

    // PNG, or PDF when the name ends in ".pdf"; throws std::runtime_error.
    void ExportChart(const QString& fileName);
    void ExportExecute();

signals:
    // A point was chosen in the rule list: its table row.
    void pointChosen(int row);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void BuildChart();
    void FillIndicators();
    void FillSamples();
    void ScheduleRebuild();
    void OnHovered(QScatterSeries* series, const QPointF& point, bool state);
    QString PointToolTip(int row) const;
    QString IndicatorTitle() const;
    void UpdateLimitsPanel();
    void FillRuleList();
    void ShowChosen();
    void RememberChoice();
    QString ValueText(const TChartPoint& point) const;
    QString Note() const;

    QPointer<TResultsTable> table_;
    QLocale locale_;
    QStringListModel* samples_ = nullptr;
    QChart* chart_ = nullptr;
    QDateTimeAxis* timeAxis_ = nullptr;
    QValueAxis* valueAxis_ = nullptr;
    TChartData data_;
    // Table rows of the points of each scatter series, in series order.
    std::vector<int> inControlRows_, warningRows_, outOfControlRows_, excludedRows_;
    std::map<int, QString> excluded_;
    std::optional<TFixedLimits> fixed_; // of the current indicator and sample
    QString limitsKey_;                 // the indicator and sample the panel shows
    QString limitsError_;
    int chosenRow_ = -1;
    int ruleLinesLeftOut_ = 0; // breaks older than the rule list shows
    QString settingsPath_;
    QTimer timer_;
    bool dirty_ = true; // the table changed while the window was hidden
    int rebuilds_ = 0;
};
