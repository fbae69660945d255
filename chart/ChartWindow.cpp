#include "chart/ChartWindow.h"

#include "archive/Archive.h"
#include "chart/ChartLimitsPanel.h"
#include "config/Cp1251.h"
#include "config/iniplus.h"
#include "config/SaveFile.h"
#include "measurement/ValueText.h"
#include "resources/MyConsts.h"
#include "results/ResultsTable.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCursor>
#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QBuffer>
#include <QPainter>
#include <QPdfWriter>
#include <QPushButton>
#include <QSplitter>
#include <QStringListModel>
#include <QTableWidget>
#include <QToolTip>
#include <QVBoxLayout>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QDateTimeAxis>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

const QColor kPointColour(0x1f, 0x5f, 0xb4);
const QColor kWarningColour(0xf0, 0xa0, 0x00);
const QColor kControlColour(0xd0, 0x10, 0x10);
const QColor kCentreColour(0x20, 0x90, 0x30);
const QColor kExcludedColour(0x90, 0x90, 0x90);

const QString kChartSection = QStringLiteral("Chart");

const QString kPngFilter = QStringLiteral("Рисунок PNG (*.png)");
const QString kPdfFilter = QStringLiteral("Документ PDF (*.pdf)");

// The rule list's length at most.
constexpr int kMaxRuleLines = 500;

// Decimal places of an indicator cell as the table shows it.
int Decimals(QByteArrayView cell) {
    cell = cell.trimmed();
    for (qsizetype i = 0; i < cell.size(); ++i)
        if (cell[i] == '.' || cell[i] == ',')
            return int(cell.size() - i - 1);
    return 0;
}

QLineSeries* NewLine(QChart* chart, const QString& name, const QColor& colour, Qt::PenStyle style,
                     qreal width) {
    auto* series = new QLineSeries(chart);
    series->setName(name);
    QPen pen(colour);
    pen.setStyle(style);
    pen.setWidthF(width);
    series->setPen(pen);
    chart->addSeries(series);
    return series;
}

QScatterSeries* NewPoints(QChart* chart, const QString& name, const QColor& colour, qreal size) {
    auto* series = new QScatterSeries(chart);
    series->setName(name);
    series->setColor(colour);
    series->setBorderColor(colour.darker(130));
    series->setMarkerSize(size);
    chart->addSeries(series);
    return series;
}

void HideFromLegend(QChart* chart, QAbstractSeries* series) {
    for (QLegendMarker* marker : chart->legend()->markers(series))
        marker->setVisible(false);
}

} // namespace

