#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>

class QPrinter;
class QWidget;
class TLinkLostBox;

// The dialogs and boxes the operator sees, as the main window's members;
// tests replace them with answers.
class TStandardDialogs {
public:
    std::function<QString(const QString& start)> OpenDialog1;
    std::function<QString(const QString& start)> SaveDialog1;
    std::function<QMessageBox::StandardButton()> AskSaveData;      // Yes / No / Cancel
    std::function<QMessageBox::StandardButton(const QString& text)> AskRestore; // Yes / No
    std::function<QMessageBox::StandardButton()> AskSaveOnClose;   // Yes / No / Cancel
    // Open while polling: Yes / No.
    std::function<QMessageBox::StandardButton(const QString& fileName)> AskOpenWhilePolling;
    // Open of a file that looks like UTF-8: Yes (as UTF-8) / No (as 1251) / Cancel.
    std::function<QMessageBox::StandardButton(const QString& fileName)> AskReadAsUtf8;
    std::function<void(const QString& caption, const QString& text)> ErrorBox;
    // Polling stopped on a port error: shown in lostBox (see InstallDialogs).
    std::function<void(const QString& caption, const QString& text)> StoppedBox;
    std::function<void()> ShowAbout;
    std::function<void()> PrintCommand;
    // Any port name or path; empty for Cancel.
    std::function<QString(const QString& current)> AskPortName;

    // Puts the ordinary dialogs in, shown over window (which outlives them):
    // the lost link in lostBox, the settings file configPath() in the about
    // box, print for printing on the default printer.
    void InstallDialogs(QWidget* window, TLinkLostBox& lostBox,
                        std::function<QString()> configPath, std::function<void()> print);
    // Shows the pages paint draws; the preview's own button prints them or
    // saves them as PDF.
    static void PrintPreview(QWidget* parent, const std::function<void(QPrinter&)>& paint);
};
