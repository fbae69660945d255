#include "support/TestFiles.h"
#include "config/ConfigFile.h"
#include "config/iniplus.h"
#include "support/ReadOnlyFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>

namespace {

QByteArray defaultText() {
    return ReadAll(QStringLiteral(":/Savro2.Ini.default"));
}

bool writeBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

} // namespace

class TstConfigFile : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
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
    void installedBinDirKnown();
    void placeOfSettings_data();
    void placeOfSettings();

private:
    QString path() const { return dir.filePath(QStringLiteral("Savro2.Ini")); }
    QTemporaryDir dir;
};

void TstConfigFile::initTestCase() {
    // The user's configuration folder of these tests lies in the temporary folder.
    QVERIFY(dir.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath(QStringLiteral("xdg"))));
}

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
    const QByteArray bytes = ReadAll(path());
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
    QCOMPARE(ReadAll(path()), content);
}

void TstConfigFile::saveReplacesFile() {
    QVERIFY(writeBytes(path(), QByteArray(5000, 'x')));
    SaveResourceToFile("TXTFILE", "INIFILE1", path());
    QCOMPARE(ReadAll(path()), defaultText());
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
    const QByteArray after = ReadAll(path());
    const auto columns = [](const QByteArray& text) {
        return text.mid(text.indexOf("[Columns]"), text.indexOf("[View]") - text.indexOf("[Columns]"));
    };
    QCOMPARE(columns(after), columns(before));
    QVERIFY(after.startsWith("[Config]\r\nCOM=ttyUSB0\r\nFileName=/home/\xeb\xe0\xe1/\xef\xf0\xee\xe1\xe0.txt\r\n"
                             "DeviceNumber=12\r\n\r\n[Columns]"));
    QVERIFY(after.endsWith("\r\n30=1\r\n31=0\r\n"));
    QCOMPARE(after.count("\r\n"), before.count("\r\n"));
}

void TstConfigFile::installedBinDirKnown() {
    const QString bin = InstalledBinDir();
    QVERIFY2(QFileInfo(bin).isAbsolute(), qPrintable(bin));
    QVERIFY2(bin.endsWith(QStringLiteral("/bin")), qPrintable(bin));
}

// Where a program in a folder keeps Savro2.Ini; the folder is writable in
// every case but the read-only one (root writes anywhere else).
void TstConfigFile::placeOfSettings_data() {
    QTest::addColumn<QString>("installedBin"); // relative to the program's parent
    QTest::addColumn<bool>("linkedName");      // the program folder is reached by a symlink
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<bool>("perUser");
    QTest::newRow("portable copy") << QStringLiteral("usr/bin") << false << false << false;
    QTest::newRow("install bin folder") << QStringLiteral("prog") << false << false << true;
    QTest::newRow("install bin folder by another name") << QStringLiteral("prog") << true << false << true;
    QTest::newRow("read-only folder") << QStringLiteral("usr/bin") << false << true << true;
}

void TstConfigFile::placeOfSettings() {
    QFETCH(QString, installedBin);
    QFETCH(bool, linkedName);
    QFETCH(bool, readOnly);
    QFETCH(bool, perUser);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString prog = root.filePath(QStringLiteral("prog"));
    QVERIFY(QDir().mkpath(prog));
    QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("usr/bin"))));
    QString programDir = prog;
    if (linkedName) {
        programDir = root.filePath(QStringLiteral("bin"));
        QVERIFY(QFile::link(prog, programDir));
    }
    const QString userDir = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    QVERIFY2(userDir.startsWith(dir.path()), qPrintable(userDir));
    QDir(userDir).removeRecursively();

    std::optional<TReadOnlyFolder> guard;
    if (readOnly) {
        guard.emplace(prog);
        if (!guard->Problem().isEmpty())
            QSKIP(qPrintable(guard->Problem()));
    }
    const QString path = ConfigPathFor(programDir, root.filePath(installedBin));
    if (perUser) {
        QCOMPARE(path, userDir + QStringLiteral("/Savro2.Ini"));
        QVERIFY(QFileInfo(userDir).isDir());
    } else {
        QCOMPARE(path, programDir + QStringLiteral("/Savro2.Ini"));
        QVERIFY(!QFileInfo::exists(userDir));
    }
}

QTEST_GUILESS_MAIN(TstConfigFile)
#include "tst_configfile.moc"