TChartWindow::TChartWindow(TResultsTable* table, const QLocale& locale, QWidget* parent)
    : QWidget(parent, Qt::Window), table_(table), locale_(locale) {
    setWindowTitle(QStringLiteral("График"));
    setObjectName(QStringLiteral("ChartWindow"));
    resize(1180, 680); // the chart and the rule list beside it

    ExportDialog = [this](const QString& start) {
        QString filter = kPngFilter;
        QString name =
            QFileDialog::getSaveFileName(this, QStringLiteral("Сохранить график"), start,
                                         kPngFilter + QStringLiteral(";;") + kPdfFilter, &filter);
        if (!name.isEmpty() && QFileInfo(name).suffix().isEmpty())
            name += filter == kPdfFilter ? QStringLiteral(".pdf") : QStringLiteral(".png");
        return name;
    };
    ErrorBox = [this](const QString& caption, const QString& text) {
        QMessageBox::critical(this, caption, text);
    };

    IndicatorList = new QComboBox(this);
    IndicatorList->setObjectName(QStringLiteral("IndicatorList"));
    IndicatorList->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    SampleList = new QComboBox(this);
    SampleList->setObjectName(QStringLiteral("SampleList"));
    SampleList->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    SampleList->setMinimumContentsLength(16);
    samples_ = new QStringListModel(this);
    SampleList->setModel(samples_);
    ExportButton = new QPushButton(QStringLiteral("Сохранить график…"), this);
    ExportButton->setObjectName(QStringLiteral("ExportButton"));

    ChartView = new QChartView(this); // owns its chart
    chart_ = ChartView->chart();
    BuildChart();
    ChartView->setRenderHint(QPainter::Antialiasing);
    NoteLabel = new QLabel(this);
    NoteLabel->setObjectName(QStringLiteral("NoteLabel"));
    NoteLabel->setWordWrap(true);
    LimitsPanel = new TChartLimitsPanel(locale_, this);
    WesternElectricBox = new QCheckBox(QStringLiteral("Правила Western Electric"), this);
    WesternElectricBox->setObjectName(QStringLiteral("WesternElectricBox"));
    WesternElectricBox->setToolTip(QStringLiteral(
        "Ещё 8 точек подряд по одну сторону средней и 6 точек подряд, растущих или падающих"));
    RuleList = new QTableWidget(0, 4, this);
    RuleList->setObjectName(QStringLiteral("RuleList"));
    RuleList->setHorizontalHeaderLabels({QStringLiteral("Дата"), QStringLiteral("Время"),
                                         QStringLiteral("Значение"), QStringLiteral("Правило")});
    RuleList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    RuleList->setSelectionBehavior(QAbstractItemView::SelectRows);
    RuleList->setSelectionMode(QAbstractItemView::SingleSelection);
    RuleList->verticalHeader()->hide();
    RuleList->horizontalHeader()->setStretchLastSection(true);
    RuleList->setWordWrap(true);

    auto* controls = new QHBoxLayout;
    controls->addWidget(new QLabel(QStringLiteral("Показатель:"), this));
    controls->addWidget(IndicatorList);
    controls->addSpacing(12);
    controls->addWidget(new QLabel(QStringLiteral("Проба:"), this));
    controls->addWidget(SampleList);
    controls->addSpacing(12);
    controls->addWidget(WesternElectricBox);
    controls->addStretch(1);
    controls->addWidget(ExportButton);
    auto* split = new QSplitter(this);
    split->addWidget(ChartView);
    split->addWidget(RuleList);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 1);
    split->setSizes({2000, 1000}); // the chart takes two thirds, whatever the list's hint
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(controls);
    layout->addWidget(LimitsPanel);
    layout->addWidget(split, 1);
    layout->addWidget(NoteLabel);

    FillIndicators();
    FillSamples();

    timer_.setSingleShot(true);
    // Short enough to look immediate, long enough that a measurement's 30
    // cell writes or a burst of edits make one redraw.
    timer_.setInterval(50);
    connect(&timer_, &QTimer::timeout, this, [this] {
        dirty_ = true;
        Rebuild();
    });

    if (table) {
        connect(table, &QAbstractItemModel::modelReset, this, [this] { ScheduleRebuild(); });
        connect(table, &QAbstractItemModel::layoutChanged, this, [this] { ScheduleRebuild(); });
        connect(table, &QAbstractItemModel::rowsInserted, this, [this] { ScheduleRebuild(); });
        connect(table, &QAbstractItemModel::rowsRemoved, this, [this] { ScheduleRebuild(); });
        connect(table, &QAbstractItemModel::dataChanged, this, [this] { ScheduleRebuild(); });
        connect(table, &QAbstractItemModel::headerDataChanged, this,
                [this](Qt::Orientation orientation) {
                    if (orientation == Qt::Horizontal)
                        FillIndicators();
                });
    }
    connect(IndicatorList, &QComboBox::currentIndexChanged, this, [this] {
        Rebuild();
        RememberChoice();
    });
    connect(SampleList, &QComboBox::currentIndexChanged, this, [this] {
        Rebuild();
        RememberChoice();
    });
    connect(WesternElectricBox, &QCheckBox::toggled, this, [this] { Rebuild(); });
    connect(ExportButton, &QPushButton::clicked, this, [this] { ExportExecute(); });
    const auto guarded = [this](void (TChartWindow::*handler)()) {
        return [this, handler] {
            try {
                (this->*handler)();
            } catch (const std::exception& e) {
                ErrorBox(MyConsts::sError, QString::fromStdString(e.what()));
            }
        };
    };
    connect(LimitsPanel, &TChartLimitsPanel::saveRequested, this,
            guarded(&TChartWindow::SaveLimitsExecute));
    connect(LimitsPanel, &TChartLimitsPanel::resetRequested, this,
            guarded(&TChartWindow::ResetLimitsExecute));
    connect(RuleList, &QTableWidget::itemSelectionChanged, this, [this] {
        const QList<QTableWidgetItem*> chosen = RuleList->selectedItems();
        if (!chosen.isEmpty())
            ChooseRule(chosen.first()->row());
    });
    for (QScatterSeries* series :
         {InControlSeries, WarningSeries, OutOfControlSeries, ExcludedSeries})
        connect(
            series, &QScatterSeries::hovered, this,
            [this, series](const QPointF& point, bool state) { OnHovered(series, point, state); });

    Rebuild();
}

TChartWindow::~TChartWindow() = default;

