#pragma once

#include "qc/ControlChart.h"

#include <QLocale>
#include <QWidget>

#include <optional>

class QComboBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QPushButton;

// "Границы": where the chart's limits come from — the shown points, a base
// period or nominal ± tolerance — with the fields of the chosen way and
// "Сохранить" / "Сбросить". Only reads and shows; the chart window stores.
class TChartLimitsPanel : public QWidget {
    Q_OBJECT
public:
    explicit TChartLimitsPanel(const QLocale& locale, QWidget* parent = nullptr);

    QComboBox* ModeList = nullptr; // in TLimitsKind order
    QDateEdit* FromEdit = nullptr;
    QDateEdit* ToEdit = nullptr;
    QLineEdit* NominalEdit = nullptr;
    QLineEdit* ToleranceEdit = nullptr;
    QPushButton* SaveButton = nullptr;
    QPushButton* ResetButton = nullptr;
    QLabel* StatusLabel = nullptr;

    TLimitsKind Mode() const;
    void SetMode(TLimitsKind kind);
    // The chosen days as local ms: the whole of the last day counts.
    qint64 FromMs() const;
    qint64 ToMs() const;
    // Number fields with either decimal separator; nullopt when unreadable.
    std::optional<double> Nominal() const;
    std::optional<double> Tolerance() const;

    // The stored limits in the fields (none: "по точкам графика").
    void Show(const std::optional<TFixedLimits>& fixed);
    // Fixed limits can be stored only with an archive and one sample; why
    // not otherwise.
    void SetAvailable(bool available, const QString& why);

signals:
    void saveRequested();
    void resetRequested();

private:
    void UpdateFields();

    QLocale locale_;
    QWidget* baseFields_ = nullptr;
    QWidget* nominalFields_ = nullptr;
    bool available_ = false;
};
