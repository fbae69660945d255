#pragma once

#include <QApplication>

#include <exception>

class QWidget;

// The application's title as the generic error box shows it: the program's
// file name without folder and extension, every letter after the first in
// lower case.
QString ApplicationTitle();

// The generic error box's text: the message, with a full stop added when its
// last character sorts after "." in code page 1251 (letters and digits do).
QString GenericErrorText(const QString& message);

// Shows an error that ended a command: modal, error icon, OK button.
void ShowGenericError(QWidget* parent, const QString& message);

// The message of an exception as the operator should read it.
QString ExceptionMessage(const std::exception& e);

// Catches what an event handler let escape, shows it in the generic error box
// and keeps the program running.
class TApplication : public QApplication {
    Q_OBJECT
public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};
