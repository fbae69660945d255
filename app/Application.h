#pragma once

#include "controls/GenericError.h"

#include <QApplication>

// Catches what an event handler let escape, shows it in the generic error box
// and keeps the program running.
class TApplication : public QApplication {
    Q_OBJECT
public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};
