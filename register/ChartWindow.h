#pragma once

#include "register/ControlChart.h"

#include <QList>
#include <QLocale>
#include <QPointF>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <vector>

class QChart;
class QChartView;
class QComboBox;
class QDateTimeAxis;
class QLabel;
class QLineSeries;
class QPushButton;
class QScatterSeries;
class QStringListModel;
class QValueAxis;
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

    QLineSeries* TrendSeries = nullptr;
    QScatterSeries* InControlSeries = nullptr;
    QScatterSeries* WarningSeries = nullptr;
    QScatterSeries* OutOfControlSeries = nullptr;
    QLineSeries* CentreLine = nullptr;
    QLineSeries* UpperWarning = nullptr;
    QLineSeries* LowerWarning = nullptr;
    QLineSeries* UpperControl = nullptr;
    QLineSeries* LowerControl = nullptr;

    // The operator's side of the export; tests answer here. An empty name
    // cancels.
    std::function<QString(const QString& start)> ExportDialog;
    std::function<void(const QString& caption, const QString& text)> ErrorBox;

    static QString AllSamples();

    int Column() const;
    QString Sample() const; // empty: all samples
    void SetColumn(int column);
    void SetSample(const QString& sample);

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

    QPointer<TResultsTable> table_;
    QLocale locale_;
    QStringListModel* samples_ = nullptr;
    QChart* chart_ = nullptr;
    QDateTimeAxis* timeAxis_ = nullptr;
    QValueAxis* valueAxis_ = nullptr;
    TChartData data_;
    // Table rows of the points of each scatter series, in series order.
    std::vector<int> inControlRows_, warningRows_, outOfControlRows_;
    QTimer timer_;
    bool dirty_ = true; // the table changed while the window was hidden
    int rebuilds_ = 0;
};
