#pragma once

#include <QList>
#include <QToolBar>

class QAction;
class QLabel;
class QMenu;
class QToolButton;
class TNumberEdit;

// The window's tool bar: the commands, the device-number field and the poll
// button with its port menu, laid out as the operator's manual shows them.
class TRegisterToolBar : public QToolBar {
    Q_OBJECT
public:
    TRegisterToolBar(const QList<QAction*>& commands, QAction* poll, QMenu* portMenu,
                     QWidget* parent);

    QLabel* NumberLabel = nullptr; // says what the bare number is
    TNumberEdit* NumberEdit = nullptr;
    QToolButton* PollButton = nullptr;

    // While polling the number is fixed and the button stops.
    void ShowPolling(bool on);
    // A number still being typed becomes the field's value.
    void CommitNumber();

private:
    void AddGap(int width);

    QAction* Poll_ = nullptr;
};
