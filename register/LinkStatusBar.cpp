#include "register/LinkStatusBar.h"

#include "controls/ElidedLabel.h"
#include "link/LabStatusView.h"
#include "link/LinkStatus.h"

#include <QLabel>

namespace {

QString StyleOf(TLinkColour colour) {
    switch (colour) {
    case TLinkColour::Green:
        return QStringLiteral("QLabel { background: #2e7d32; color: white; padding: 0 6px; }");
    case TLinkColour::Amber:
        return QStringLiteral("QLabel { background: #f2a900; color: black; padding: 0 6px; }");
    case TLinkColour::Red:
        return QStringLiteral("QLabel { background: #c62828; color: white; padding: 0 6px; }");
    case TLinkColour::Plain:
        break;
    }
    return QStringLiteral("QLabel { padding: 0 6px; }");
}

} // namespace

TLinkStatusBar::TLinkStatusBar(QWidget* parent) : QStatusBar(parent) {
    setObjectName(QStringLiteral("StatusBar1"));
    setSizeGripEnabled(false);
    // Port, device, state and the last measurement keep their full width;
    // the notice, the next request and the lab server's line give way (their
    // tooltips keep the whole text) rather than widening the window.
    auto label = [this](QLabel*& target, const char* name, bool shrinks, int stretch) {
        target = shrinks ? new TElidedLabel(this) : new QLabel(this);
        target->setObjectName(QLatin1String(name));
        target->setContentsMargins(4, 0, 4, 0);
        addWidget(target, stretch);
    };
    label(PortLabel, "PortLabel", false, 0);
    label(DeviceLabel, "DeviceLabel", false, 0);
    label(StateLabel, "StateLabel", false, 0);
    label(LastLabel, "LastLabel", false, 0);
    label(NextLabel, "NextLabel", true, 0);
    // Beside the link's labels, never over them as a temporary message
    // would be drawn.
    label(NoticeLabel, "NoticeLabel", true, 1);
    NoticeTimer_.setSingleShot(true);
    connect(&NoticeTimer_, &QTimer::timeout, this, [this] {
        NoticeLabel->clear();
    });
    LabLabel = new TElidedLabel(this);
    LabLabel->setObjectName(QStringLiteral("LabLabel"));
    LabLabel->hide();
    addPermanentWidget(LabLabel);
    HeldLabel = new QLabel(this);
    HeldLabel->setStyleSheet(QStringLiteral("color: white; background: #c62828; padding: 0 4px;"));
    HeldLabel->hide();
    addPermanentWidget(HeldLabel);
}

void TLinkStatusBar::ShowHeld(bool held, bool forArchive) {
    HeldLabel->setText(forArchive
                           ? QStringLiteral("Измерение не записано в архив и не подтверждено прибору")
                           : QStringLiteral("Измерение не записано на диск и не подтверждено прибору"));
    HeldLabel->setVisible(held);
}

void TLinkStatusBar::ShowNotice(const QString& text, int milliseconds) {
    NoticeLabel->setText(text);
    NoticeTimer_.start(milliseconds);
}

void TLinkStatusBar::Show(const TLinkStatus& link) {
    if (link.Revision() == shown_)
        return;
    shown_ = link.Revision();
    PortLabel->setText(link.PortText());
    DeviceLabel->setText(link.DeviceText());
    StateLabel->setText(link.StateText());
    StateLabel->setStyleSheet(StyleOf(link.Colour()));
    StateLabel->setProperty("linkColour", static_cast<int>(link.Colour()));
    LastLabel->setText(link.LastMeasurementText());
    NextLabel->setText(link.NextRequestText());
}

void TLinkStatusBar::ShowLab(const TLabStatusView& view) {
    LabLabel->setVisible(view.Visible);
    LabLabel->setText(view.Text);
    LabLabel->setToolTip(view.ToolTip);
    LabLabel->setStyleSheet(StyleOf(view.Colour));
    LabLabel->setProperty("linkColour", static_cast<int>(view.Colour));
}