QString TChartWindow::AllSamples() {
    return QStringLiteral("все пробы");
}

void TChartWindow::BuildChart() {
    chart_->legend()->setAlignment(Qt::AlignBottom);
    chart_->legend()->setShowToolTips(true);
    // Axis labels with the locale's decimal separator and, as in the table,
    // no grouping: "1000,50", not "1 000,50".
    chart_->setLocalizeNumbers(true);
    chart_->setLocale(TValueText::WidgetLocale(locale_));

    TrendSeries = NewLine(chart_, QStringLiteral("Ход измерений"), QColor(0x90, 0x90, 0x90),
                          Qt::SolidLine, 1);
    CentreLine = NewLine(chart_, QStringLiteral("Среднее"), kCentreColour, Qt::SolidLine, 1.5);
    UpperWarning =
        NewLine(chart_, QStringLiteral("Предупреждение ±2σ"), kWarningColour, Qt::DashLine, 1.5);
    LowerWarning = NewLine(chart_, QString(), kWarningColour, Qt::DashLine, 1.5);
    UpperControl =
        NewLine(chart_, QStringLiteral("Контроль ±3σ"), kControlColour, Qt::DashLine, 1.5);
    LowerControl = NewLine(chart_, QString(), kControlColour, Qt::DashLine, 1.5);
    InControlSeries = NewPoints(chart_, QStringLiteral("Измерение"), kPointColour, 8);
    WarningSeries = NewPoints(chart_, QStringLiteral("2 из 3 подряд за ±2σ"), kWarningColour, 10);
    OutOfControlSeries = NewPoints(chart_, QStringLiteral("За границей ±3σ"), kControlColour, 11);
    ExcludedSeries =
        NewPoints(chart_, QStringLiteral("Недействительно (не учитывается)"), kExcludedColour, 9);
    ExcludedSeries->setBrush(Qt::NoBrush);
    ExcludedSeries->setPen(QPen(kExcludedColour, 1.5));
    SelectedSeries = NewPoints(chart_, QStringLiteral("Выбранная точка"), Qt::black, 20);
    SelectedSeries->setBrush(Qt::NoBrush);
    SelectedSeries->setPen(QPen(Qt::black, 2));

    timeAxis_ = new QDateTimeAxis(chart_);
    timeAxis_->setTitleText(QStringLiteral("Дата и время измерения"));
    timeAxis_->setTickCount(6);
    chart_->addAxis(timeAxis_, Qt::AlignBottom);
    valueAxis_ = new QValueAxis(chart_);
    chart_->addAxis(valueAxis_, Qt::AlignLeft);
    for (QAbstractSeries* series : chart_->series()) {
        series->attachAxis(timeAxis_);
        series->attachAxis(valueAxis_);
    }
    HideFromLegend(chart_, TrendSeries);
    HideFromLegend(chart_, LowerWarning);
    HideFromLegend(chart_, LowerControl);
    HideFromLegend(chart_, SelectedSeries);
}

void TChartWindow::FillIndicators() {
    const int current = Column();
    const QSignalBlocker block(IndicatorList);
    IndicatorList->clear();
    int select = -1;
    int firstVisible = -1;
    if (table_) {
        for (const TIndicatorColumn& c : ControlChart::IndicatorColumns(*table_)) {
            const QString title =
                c.Title.isEmpty() ? QStringLiteral("Столбец %1").arg(c.Column) : c.Title;
            IndicatorList->addItem(title, c.Column);
            if (c.Column == current)
                select = IndicatorList->count() - 1;
            if (firstVisible < 0 && table_->ColVisible(c.Column))
                firstVisible = IndicatorList->count() - 1;
        }
    }
    IndicatorList->setCurrentIndex(select >= 0 ? select : std::max(firstVisible, 0));
}

void TChartWindow::FillSamples() {
    const QString current = Sample();
    QStringList items{AllSamples()};
    if (table_)
        items += ControlChart::SampleNames(*table_);
    // A chosen name that no row has any more stays chosen, with no points.
    if (!current.isEmpty() && !items.contains(current))
        items << current;
    if (samples_->stringList() == items)
        return;
    // One model reset: a year of distinct batch names is 50,000 items.
    const QSignalBlocker block(SampleList);
    samples_->setStringList(items);
    SampleList->setCurrentIndex(current.isEmpty() ? 0 : int(items.indexOf(current, 1)));
}

int TChartWindow::Column() const {
    return IndicatorList->currentIndex() < 0 ? -1 : IndicatorList->currentData().toInt();
}

