#pragma once

#include <QMessageBox>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class TForm1;

// A main window in a fresh folder of its own (made current, so "Новый.txt"
// lands there), with every prompt and box answered by the test: prompts
// record themselves and take Answer, error boxes are recorded, file dialogs
// count as cancelled unless the test answers them. The user's data folder is
// replaced by one in the harness's folder. Forms made here must go
// before the harness does.
class TFormHarness {
public:
    TFormHarness();
    ~TFormHarness();
    TFormHarness(const TFormHarness&) = delete;
    TFormHarness& operator=(const TFormHarness&) = delete;

    bool IsValid() const { return dir_.isValid(); }
    QString Path(const QString& name) const { return dir_.filePath(name); }
    QString IniPath() const { return Path(QStringLiteral("Savro2.Ini")); }
    // XDG_DATA_HOME while the harness lives (the recovery copies go below it).
    QString DataPath() const { return Path(QStringLiteral("data")); }

    std::unique_ptr<TForm1> MakeForm();
    void Hook(TForm1& form);

    QStringList Errors; // "caption|text"
    QStringList Asked;  // "save" (New, Open), "close", "restore" or "utf-8"
    QStringList RestoreTexts;
    QMessageBox::StandardButton Answer = QMessageBox::No;
    QMessageBox::StandardButton RestoreAnswer = QMessageBox::Yes;
    QMessageBox::StandardButton Utf8Answer = QMessageBox::Yes;

private:
    QTemporaryDir dir_;
};
