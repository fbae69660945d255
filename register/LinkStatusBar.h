#pragma once

#include <QStatusBar>

class QLabel;
class TLinkStatus;

// The line under the table: port, device number, the coloured link state,
// the last measurement and the next request. Shows a TLinkStatus; labels are
// touched only when it changed.
class TLinkStatusBar : public QStatusBar {
    Q_OBJECT
public:
    explicit TLinkStatusBar(QWidget* parent = nullptr);

    void Show(const TLinkStatus& link);
    // A measurement is neither on disk nor acknowledged to the analyser.
    void ShowHeld(bool held);

    QLabel* PortLabel = nullptr;
    QLabel* DeviceLabel = nullptr;
    QLabel* StateLabel = nullptr;
    QLabel* LastLabel = nullptr;
    QLabel* NextLabel = nullptr;
    QLabel* HeldLabel = nullptr;

private:
    quint64 shown_ = 0;
};