QString TChartWindow::Sample() const {
    return SampleList->currentIndex() <= 0 ? QString() : SampleList->currentText();
}

void TChartWindow::SetColumn(int column) {
    const int index = IndicatorList->findData(column);
    if (index >= 0)
        IndicatorList->setCurrentIndex(index);
}

void TChartWindow::SetSample(const QString& sample) {
    if (sample.isEmpty()) {
        SampleList->setCurrentIndex(0);
        return;
    }
    QStringList items = samples_->stringList();
    qsizetype index = items.indexOf(sample, 1);
    if (index < 0) {
        const QSignalBlocker block(SampleList);
        items << sample;
        samples_->setStringList(items);
        index = items.size() - 1;
    }
    SampleList->setCurrentIndex(int(index));
}

void TChartWindow::ScheduleRebuild() {
    dirty_ = true;
    if (isVisible() && !timer_.isActive())
        timer_.start();
}

void TChartWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (dirty_)
        Rebuild();
}

QString TChartWindow::IndicatorTitle() const {
    return IndicatorList->currentText();
}

void TChartWindow::Rebuild() {
    timer_.stop();
    dirty_ = false;
    ++rebuilds_;
    FillSamples();
    UpdateLimitsPanel();
    if (ExcludedSource)
        excluded_ = ExcludedSource();
    TChartOptions options;
    options.Fixed = fixed_;
    options.WesternElectric = WesternElectricBox->isChecked();
    options.Excluded = excluded_;
    data_ =
        table_ ? ControlChart::Build(*table_, Column(), Sample(), locale_, options) : TChartData();
    const TChartLimits& limits = data_.Limits;

    QList<QPointF> trend, normal, warning, control, excluded;
    trend.reserve(qsizetype(data_.Points.size()));
    inControlRows_.clear();
    warningRows_.clear();
    outOfControlRows_.clear();
    excludedRows_.clear();
    qint64 tMin = 0, tMax = 0;
    double vMin = 0, vMax = 0;
    for (size_t i = 0; i < data_.Points.size(); ++i) {
        const TChartPoint& p = data_.Points[i];
        const QPointF point(qreal(p.When), p.Value);
        trend << point;
        if (p.Excluded) {
            excluded << point;
            excludedRows_.push_back(p.Row);
        } else {
            switch (p.State) {
            case TPointState::InControl:
                normal << point;
                inControlRows_.push_back(p.Row);
                break;
            case TPointState::Warning:
                warning << point;
                warningRows_.push_back(p.Row);
                break;
            case TPointState::OutOfControl:
                control << point;
                outOfControlRows_.push_back(p.Row);
                break;
            }
        }
        tMin = i == 0 ? p.When : std::min(tMin, p.When);
        tMax = i == 0 ? p.When : std::max(tMax, p.When);
        vMin = i == 0 ? p.Value : std::min(vMin, p.Value);
        vMax = i == 0 ? p.Value : std::max(vMax, p.Value);
    }
    TrendSeries->replace(trend);
    InControlSeries->replace(normal);
    WarningSeries->replace(warning);
    OutOfControlSeries->replace(control);
    ExcludedSeries->replace(excluded);
    for (QLegendMarker* marker : chart_->legend()->markers(ExcludedSeries))
        marker->setVisible(!excluded.isEmpty());
    const QString warningName = options.WesternElectric ? QStringLiteral("Нарушение правил")
                                                        : QStringLiteral("2 из 3 подряд за ±2σ");
    if (WarningSeries->name() != warningName)
        WarningSeries->setName(warningName);
    FillRuleList();
    ShowChosen();

    if (data_.Points.empty()) {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        tMin = now - 3600 * 1000;
        tMax = now;
        vMin = 0;
        vMax = 1;
    }
    if (tMax - tMin < 60 * 1000) { // one moment: widen to an hour around it
        tMin -= 30 * 60 * 1000;
        tMax += 30 * 60 * 1000;
    }
    // Points on the first and last moment are drawn whole.
    const qint64 pad = (tMax - tMin) / 50;
    tMin -= pad;
    tMax += pad;
    const auto level = [&](QLineSeries* line, double y) {
        if (limits.Valid)
            line->replace({QPointF(qreal(tMin), y), QPointF(qreal(tMax), y)});
        else
            line->clear();
        line->setVisible(limits.Valid);
    };
    level(CentreLine, limits.Mean);
    level(UpperWarning, limits.Upper2);
    level(LowerWarning, limits.Lower2);
    level(UpperControl, limits.Upper3);
    level(LowerControl, limits.Lower3);
    HideFromLegend(chart_, LowerWarning);
    HideFromLegend(chart_, LowerControl);
    if (limits.Valid) {
        vMin = std::min(vMin, limits.Lower3);
        vMax = std::max(vMax, limits.Upper3);
    }
    double margin = (vMax - vMin) * 0.05;
    if (margin <= 0)
        margin = std::max(std::abs(vMax) * 0.05, 0.5);
    valueAxis_->setRange(vMin - margin, vMax + margin);
    valueAxis_->applyNiceNumbers();
    // The table's decimals, or more where the ticks are finer than that.
    const int shown = data_.Points.empty() || !table_
                          ? 0
                          : Decimals(table_->CellView(Column(), data_.Points.front().Row));
    const double step =
        (valueAxis_->max() - valueAxis_->min()) / std::max(valueAxis_->tickCount() - 1, 1);
    const int needed = step > 0 ? int(std::ceil(-std::log10(step) - 1e-9)) : 0;
    valueAxis_->setLabelFormat(
        QStringLiteral("%.%1f").arg(std::clamp(std::max(shown, needed), 0, 9)));
    timeAxis_->setRange(QDateTime::fromMSecsSinceEpoch(tMin), QDateTime::fromMSecsSinceEpoch(tMax));
    const bool severalDays = tMax - tMin > 24LL * 3600 * 1000;
    timeAxis_->setFormat(severalDays
                             ? locale_.dateFormat(QLocale::ShortFormat)
                             : locale_.dateFormat(QLocale::ShortFormat) + QStringLiteral(" HH:mm"));

    const QString sample = Sample().isEmpty() ? AllSamples() : Sample();
    chart_->setTitle(IndicatorTitle() + QStringLiteral(" — ") + sample);
    valueAxis_->setTitleText(IndicatorTitle());

    NoteLabel->setText(Note());
}

