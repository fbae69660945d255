#include "register/LinkStatusBar.h"

#include "register/LinkStatus.h"

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
    auto label = [this](QLabel*& target, const char* name, int stretch) {
        target = new QLabel(this);
        target->setObjectName(QLatin1String(name));
        addWidget(target, stretch);
    };
    label(PortLabel, "PortLabel", 0);
    label(DeviceLabel, "DeviceLabel", 0);
    label(StateLabel, "StateLabel", 0);
    label(LastLabel, "LastLabel", 0);
    label(NextLabel, "NextLabel", 1);
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
