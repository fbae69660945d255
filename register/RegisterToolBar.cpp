#include "register/RegisterToolBar.h"

#include "controls/numedit.h"
#include "resources/MyConsts.h"

#include <QLabel>
#include <QMenu>
#include <QToolButton>

TRegisterToolBar::TRegisterToolBar(const QList<QAction*>& commands, QAction* poll,
                                   QMenu* portMenu, QWidget* parent)
    : QToolBar(QStringLiteral("ToolBar1"), parent), Poll_(poll) {
    setObjectName(QStringLiteral("ToolBar1"));
    setMovable(false);
    setFloatable(false);
    setIconSize(QSize(24, 24));
    setFixedHeight(41);
    setContextMenuPolicy(Qt::PreventContextMenu);
    addActions(commands);
    AddGap(21);
    NumberLabel = new QLabel(QStringLiteral("Прибор №"), this);
    NumberLabel->setContentsMargins(0, 0, 4, 0);
    addWidget(NumberLabel);
    NumberEdit = new TNumberEdit(this);
    NumberEdit->setObjectName(QStringLiteral("NumberEdit1"));
    NumberEdit->SetEntryRequired(TNumberEditType::wordvalue);
    NumberEdit->SetDisplayFormat(QStringLiteral("0;-0"));
    QFont numberFont = NumberEdit->font();
    numberFont.setBold(true);
    numberFont.setPixelSize(16);
    NumberEdit->setFont(numberFont);
    NumberEdit->setFixedSize(77, 31);
    addWidget(NumberEdit);
    NumberLabel->setBuddy(NumberEdit);
    AddGap(19);
    PollButton = new QToolButton(this);
    PollButton->setObjectName(QStringLiteral("ToolButton7"));
    PollButton->setDefaultAction(poll);
    PollButton->setMenu(portMenu);
    PollButton->setPopupMode(QToolButton::MenuButtonPopup);
    PollButton->setIconSize(QSize(24, 24));
    addWidget(PollButton);
}

void TRegisterToolBar::ShowPolling(bool on) {
    NumberEdit->setEnabled(!on);
    Poll_->setIcon(QIcon(on ? QStringLiteral(":/images/stop.svg")
                            : QStringLiteral(":/images/start.svg")));
    Poll_->setToolTip(on ? MyConsts::sStopPolling : MyConsts::sStartPolling);
}

void TRegisterToolBar::CommitNumber() {
    if (!NumberEdit->isModified())
        return;
    NumberEdit->TextToValue();
    NumberEdit->ValueToText();
}

void TRegisterToolBar::AddGap(int width) {
    auto* gap = new QWidget(this);
    gap->setFixedWidth(width);
    addWidget(gap);
}