QString TChartWindow::PointToolTip(int row) const {
    if (!table_ || row < 1 || row >= table_->RowCount())
        return {};
    const auto cell = [this, row](int col) { return Cp1251::decode(table_->CellView(col, row)); };
    QString name = cell(1).trimmed();
    if (name.isEmpty())
        name = QStringLiteral("(без названия)");
    // The value as the rule list and the note write it, whatever separator
    // the file it came from has.
    const auto point = std::find_if(data_.Points.begin(), data_.Points.end(),
                                    [row](const TChartPoint& p) { return p.Row == row; });
    const QString value = point != data_.Points.end() ? ValueText(*point) : cell(Column());
    QString tip = QStringLiteral("Проба № %1: %2\n%3 %4\n%5: %6")
                      .arg(cell(0), name, cell(2), cell(3), IndicatorTitle(), value);
    const auto excluded = excluded_.find(row);
    if (excluded != excluded_.end())
        tip += QStringLiteral("\nНедействительно: %1").arg(excluded->second);
    return tip;
}

QString TChartWindow::ToolTipFor(const QScatterSeries* series, const QPointF& point) const {
    const std::vector<int>* rows = series == InControlSeries      ? &inControlRows_
                                   : series == WarningSeries      ? &warningRows_
                                   : series == OutOfControlSeries ? &outOfControlRows_
                                   : series == ExcludedSeries     ? &excludedRows_
                                                                  : nullptr;
    if (!rows)
        return {};
    const QList<QPointF> points = series->points();
    const qsizetype i = points.indexOf(point);
    if (i < 0 || size_t(i) >= rows->size())
        return {};
    return PointToolTip((*rows)[size_t(i)]);
}

void TChartWindow::OnHovered(QScatterSeries* series, const QPointF& point, bool state) {
    if (state)
        QToolTip::showText(QCursor::pos(), ToolTipFor(series, point), ChartView);
    else
        QToolTip::hideText();
}

