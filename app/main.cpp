#include "app/Application.h"
#include "register/Unit1.h"
#include "resources/ProgramVersion.h"

#include <QLibraryInfo>
#include <QTimer>
#include <QTranslator>

#include <cstdio>
#include <cstring>

int main(int argc, char* argv[]) {
    // The one option; the rest of the command line stays unread. Answered
    // before the application exists, so it needs no display.
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("Savro2 %s\n", ProgramVersion().toUtf8().constData());
            return 0;
        }

    // The per-user settings folder is named after the program, not after
    // whatever name it was started by.
    QCoreApplication::setApplicationName(QStringLiteral("Savro2"));
    QCoreApplication::setApplicationVersion(ProgramVersion());
    TApplication app(argc, argv);
    // The whole interface is Russian, so Qt's own buttons read "Да"/"Нет" too.
    QTranslator qtTexts;
    if (qtTexts.load(QStringLiteral("qtbase_ru"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        app.installTranslator(&qtTexts);
    TForm1 form;
    form.show();
    // Package checks start the installed program once: it closes as soon as
    // it is up, as if the operator had closed it.
    if (qEnvironmentVariableIsSet("SAVRO2_QUIT_AFTER_START"))
        QTimer::singleShot(0, &form, &QWidget::close);
    return app.exec();
}
