#include "chart/ChartLimitsPanel.h"

#include "controls/DateField.h"
#include "measurement/ValueText.h"

#include <QComboBox>
#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>

namespace {

std::optional<double> Number(const QLineEdit* edit) {
    return TValueText::Parse(edit->text());
}

} // namespace

TChartLimitsPanel::TChartLimitsPanel(const QLocale& locale, QWidget* parent)
    : QWidget(parent), locale_(locale) {
    setObjectName(QStringLiteral("LimitsPanel"));
    ModeList = new QComboBox(this);
    ModeList->setObjectName(QStringLiteral("LimitsMode"));
    ModeList->addItems({QStringLiteral("по точкам графика"), QStringLiteral("по базовому периоду"),
                        QStringLiteral("номинал ± допуск")});
    baseFields_ = new QWidget(this);
    FromEdit = new TDateField(QDate::currentDate().addMonths(-1), locale_, baseFields_);
    ToEdit = new TDateField(QDate::currentDate(), locale_, baseFields_);
    auto* base = new QHBoxLayout(baseFields_);
    base->setContentsMargins(0, 0, 0, 0);
    base->addWidget(new QLabel(QStringLiteral("с"), baseFields_));
    base->addWidget(FromEdit);
    base->addWidget(new QLabel(QStringLiteral("по"), baseFields_));
    base->addWidget(ToEdit);
    nominalFields_ = new QWidget(this);
    NominalEdit = new QLineEdit(nominalFields_);
    ToleranceEdit = new QLineEdit(nominalFields_);
    for (QLineEdit* edit : {NominalEdit, ToleranceEdit})
        edit->setMaximumWidth(90);
    auto* nominal = new QHBoxLayout(nominalFields_);
    nominal->setContentsMargins(0, 0, 0, 0);
    nominal->addWidget(new QLabel(QStringLiteral("номинал"), nominalFields_));
    nominal->addWidget(NominalEdit);
    nominal->addWidget(new QLabel(QStringLiteral("± допуск (= ±3σ)"), nominalFields_));
    nominal->addWidget(ToleranceEdit);
    SaveButton = new QPushButton(QStringLiteral("Сохранить"), this);
    SaveButton->setObjectName(QStringLiteral("SaveLimitsButton"));
    ResetButton = new QPushButton(QStringLiteral("Сбросить"), this);
    ResetButton->setObjectName(QStringLiteral("ResetLimitsButton"));
    StatusLabel = new QLabel(this);
    StatusLabel->setObjectName(QStringLiteral("LimitsStatus"));

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new QLabel(QStringLiteral("Границы:"), this));
    layout->addWidget(ModeList);
    layout->addWidget(baseFields_);
    layout->addWidget(nominalFields_);
    layout->addWidget(SaveButton);
    layout->addWidget(ResetButton);
    layout->addWidget(StatusLabel, 1);

    connect(ModeList, &QComboBox::currentIndexChanged, this, [this] { UpdateFields(); });
    connect(SaveButton, &QPushButton::clicked, this, &TChartLimitsPanel::saveRequested);
    connect(ResetButton, &QPushButton::clicked, this, &TChartLimitsPanel::resetRequested);
    UpdateFields();
}

TLimitsKind TChartLimitsPanel::Mode() const {
    return TLimitsKind(std::max(ModeList->currentIndex(), 0));
}

void TChartLimitsPanel::SetMode(TLimitsKind kind) {
    ModeList->setCurrentIndex(int(kind));
}

qint64 TChartLimitsPanel::FromMs() const {
    return FromEdit->date().startOfDay().toMSecsSinceEpoch();
}

qint64 TChartLimitsPanel::ToMs() const {
    return ToEdit->date().addDays(1).startOfDay().toMSecsSinceEpoch() - 1;
}

std::optional<double> TChartLimitsPanel::Nominal() const {
    return Number(NominalEdit);
}

std::optional<double> TChartLimitsPanel::Tolerance() const {
    return Number(ToleranceEdit);
}

void TChartLimitsPanel::Show(const std::optional<TFixedLimits>& fixed) {
    SetMode(fixed ? fixed->Kind : TLimitsKind::Points);
    if (!fixed)
        return;
    if (fixed->Kind == TLimitsKind::BasePeriod) {
        FromEdit->setDate(QDateTime::fromMSecsSinceEpoch(fixed->BaseFromMs).date());
        ToEdit->setDate(QDateTime::fromMSecsSinceEpoch(fixed->BaseToMs).date());
    } else {
        NominalEdit->setText(TValueText::Shortest(fixed->Nominal, TValueText::Separator(locale_)));
        ToleranceEdit->setText(
            TValueText::Shortest(fixed->Tolerance, TValueText::Separator(locale_)));
    }
}

void TChartLimitsPanel::SetAvailable(bool available, const QString& why) {
    available_ = available;
    StatusLabel->setText(why);
    UpdateFields();
}

void TChartLimitsPanel::UpdateFields() {
    const TLimitsKind kind = Mode();
    baseFields_->setVisible(kind == TLimitsKind::BasePeriod);
    nominalFields_->setVisible(kind == TLimitsKind::Nominal);
    for (QWidget* w : {static_cast<QWidget*>(ModeList), baseFields_, nominalFields_,
                       static_cast<QWidget*>(SaveButton), static_cast<QWidget*>(ResetButton)})
        w->setEnabled(available_);
}