void TChartWindow::ExportChart(const QString& fileName) {
    if (RebuildPending())
        Rebuild();
    const QString failed =
        QStringLiteral("Не удалось сохранить график в файл \"%1\"").arg(fileName);
    TSaveFile file(fileName);
    if (!file.Open())
        throw std::runtime_error((failed + QStringLiteral(": ") + file.Error()).toStdString());
    const bool pdf =
        QFileInfo(fileName).suffix().compare(QLatin1String("pdf"), Qt::CaseInsensitive) == 0;
    const QStringList caption =
        ControlChart::CaptionLines(CaptionSource ? CaptionSource() : TChartCaption(), data_,
                                   locale_, QDateTime::currentDateTime());
    // The chart above, the figures of the note and the caption under it, the
    // texts wrapped to the sheet's width and measured so that the chart takes
    // only what they leave. The view is laid out at the chart's own area, so
    // its fonts and legend keep their size against the sheet.
    const auto drawSheet = [&](QPainter& painter, const QRect& area) {
        const QFontMetrics metrics = painter.fontMetrics();
        const int margin = metrics.lineSpacing() / 2;
        const int textWidth = area.width() - 2 * margin;
        constexpr int wrap = Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap;
        const auto height = [&](const QString& text) {
            return metrics.boundingRect(QRect(0, 0, textWidth, area.height()), wrap, text).height();
        };
        const QString captionText = caption.join(u'\n');
        const int noteHeight = height(NoteLabel->text()) + margin;
        const int captionHeight = height(captionText) + margin;
        const QRect chartArea(area.topLeft(),
                              QSize(area.width(), area.height() - noteHeight - captionHeight));
        const QSize old = ChartView->size();
        ChartView->resize(chartArea.size());
        ChartView->render(&painter, chartArea, QRect(QPoint(0, 0), ChartView->size()),
                          Qt::KeepAspectRatio);
        if (ChartView->size() != old)
            ChartView->resize(old);
        const QRect noteArea(area.left() + margin, chartArea.bottom() + 1, textWidth, noteHeight);
        painter.drawText(noteArea, wrap, NoteLabel->text());
        const QRect captionArea(noteArea.left(), noteArea.bottom() + 1, textWidth, captionHeight);
        painter.drawText(captionArea, wrap, captionText);
    };
    bool written = false;
    if (pdf) {
        QPdfWriter writer(&file.Device());
        writer.setTitle(chart_->title());
        writer.setCreator(QStringLiteral("Savro-2"));
        writer.setPageSize(QPageSize(QPageSize::A4));
        writer.setPageOrientation(QPageLayout::Landscape);
        // At the screen's resolution, so the view's pixel sizes and the
        // fonts' points agree as they do on the screen; vector output loses
        // nothing by it.
        writer.setResolution(logicalDpiX());
        QPainter painter;
        if (painter.begin(&writer)) {
            painter.setFont(font());
            drawSheet(painter, painter.viewport());
            written = painter.end();
        }
    } else {
        constexpr double mmPerInch = 25.4;
        QImage image(qRound(ExportWidthMm / mmPerInch * ExportDpi),
                     qRound(ExportHeightMm / mmPerInch * ExportDpi),
                     QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::white);
        // Drawn at the screen's scale and magnified: fonts in points are
        // resolved at the image's own (screen) resolution until it is marked
        // 300 dpi just before saving. A fifth smaller than on the screen, so
        // the time axis and the legend fit the sheet's width.
        constexpr double fontScale = 0.8;
        const double scale = double(ExportDpi) / image.logicalDpiX() * fontScale;
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::TextAntialiasing);
        painter.scale(scale, scale);
        painter.setFont(font());
        drawSheet(painter,
                  QRect(0, 0, qRound(image.width() / scale), qRound(image.height() / scale)));
        painter.end();
        const int dotsPerMeter = qRound(ExportDpi / mmPerInch * 1000);
        image.setDotsPerMeterX(dotsPerMeter);
        image.setDotsPerMeterY(dotsPerMeter);
        // Encoded in memory first: a write error inside the PNG library
        // unwinds past its own clean-up, and the disk's reason comes from
        // our writer anyway.
        QByteArray png;
        QBuffer buffer(&png);
        written = buffer.open(QIODevice::WriteOnly) && image.save(&buffer, "PNG") &&
                  file.Write(png);
    }
    if (!written || !file.Commit())
        throw std::runtime_error((failed + QStringLiteral(": ") + file.Error()).toStdString());
}

void TChartWindow::ExportExecute() {
    const QString name = ExportDialog(QStringLiteral("график.png"));
    if (name.isEmpty())
        return;
    try {
        ExportChart(name);
    } catch (const std::exception& e) {
        ErrorBox(MyConsts::sError, QString::fromStdString(e.what()));
    }
}

void TChartWindow::SetExcluded(std::map<int, QString> rows) {
    excluded_ = std::move(rows);
    Rebuild();
}

