#include "support/TestFiles.h"
#include "analyser/OpSavro.h"
#include "config/iniplus.h"
#include "controls/numedit.h"
#include "register/Unit1.h"
#include "support/FormHarness.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace {

const QByteArray kIni = "[Config]\r\nCOM=COM1\r\nFileName=a.txt\r\nDeviceNumber=5\r\n";

} // namespace

// Writing Savro2.Ini: in place, and one value it cannot hold costs no other key.
class TstConfigWrite : public QObject {
    Q_OBJECT

private slots:
    void writesTheFileItself_data() {
        QTest::addColumn<QString>("setting");
        QTest::newRow("a hard link sees the new value") << "link";
        QTest::newRow("a folder the user may not write") << "read-only folder";
    }
    void writesTheFileItself() {
        QFETCH(QString, setting);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString folder = dir.filePath("conf");
        QVERIFY(QDir().mkdir(folder));
        const QString ini = folder + "/Savro2.Ini";
        QVERIFY(WriteAll(ini, kIni));
        struct stat before {};
        QCOMPARE(::stat(QFile::encodeName(ini).constData(), &before), 0);
        const QString link = dir.filePath("link.ini");
        if (setting == "link") {
            QCOMPARE(::link(QFile::encodeName(ini).constData(), QFile::encodeName(link).constData()), 0);
        } else {
            if (::geteuid() == 0)
                QSKIP("root writes any folder");
            QVERIFY(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        }
        {
            TIniPlus writer(ini);
            writer.WriteText("Config", "COM", "ttyUSB0");
            writer.WriteNumber("Config", "DeviceNumber", 12);
            writer.WriteText("View", "5", "0");
        }
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        const QByteArray expected = "[Config]\r\nCOM=ttyUSB0\r\nFileName=a.txt\r\nDeviceNumber=12\r\n"
                                    "\r\n[View]\r\n5=0\r\n";
        QCOMPARE(ReadAll(ini), expected);
        struct stat after {};
        QCOMPARE(::stat(QFile::encodeName(ini).constData(), &after), 0);
        QCOMPARE(after.st_ino, before.st_ino);
        if (setting == "link")
            QCOMPARE(ReadAll(link), expected);
        // A shorter value leaves no tail of the longer one behind.
        TIniPlus(ini).WriteText("Config", "COM", "C");
        QVERIFY(ReadAll(ini).startsWith("[Config]\r\nCOM=C\r\nFileName=a.txt\r\n"));
        QVERIFY(ReadAll(ini).endsWith("5=0\r\n"));
    }

    void valuesTheFileCannotHold_data() {
        QTest::addColumn<QString>("value");
        QTest::newRow("outside code page 1251") << QStringLiteral("/data/Résumé/x.txt");
        QTest::newRow("a line break") << QStringLiteral("a\r\n[View]");
    }
    void valuesTheFileCannotHold() {
        QFETCH(QString, value);
        QTemporaryDir dir;
        const QString ini = dir.filePath("Savro2.Ini");
        QVERIFY(WriteAll(ini, kIni));
        TIniPlus writer(ini);
        QVERIFY_THROWS_EXCEPTION(EIniValueError, writer.WriteText("Config", "FileName", value));
        QCOMPARE(ReadAll(ini), kIni);
        // The next key is written all the same.
        writer.WriteNumber("Config", "DeviceNumber", 7);
        QCOMPARE(writer.ReadNumber("Config", "DeviceNumber", 0), 7);
    }

    // A results file in a folder named with accents: the close goes on, every
    // other key is written, FileName keeps its old value, the operator is told once.
    void closeKeepsTheOtherKeys() {
        TFormHarness h;
        QVERIFY(h.IsValid());
        const QString folder = h.Path(QStringLiteral("Résumé"));
        QVERIFY(QDir().mkdir(folder));
        {
            auto form = h.MakeForm();
            form->OpenDialog1 = [&](const QString&) { return folder + "/day.txt"; };
            form->actOpenFile->trigger();
            QCOMPARE(form->CurrentFileName(), folder + "/day.txt");
            form->OpSavro1->Port = "ttyUSB4";
            form->NumberEdit1->SetValue(41);
            form->mnView->actions()[0]->trigger(); // hide column 5
            QVERIFY(form->close());
        }
        QCOMPARE(h.Errors.size(), 1);
        QVERIFY2(h.Errors[0].startsWith(QStringLiteral("Ошибка|Настройка FileName не сохранена")),
                 qPrintable(h.Errors[0]));
        const TIniPlus ini(h.IniPath());
        QCOMPARE(ini.ReadText("Config", "FileName", ""), QStringLiteral("Новый.txt"));
        QCOMPARE(ini.ReadText("Config", "COM", ""), QStringLiteral("ttyUSB4"));
        QCOMPARE(ini.ReadNumber("Config", "DeviceNumber", 0), 41);
        QCOMPARE(ini.ReadText("View", "5", ""), QStringLiteral("0"));
    }
};

QTEST_MAIN(TstConfigWrite)
#include "tst_configwrite.moc"
