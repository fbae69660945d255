#include "support/BoxAnswerer.h"

#include <QAbstractButton>
#include <QApplication>

TBoxAnswerer::TBoxAnswerer(QMessageBox::StandardButton answer) : answer_(answer) {
    connect(&timer_, &QTimer::timeout, this, &TBoxAnswerer::Answer);
    timer_.start(10);
}

void TBoxAnswerer::Answer() {
    const auto widgets = QApplication::topLevelWidgets();
    for (QWidget* w : widgets) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (!box || !box->isVisible())
            continue;
        Captions << box->windowTitle();
        Texts << box->text();
        QAbstractButton* button = box->button(answer_);
        if (!button)
            button = box->buttons().value(0);
        if (button)
            button->click();
    }
}