void TChartWindow::SetSettingsFile(const QString& path) {
    settingsPath_.clear(); // the choice below is read, not written
    if (!table_) {
        settingsPath_ = path;
        return;
    }
    const TIniPlus ini(path);
    const int column = ini.ReadNumber(kChartSection, QStringLiteral("Column"), -1);
    const QString sample = ini.ReadText(kChartSection, QStringLiteral("Sample"), QString());
    // Gone from the table: the first shown indicator, all samples.
    if (IndicatorList->findData(column) >= 0)
        SetColumn(column);
    SetSample(ControlChart::SampleNames(*table_).contains(sample) ? sample : QString());
    settingsPath_ = path;
}

void TChartWindow::RememberChoice() {
    if (settingsPath_.isEmpty())
        return;
    try {
        TIniPlus ini(settingsPath_);
        ini.WriteNumber(kChartSection, QStringLiteral("Column"), Column());
        ini.WriteText(kChartSection, QStringLiteral("Sample"), Sample());
    } catch (const std::exception& e) {
        qWarning("%s", e.what()); // only a convenience: the chart goes on
    }
}

void TChartWindow::UpdateLimitsPanel() {
    TArchive* archive = ArchiveSource ? ArchiveSource() : nullptr;
    const int column = Column();
    const QString sample = Sample();
    fixed_.reset();
    limitsError_.clear();
    if (archive && !sample.isEmpty() && column >= ControlChart::FirstIndicatorColumn) {
        try {
            fixed_ = archive->ChartLimits(column - ControlChart::FirstIndicatorColumn, sample);
        } catch (const std::exception& e) {
            limitsError_ = QString::fromStdString(e.what());
        }
    }
    QString status = limitsError_;
    if (!archive)
        status = QStringLiteral("Архив не открыт: постоянные границы недоступны.");
    else if (sample.isEmpty())
        status = QStringLiteral("Постоянные границы задаются для одной пробы.");
    else if (fixed_)
        status = QStringLiteral("Сохранены %1, %2.")
                     .arg(locale_.toString(QDateTime::fromMSecsSinceEpoch(fixed_->SetMs),
                                           QLocale::ShortFormat),
                          fixed_->SetBy);
    LimitsPanel->SetAvailable(archive && !sample.isEmpty(), status);
    // The fields follow the stored limits when another indicator or sample
    // is shown, not on every redraw under the operator's typing.
    const QString key = QString::number(column) + u'\n' + sample;
    if (key != limitsKey_) {
        limitsKey_ = key;
        LimitsPanel->Show(fixed_);
    }
}

void TChartWindow::SaveLimitsExecute() {
    TArchive* archive = ArchiveSource ? ArchiveSource() : nullptr;
    const QString sample = Sample();
    if (!archive || sample.isEmpty() || !table_)
        return;
    const int indicator = Column() - ControlChart::FirstIndicatorColumn;
    TFixedLimits fixed;
    fixed.Kind = LimitsPanel->Mode();
    if (fixed.Kind == TLimitsKind::Points) {
        archive->ClearChartLimits(indicator, sample);
    } else {
        if (fixed.Kind == TLimitsKind::BasePeriod) {
            fixed.BaseFromMs = LimitsPanel->FromMs();
            fixed.BaseToMs = LimitsPanel->ToMs();
            if (RebuildPending())
                Rebuild();
            const TChartLimits limits =
                ControlChart::BasePeriodLimits(data_.Points, fixed.BaseFromMs, fixed.BaseToMs);
            if (!limits.Valid)
                throw std::runtime_error(
                    QStringLiteral("В базовом периоде меньше %1 действительных измерений "
                                   "этой пробы: границы не рассчитать.")
                        .arg(ControlChart::MinPoints)
                        .toStdString());
            fixed.Centre = limits.Mean;
            fixed.Sigma = limits.Sigma;
        } else {
            const std::optional<double> nominal = LimitsPanel->Nominal();
            const std::optional<double> tolerance = LimitsPanel->Tolerance();
            if (!nominal || !tolerance || *tolerance <= 0)
                throw std::runtime_error(
                    QStringLiteral("Укажите номинал и допуск больше нуля.").toStdString());
            fixed.Nominal = *nominal;
            fixed.Tolerance = *tolerance;
            fixed.Centre = *nominal;
            fixed.Sigma = *tolerance / 3;
        }
        fixed.SetBy = TArchive::ThisUser();
        fixed.SetMs = QDateTime::currentMSecsSinceEpoch();
        archive->SetChartLimits(indicator, sample, fixed);
    }
    limitsKey_.clear();
    Rebuild();
}

void TChartWindow::ResetLimitsExecute() {
    TArchive* archive = ArchiveSource ? ArchiveSource() : nullptr;
    if (!archive || Sample().isEmpty())
        return;
    archive->ClearChartLimits(Column() - ControlChart::FirstIndicatorColumn, Sample());
    limitsKey_.clear();
    Rebuild();
}

