#include "app/Application.h"
#include "app/ArchiveCommand.h"
#include "app/Profile.h"
#include "app/SingleInstance.h"
#include "config/ConfigFile.h"
#include "register/Unit1.h"
#include "resources/ProgramVersion.h"

#include <QDir>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QTimer>
#include <QTranslator>

#include <cstdio>
#include <cstring>
#include <optional>

namespace {

const QString kCaption = QStringLiteral("Savro-2.Регистрация измерений");
// Long enough for a busy running copy, short enough for an operator waiting
// on a hung one.
constexpr int kAskTimeoutMs = 3000;

QString HelpText() {
    return QStringLiteral("Savro-2. Регистрация измерений анализатора напитков.\n"
                          "\n"
                          "  Savro2 [--settings ПУТЬ]   окно программы\n"
                          "\n"
                          "Параметры:\n"
                          "  --settings ПУТЬ   настройки: папка (в ней Savro2.Ini) или файл INI;\n"
                          "                    папка и файл создаются, если их нет\n"
                          "  --version         напечатать версию и выйти\n"
                          "  -h, --help        напечатать эту справку и выйти\n"
                          "\n"
                          "Архив измерений из командной строки, без окна:\n") +
           TArchiveCommand::Usage() +
           QStringLiteral("\n\n"
                          "Коды завершения:\n"
                          "  0   выполнено; --verify: архив и сервер совпадают\n"
                          "  1   файл не принят или не записан; программа с этими настройками\n"
                          "      уже запущена; --verify: найдены расхождения, недостающее\n"
                          "      отправлено на сервер снова\n"
                          "  2   неверные параметры; --verify: сервер лаборатории не указан\n"
                          "  3   --verify: сервер лаборатории недоступен или отказал\n"
                          "  4   --verify: архив этого компьютера не читается\n");
}

void PrintError(const QString& text) {
    std::fprintf(stderr, "Savro2: %s\n", text.toLocal8Bit().constData());
}

void BringForward(QWidget& window) {
    window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
    window.show();
    window.raise();
    window.activateWindow();
}

// A later copy on settings in use: the running copy comes forward instead.
int TellRunning(const TSingleInstance& instance, const QString& iniPath) {
    QString text = QStringLiteral("Регистратор уже запущен с этими настройками:\n%1\n")
                       .arg(QDir::toNativeSeparators(iniPath));
    if (const std::optional<QString> fileName = instance.AskRunning(kAskTimeoutMs))
        text += QStringLiteral("Файл результатов: %1\n\nОкно запущенной копии выведено на "
                               "передний план.")
                    .arg(QDir::toNativeSeparators(*fileName));
    else
        text += QStringLiteral("\nЗапущенная копия не отвечает: она ещё запускается или "
                               "зависла. Дождитесь её окна или закройте её.");
    PrintError(text);
    QMessageBox::information(nullptr, kCaption, text);
    return 1;
}

} // namespace

int main(int argc, char* argv[]) {
    // Answered before the application exists, so they need no display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::fputs(QStringLiteral("Savro2 %1\n").arg(ProgramVersion()).toUtf8().constData(),
                       stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(HelpText().toUtf8().constData(), stdout);
            return 0;
        }
    }

    // The per-user settings folder is named after the program, not after
    // whatever name it was started by.
    QCoreApplication::setApplicationName(QStringLiteral("Savro2"));
    QCoreApplication::setApplicationVersion(ProgramVersion());

    // Bad use of --settings is told on the terminal, without a window.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    std::optional<TProfile> profile;
    try {
        if (const std::optional<QString> settings = TProfile::SettingsOption(arguments))
            profile = TProfile::ForSettings(*settings);
    } catch (const EProfileError& e) {
        std::fprintf(stderr, "Savro2: %s\n", e.what());
        return 2;
    }

    // Import, export and verify run in a terminal or a script: no display needed.
    if (TArchiveCommand::Wanted(arguments)) {
        TArchiveCommand::HoldTimeZone();
        QCoreApplication app(argc, argv);
        try {
            if (!profile)
                profile = TProfile::Default(ConfigPath());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "Savro2: %s\n", e.what());
            return TArchiveCommand::ExitFailed;
        }
        return TArchiveCommand(arguments, *profile).Run();
    }

    TApplication app(argc, argv);
    // The whole interface is Russian, so Qt's own buttons read "Да"/"Нет" too.
    QTranslator qtTexts;
    if (qtTexts.load(QStringLiteral("qtbase_ru"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        app.installTranslator(&qtTexts);
    if (!profile)
        profile = TProfile::Default(ConfigPath());

    // Held until the window is gone: it writes Savro2.Ini as it closes.
    TSingleInstance instance(profile->IniPath());
    switch (instance.Acquire()) {
    case TSingleInstance::TState::First:
        break;
    case TSingleInstance::TState::Running:
        return TellRunning(instance, profile->IniPath());
    case TSingleInstance::TState::Unavailable:
        // As before this guard existed: the window says what fails to be written.
        PrintError(
            QStringLiteral("второй запуск с этими настройками не будет замечен: %1 (%2)")
                .arg(instance.LockProblem(),
                     QDir::toNativeSeparators(TSingleInstance::LockPathFor(profile->IniPath()))));
        break;
    }

    TForm1 form(nullptr, profile->IniPath(), profile->DataFolder());
    form.NameAnalyserInTitle(profile->SeveralInUse());
    form.show();
    if (instance.IsLocked() && !instance.Listen([&form] { BringForward(form); },
                                                [&form] { return form.CurrentFileName(); }))
        PrintError(QStringLiteral("второй запуск с этими настройками не сможет вызвать это окно"));
    // Package checks start the installed program once: it closes as soon as
    // it is up, as if the operator had closed it.
    if (qEnvironmentVariableIsSet("SAVRO2_QUIT_AFTER_START"))
        QTimer::singleShot(0, &form, &QWidget::close);
    return app.exec();
}
