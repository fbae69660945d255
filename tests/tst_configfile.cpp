#include "config/ConfigFile.h"
#include "config/iniplus.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray readBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray defaultText() {
    return readBytes(QStringLiteral(":/Savro2.Ini.default"));
}

bool writeBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

} // namespace

class TstConfigFile : public QObject {
    Q_OBJECT
private slots:
    void init();
    void pathIsBesideProgram();
    void seedsMissingFile();
    void keepsExistingFile_data();
    void keepsExistingFile();
    void saveReplacesFile();
    void cannotCreate_data();
    void cannotCreate();
    void readOnlyFolder();
    void unknownResource();
    void freshDefaults();
    void emptyFileDefaults();
    void closeWritesBack();

private:
    QString path() const { return dir.filePath(QStringLiteral("Savro2.Ini")); }
    QTemporaryDir dir;
};

void TstConfigFile::init() {
    QVERIFY(dir.isValid());
    QFile::remove(path());
    QDir(path()).removeRecursively();
}

void TstConfigFile::pathIsBesideProgram() {
    const QString p = ConfigPath();
    QVERIFY(QFileInfo(p).isAbsolute());
    QCOMPARE(QFileInfo(p).fileName(), QStringLiteral("Savro2.Ini"));
    QCOMPARE(QFileInfo(p).absolutePath(), QCoreApplication::applicationDirPath());
}

void TstConfigFile::seedsMissingFile() {
    EnsureConfigFile(path());
    const QByteArray bytes = readBytes(path());
    QCOMPARE(bytes.size(), 740);
    QCOMPARE(bytes, defaultText());
    QVERIFY(bytes.startsWith("[Config]\r\nCOM=COM1\r\n"));
}

void TstConfigFile::keepsExistingFile_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("own settings") << QByteArray("[Config]\r\nCOM=COM7\r\n");
}

void TstConfigFile::keepsExistingFile() {
    QFETCH(QByteArray, content);
    QVERIFY(writeBytes(path(), content));
    EnsureConfigFile(path());
    QCOMPARE(readBytes(path()), content);
}

void TstConfigFile::saveReplacesFile() {
    QVERIFY(writeBytes(path(), QByteArray(5000, 'x')));
    SaveResourceToFile("TXTFILE", "INIFILE1", path());
    QCOMPARE(readBytes(path()), defaultText());
}

void TstConfigFile::cannotCreate_data() {
    QTest::addColumn<QString>("target");
    QTest::newRow("folder in the way") << QStringLiteral("Savro2.Ini");
    QTest::newRow("missing folder") << QStringLiteral("missing/Savro2.Ini");
}

void TstConfigFile::cannotCreate() {
    QFETCH(QString, target);
    QVERIFY(QDir().mkpath(path()));
    target = dir.filePath(target);
    try {
        EnsureConfigFile(target);
        QFAIL("seeding reported as done");
    } catch (const ECreateError& e) {
        const QString message = QString::fromUtf8(e.what());
        const QString prefix = "Cannot create file \"" + target + "\". ";
        QVERIFY2(message.startsWith(prefix), qPrintable(message));
        QVERIFY2(message.size() > prefix.size(), "no system error text");
    }
    QVERIFY(QFileInfo(path()).isDir());
}

void TstConfigFile::readOnlyFolder() {
    const QString folder = dir.filePath("readonly");
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    const QString target = folder + "/Savro2.Ini";
    if (writeBytes(target, "probe")) {
        QFile::remove(target);
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QSKIP("folder rights are not enforced for this user (root)");
    }
    QVERIFY_THROWS_EXCEPTION(ECreateError, EnsureConfigFile(target));
    QVERIFY(!QFileInfo::exists(target));
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

void TstConfigFile::unknownResource() {
    try {
        SaveResourceToFile("TXTFILE", "INIFILE2", path());
        QFAIL("unknown text written");
    } catch (const EResNotFound& e) {
        QCOMPARE(QByteArray(e.what()), QByteArray("Resource INIFILE2 not found"));
    }
    QVERIFY(!QFileInfo::exists(path()));
}

// What a fresh installation reads at start.
void TstConfigFile::freshDefaults() {
    EnsureConfigFile(path());
    const TIniPlus ini(path());
    QCOMPARE(ini.ReadText("Config", "COM", "x"), QStringLiteral("COM1"));
    QCOMPARE(ini.ReadText("Config", "FileName", "x"), QStringLiteral("Новый.txt"));
    QCOMPARE(ini.ReadNumber("Config", "DeviceNumber", 5), 0);
    QCOMPARE(ini.ReadText("Columns", "0", "x"), QStringLiteral("№ с"));
    QCOMPARE(ini.ReadText("Columns", "5", "x"), QStringLiteral("Темпер.,°С"));
    QCOMPARE(ini.ReadText("Columns", "6", "x"), QStringLiteral("Спирт,%"));   // four blanks dropped
    QCOMPARE(ini.ReadText("Columns", "18", "x"), QStringLiteral("ЭНС"));
    QCOMPARE(ini.ReadText("Columns", "31", "x"), QStringLiteral("Доп.пок.6"));
    QStringList shown;
    for (int n = 5; n <= 31; ++n)
        if (ini.ReadFlag("View", QString::number(n), true))
            shown << QString::number(n);
    QCOMPARE(shown, QStringList({"5", "6", "7", "9"}));
}

void TstConfigFile::emptyFileDefaults() {
    QVERIFY(writeBytes(path(), QByteArray()));
    EnsureConfigFile(path());
    const TIniPlus ini(path());
    QCOMPARE(ini.ReadText("Config", "COM", "COM1"), QStringLiteral("COM1"));
    QCOMPARE(ini.ReadText("Columns", "6", QString()), QString());
    for (int n = 5; n <= 31; ++n)
        QVERIFY(ini.ReadFlag("View", QString::number(n), true));
}

// The writes of a close on a seeded file: Config and View change, Columns stay.
void TstConfigFile::closeWritesBack() {
    EnsureConfigFile(path());
    {
        TIniPlus ini(path());
        ini.WriteText("Config", "COM", "ttyUSB0");
        ini.WriteText("Config", "FileName", QStringLiteral("/home/лаб/проба.txt"));
        ini.WriteNumber("Config", "DeviceNumber", 12);
        for (int n = 5; n <= 31; ++n)
            ini.WriteFlag("View", QString::number(n), n % 2 == 0);
    }
    const QByteArray before = defaultText();
    const QByteArray after = readBytes(path());
    const auto columns = [](const QByteArray& text) {
        return text.mid(text.indexOf("[Columns]"), text.indexOf("[View]") - text.indexOf("[Columns]"));
    };
    QCOMPARE(columns(after), columns(before));
    QVERIFY(after.startsWith("[Config]\r\nCOM=ttyUSB0\r\nFileName=/home/\xeb\xe0\xe1/\xef\xf0\xee\xe1\xe0.txt\r\n"
                             "DeviceNumber=12\r\n\r\n[Columns]"));
    QVERIFY(after.endsWith("\r\n30=1\r\n31=0\r\n"));
    QCOMPARE(after.count("\r\n"), before.count("\r\n"));
}

QTEST_GUILESS_MAIN(TstConfigFile)
#include "tst_configfile.moc"
