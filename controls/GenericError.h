#pragma once

#include <QString>

#include <exception>

class QWidget;

// The generic error box: what the application shows for an error that ended
// a command. Here rather than with the application object, so every window
// can show it without reaching up to the program's start.

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