QString TChartWindow::ValueText(const TChartPoint& point) const {
    const int decimals = table_ ? Decimals(table_->CellView(Column(), point.Row)) : 2;
    return TValueText::Fixed(point.Value, decimals, locale_);
}

void TChartWindow::FillRuleList() {
    const QSignalBlocker block(RuleList);
    RuleList->setRowCount(0);
    ruleLinesLeftOut_ = 0;
    if (!table_)
        return;
    std::vector<const TChartPoint*> broken;
    for (const TChartPoint& p : data_.Points)
        if (p.Rules)
            broken.push_back(&p);
    // Every sample at once can put most points beyond limits that mean
    // little; the list keeps the latest, the chart shows them all.
    if (broken.size() > size_t(kMaxRuleLines)) {
        ruleLinesLeftOut_ = int(broken.size()) - kMaxRuleLines;
        broken.erase(broken.begin(), broken.begin() + ruleLinesLeftOut_);
    }
    RuleList->setRowCount(int(broken.size()));
    for (int line = 0; line < int(broken.size()); ++line) {
        const TChartPoint& p = *broken[size_t(line)];
        const QStringList cells{Cp1251::decode(table_->CellView(2, p.Row)).trimmed(),
                                Cp1251::decode(table_->CellView(3, p.Row)).trimmed(), ValueText(p),
                                ControlChart::RulesText(p.Rules)};
        for (int c = 0; c < int(cells.size()); ++c) {
            auto* item = new QTableWidgetItem(cells[c]);
            item->setData(Qt::UserRole, p.Row);
            RuleList->setItem(line, c, item);
        }
    }
    for (int c = 0; c + 1 < RuleList->columnCount(); ++c)
        RuleList->resizeColumnToContents(c);
    RuleList->resizeRowsToContents(); // the rule texts wrap
}

int TChartWindow::ChooseRule(int line) {
    const QTableWidgetItem* item = RuleList->item(line, 0);
    if (!item)
        return -1;
    chosenRow_ = item->data(Qt::UserRole).toInt();
    ShowChosen();
    emit pointChosen(chosenRow_);
    return chosenRow_;
}

void TChartWindow::ShowChosen() {
    const auto point = std::find_if(data_.Points.begin(), data_.Points.end(),
                                    [this](const TChartPoint& p) { return p.Row == chosenRow_; });
    if (point == data_.Points.end()) {
        chosenRow_ = -1;
        SelectedSeries->clear();
        return;
    }
    SelectedSeries->replace({QPointF(qreal(point->When), point->Value)});
    const QSignalBlocker block(RuleList);
    for (int line = 0; line < RuleList->rowCount(); ++line)
        if (RuleList->item(line, 0)->data(Qt::UserRole).toInt() == chosenRow_)
            RuleList->selectRow(line);
}

QString TChartWindow::Note() const {
    QString note = ControlChart::LimitsNote(data_);
    if (note.isEmpty()) {
        const TChartLimits& limits = data_.Limits;
        const auto number = [this](double v) { return TValueText::Fixed(v, 3, locale_); };
        const QString source =
            fixed_ ? ControlChart::FixedLimitsNote(*fixed_, locale_)
                   : QStringLiteral("Среднее %1, σ = %2 (средний скользящий размах %3 / %4).")
                         .arg(number(limits.Mean), number(limits.Sigma),
                              number(limits.MeanMovingRange), number(ControlChart::D2));
        note = QStringLiteral("Точек: %1. %2 Границы ±2σ: %3 … %4, ±3σ: %5 … %6. ")
                   .arg(QString::number(data_.Points.size() - size_t(data_.ExcludedCount)), source,
                        number(limits.Lower2), number(limits.Upper2), number(limits.Lower3),
                        number(limits.Upper3)) +
               QStringLiteral("За ±3σ: %1, предупреждений: %2.")
                   .arg(data_.OutOfControl)
                   .arg(data_.Warnings);
    }
    if (data_.ExcludedCount > 0)
        note += QStringLiteral(" Недействительных точек: %1, в границы и правила не входят.")
                    .arg(data_.ExcludedCount);
    if (ruleLinesLeftOut_ > 0)
        note += QStringLiteral(" В списке нарушений последние %1, ранних не показано: %2.")
                    .arg(kMaxRuleLines)
                    .arg(ruleLinesLeftOut_);
    return note;
}
