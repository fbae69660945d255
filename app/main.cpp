#include "app/Application.h"
#include "register/Unit1.h"

#include <QLibraryInfo>
#include <QTranslator>

int main(int argc, char* argv[]) {
    TApplication app(argc, argv);
    // The whole interface is Russian, so Qt's own buttons read "Да"/"Нет" too.
    QTranslator qtTexts;
    if (qtTexts.load(QStringLiteral("qtbase_ru"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        app.installTranslator(&qtTexts);
    TForm1 form;
    form.show();
    return app.exec();
}
