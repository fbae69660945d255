#include "support/FormHarness.h"

#include "register/Unit1.h"

#include <QDir>
#include <QFile>

TFormHarness::TFormHarness() {
    if (dir_.isValid())
        QDir::setCurrent(dir_.path());
    // Recovery copies go to a data folder of this harness, never the user's.
    qputenv("XDG_DATA_HOME", QFile::encodeName(DataPath()));
}

TFormHarness::~TFormHarness() {
    // Leave the folder before it is removed.
    QDir::setCurrent(QDir::tempPath());
}

std::unique_ptr<TForm1> TFormHarness::MakeForm() {
    auto form = std::make_unique<TForm1>(nullptr, IniPath());
    Hook(*form);
    return form;
}

void TFormHarness::Hook(TForm1& form) {
    // No real dialog may open offscreen.
    form.OpenDialog1 = [](const QString&) { return QString(); };
    form.SaveDialog1 = [](const QString&) { return QString(); };
    form.AskSaveData = [this] {
        Asked << QStringLiteral("save");
        return Answer;
    };
    form.AskRestore = [this](const QString& text) {
        Asked << QStringLiteral("restore");
        RestoreTexts << text;
        return RestoreAnswer;
    };
    form.AskSaveOnClose = [this] {
        Asked << QStringLiteral("close");
        return Answer;
    };
    form.AskReadAsUtf8 = [this](const QString&) {
        Asked << QStringLiteral("utf-8");
        return Utf8Answer;
    };
    form.ErrorBox = form.StoppedBox = [this](const QString& caption, const QString& text) {
        Errors << caption + u'|' + text;
    };
}
