#include "register/ChartWindow.h"

#include "config/Cp1251.h"
#include "register/ResultsTable.h"
#include "resources/MyConsts.h"

#include <QComboBox>
#include <QCursor>
#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPdfWriter>
#include <QPushButton>
#include <QSaveFile>
#include <QStringListModel>
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
#include <stdexcept>

namespace {

const QColor kPointColour(0x1f, 0x5f, 0xb4);
const QColor kWarningColour(0xf0, 0xa0, 0x00);
const QColor kControlColour(0xd0, 0x10, 0x10);
const QColor kCentreColour(0x20, 0x90, 0x30);

const QString kPngFilter = QStringLiteral("Рисунок PNG (*.png)");
const QString kPdfFilter = QStringLiteral("Документ PDF (*.pdf)");

// The size of an exported picture when the window is smaller.
const QSize kExportSize(1200, 800);

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
    resize(960, 620);

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

    auto* controls = new QHBoxLayout;
    controls->addWidget(new QLabel(QStringLiteral("Показатель:"), this));
    controls->addWidget(IndicatorList);
    controls->addSpacing(12);
    controls->addWidget(new QLabel(QStringLiteral("Проба:"), this));
    controls->addWidget(SampleList);
    controls->addStretch(1);
    controls->addWidget(ExportButton);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(controls);
    layout->addWidget(ChartView, 1);
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
    connect(IndicatorList, &QComboBox::currentIndexChanged, this, [this] { Rebuild(); });
    connect(SampleList, &QComboBox::currentIndexChanged, this, [this] { Rebuild(); });
    connect(ExportButton, &QPushButton::clicked, this, [this] { ExportExecute(); });
    for (QScatterSeries* series : {InControlSeries, WarningSeries, OutOfControlSeries})
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
    data_ = table_ ? ControlChart::Build(*table_, Column(), Sample(), locale_) : TChartData();
    const TChartLimits& limits = data_.Limits;

    QList<QPointF> trend, normal, warning, control;
    trend.reserve(qsizetype(data_.Points.size()));
    inControlRows_.clear();
    warningRows_.clear();
    outOfControlRows_.clear();
    qint64 tMin = 0, tMax = 0;
    double vMin = 0, vMax = 0;
    for (size_t i = 0; i < data_.Points.size(); ++i) {
        const TChartPoint& p = data_.Points[i];
        const QPointF point(qreal(p.When), p.Value);
        trend << point;
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
        tMin = i == 0 ? p.When : std::min(tMin, p.When);
        tMax = i == 0 ? p.When : std::max(tMax, p.When);
        vMin = i == 0 ? p.Value : std::min(vMin, p.Value);
        vMax = i == 0 ? p.Value : std::max(vMax, p.Value);
    }
    TrendSeries->replace(trend);
    InControlSeries->replace(normal);
    WarningSeries->replace(warning);
    OutOfControlSeries->replace(control);

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
    timeAxis_->setRange(QDateTime::fromMSecsSinceEpoch(tMin), QDateTime::fromMSecsSinceEpoch(tMax));
    const bool severalDays = tMax - tMin > 24LL * 3600 * 1000;
    timeAxis_->setFormat(severalDays
                             ? locale_.dateFormat(QLocale::ShortFormat)
                             : locale_.dateFormat(QLocale::ShortFormat) + QStringLiteral(" HH:mm"));

    const QString sample = Sample().isEmpty() ? AllSamples() : Sample();
    chart_->setTitle(IndicatorTitle() + QStringLiteral(" — ") + sample);
    valueAxis_->setTitleText(IndicatorTitle());

    QString note = ControlChart::LimitsNote(data_);
    if (note.isEmpty()) {
        const auto number = [this](double v) { return locale_.toString(v, 'f', 3); };
        note =
            QStringLiteral("Точек: %1. Среднее %2, σ = %3 (средний скользящий размах %4 / 1,128). "
                           "Границы ±2σ: %5 … %6, ±3σ: %7 … %8. За ±3σ: %9, 2 из 3 за ±2σ: %10.")
                .arg(data_.Points.size())
                .arg(number(limits.Mean), number(limits.Sigma), number(limits.MeanMovingRange),
                     number(limits.Lower2), number(limits.Upper2), number(limits.Lower3),
                     number(limits.Upper3))
                .arg(data_.OutOfControl)
                .arg(data_.Warnings);
    }
    NoteLabel->setText(note);
}

QString TChartWindow::PointToolTip(int row) const {
    if (!table_ || row < 1 || row >= table_->RowCount())
        return {};
    const auto cell = [this, row](int col) { return Cp1251::decode(table_->CellView(col, row)); };
    QString name = cell(1).trimmed();
    if (name.isEmpty())
        name = QStringLiteral("(без названия)");
    return QStringLiteral("Проба № %1: %2\n%3 %4\n%5: %6")
        .arg(cell(0), name, cell(2), cell(3), IndicatorTitle(), cell(Column()));
}

QString TChartWindow::ToolTipFor(const QScatterSeries* series, const QPointF& point) const {
    const std::vector<int>* rows = series == InControlSeries      ? &inControlRows_
                                   : series == WarningSeries      ? &warningRows_
                                   : series == OutOfControlSeries ? &outOfControlRows_
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
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        throw std::runtime_error(
            (failed + QStringLiteral(": ") + file.errorString()).toStdString());
    const bool pdf =
        QFileInfo(fileName).suffix().compare(QLatin1String("pdf"), Qt::CaseInsensitive) == 0;
    // A hidden or small window is drawn at a readable size.
    const QSize size = ChartView->isVisible() ? ChartView->size() : kExportSize;
    if (!ChartView->isVisible())
        ChartView->resize(size);
    // The chart above, the figures of the note under it.
    const auto drawSheet = [&](QPainter& painter, const QRect& area) {
        const int noteHeight = painter.fontMetrics().lineSpacing() * 3;
        const QRect chartArea(area.topLeft(), QSize(area.width(), area.height() - noteHeight));
        ChartView->render(&painter, chartArea, QRect(QPoint(0, 0), size), Qt::KeepAspectRatio);
        const QRect noteArea(area.left(), chartArea.bottom() + 1, area.width(), noteHeight);
        painter.drawText(noteArea.adjusted(noteHeight / 6, 0, -noteHeight / 6, 0),
                         Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, NoteLabel->text());
    };
    bool written = false;
    if (pdf) {
        QPdfWriter writer(&file);
        writer.setTitle(chart_->title());
        writer.setCreator(QStringLiteral("Savro-2"));
        writer.setPageSize(QPageSize(QPageSize::A4));
        writer.setPageOrientation(QPageLayout::Landscape);
        writer.setResolution(150);
        QPainter painter;
        if (painter.begin(&writer)) {
            painter.setFont(font());
            drawSheet(painter, painter.viewport());
            written = painter.end();
        }
    } else {
        QImage image(size.width(), size.height() + fontMetrics().lineSpacing() * 3,
                     QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::white);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setFont(font());
        drawSheet(painter, image.rect());
        painter.end();
        written = image.save(&file, "PNG");
    }
    if (!written || !file.commit())
        throw std::runtime_error(
            (failed + QStringLiteral(": ") + file.errorString()).toStdString());
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
