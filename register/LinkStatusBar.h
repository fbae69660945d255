#pragma once

#include <QStatusBar>
#include <QTimer>

class QLabel;
class TLinkStatus;
struct TLabStatusView;

// The line under the table: port, device number, the coloured link state,
// the last measurement, the next request and the lab server's upload. Shows
// a TLinkStatus; labels are touched only when it changed.
class TLinkStatusBar : public QStatusBar {
    Q_OBJECT
public:
    explicit TLinkStatusBar(QWidget* parent = nullptr);

    void Show(const TLinkStatus& link);
    // A measurement is neither on disk (or, forArchive, only not in the
    // archive) nor acknowledged to the analyser.
    void ShowHeld(bool held, bool forArchive = false);
    void ShowLab(const TLabStatusView& view);
    // A notice for a while, in a label of its own.
    void ShowNotice(const QString& text, int milliseconds);

    QLabel* PortLabel = nullptr;
    QLabel* DeviceLabel = nullptr;
    QLabel* StateLabel = nullptr;
    QLabel* LastLabel = nullptr;
    QLabel* NextLabel = nullptr;
    QLabel* HeldLabel = nullptr;
    QLabel* LabLabel = nullptr; // the lab server's upload
    QLabel* NoticeLabel = nullptr;

private:
    quint64 shown_ = 0;
    QTimer NoticeTimer_;
};
