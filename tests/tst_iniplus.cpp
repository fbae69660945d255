#include "support/TestFiles.h"
#include "config/iniplus.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

// cp1251 bytes of the Cyrillic words used below.
const QByteArray kNovyTxt("\xcd\xee\xe2\xfb\xe9.txt");     // "Новый.txt"
const QByteArray kSpirt("\xd1\xef\xe8\xf0\xf2,%");         // "Спирт,%"
const QByteArray kSekciya("\xd1\xe5\xea\xf6\xe8\xff");     // "Секция"

} // namespace

class TstIniPlus : public QObject {
    Q_OBJECT
private slots:
    void init();
    void readText_data();
    void readText();
    void readMissingFile();
    void readNumber_data();
    void readNumber();
    void readFlag_data();
    void readFlag();
    void write_data();
    void write();
    void writeCreatesMissingFile();
    void cyrillicRoundTrip();
    void longValueIsCut();
    void refusedWrite_data();
    void refusedWrite();
    void unwritablePath_data();
    void unwritablePath();
    void garbageFileReads();
    void hugeFileReadsAndWrites();

private:
    QString path() const { return dir.filePath(QStringLiteral("Savro2.Ini")); }
    QTemporaryDir dir;
};

void TstIniPlus::init() {
    QVERIFY(dir.isValid());
    QFile::remove(path());
}

void TstIniPlus::readText_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");   // default is "<def>"

    const QByteArray config("[Config]\r\nCOM=COM3\r\nFileName=" + kNovyTxt + "\r\nDeviceNumber=0\r\n");
    QTest::newRow("plain") << config << "Config" << "COM" << "COM3";
    QTest::newRow("cp1251 value") << config << "Config" << "FileName" << QStringLiteral("Новый.txt");
    QTest::newRow("missing key") << config << "Config" << "Port" << "<def>";
    QTest::newRow("missing section") << config << "View" << "5" << "<def>";
    QTest::newRow("empty file") << QByteArray() << "Config" << "COM" << "<def>";
    QTest::newRow("empty value is not the default")
        << QByteArray("[Config]\r\nFileName=\r\nCOM=   \r\n") << "Config" << "FileName" << "";
    QTest::newRow("trailing blanks of a title")
        << QByteArray("[Columns]\r\n6=" + kSpirt + "    \r\n") << "Columns" << "6" << QStringLiteral("Спирт,%");
    QTest::newRow("blanks around names and value")
        << QByteArray("  [ Config ]  \r\n \t COM  =  COM4 \t\r\n") << "Config" << "COM" << "COM4";
    QTest::newRow("lower-case key") << QByteArray("[Config]\r\ncom=COM5\r\n") << "Config" << "COM" << "COM5";
    QTest::newRow("lower-case section") << QByteArray("[config]\r\nCOM=COM6\r\n") << "Config" << "COM" << "COM6";
    QTest::newRow("Cyrillic names without case")
        << QByteArray("[" + kSekciya + "]\r\n\xca\xeb\xfe\xf7=1\r\n") << QStringLiteral("СЕКЦИЯ")
        << QStringLiteral("ключ") << "1";
    QTest::newRow("LF-only lines") << QByteArray("[A]\nx=1\n[Config]\nCOM=COM8\n") << "Config" << "COM" << "COM8";
    QTest::newRow("equals sign in value") << QByteArray("[S]\r\nk=a=b\r\n") << "S" << "k" << "a=b";
    QTest::newRow("key of another section")
        << QByteArray("[A]\r\nk=1\r\n[B]\r\nj=2\r\n") << "B" << "k" << "<def>";
    QTest::newRow("only the first section of a name")
        << QByteArray("[S]\r\na=1\r\n[T]\r\n[s]\r\nk=2\r\n") << "S" << "k" << "<def>";
    QTest::newRow("blank lines and blanks inside a name")
        << QByteArray("\r\n\r\n[My Section]\r\n\r\nmy key=v\r\n") << "my section" << "MY KEY" << "v";
    QTest::newRow("name asked with blanks") << QByteArray("[S]\r\nk=1\r\n") << " S " << " k " << "1";
    QTest::newRow("zero byte in value") << QByteArray("[S]\r\nk=a\0b\r\n", 12) << "S" << "k" << QString::fromLatin1("a\0b", 3);
}

void TstIniPlus::readText() {
    QFETCH(QByteArray, file);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, expected);
    writeBytes(path(), file);
    const TIniPlus ini(path());
    QCOMPARE(ini.ReadText(section, key, QStringLiteral("<def>")), expected);
}

void TstIniPlus::readMissingFile() {
    const TIniPlus ini(path());
    QCOMPARE(ini.FileName(), path());
    QCOMPARE(ini.ReadText("Config", "COM", "COM1"), QStringLiteral("COM1"));
    QCOMPARE(ini.ReadNumber("Config", "DeviceNumber", 3), 3);
    QCOMPARE(ini.ReadFlag("View", "5", true), true);
    QVERIFY(!QFileInfo::exists(path()));   // reading creates nothing
}

void TstIniPlus::readNumber_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("expected");   // default is 7
    QTest::newRow("decimal") << QByteArray("42") << 42;
    QTest::newRow("0x10") << QByteArray("0x10") << 16;
    QTest::newRow("0X1f") << QByteArray("0X1f") << 31;
    QTest::newRow("$FF") << QByteArray("$FF") << 255;
    QTest::newRow("x1F") << QByteArray("x1F") << 31;
    QTest::newRow("0x0") << QByteArray("0x0") << 0;
    QTest::newRow("signs") << QByteArray("-5") << -5;
    QTest::newRow("negative hex") << QByteArray("-0x10") << -16;
    QTest::newRow("largest") << QByteArray("2147483647") << 2147483647;
    QTest::newRow("smallest") << QByteArray("-2147483648") << int(-2147483648LL);
    QTest::newRow("largest hex") << QByteArray("0x7FFFFFFF") << 2147483647;
    QTest::newRow("above largest") << QByteArray("2147483648") << 7;
    QTest::newRow("below smallest") << QByteArray("-2147483649") << 7;
    QTest::newRow("hex above largest") << QByteArray("0xFFFFFFFF") << 7;
    QTest::newRow("very long") << QByteArray("99999999999999999999999999999") << 7;
    QTest::newRow("12abc") << QByteArray("12abc") << 7;
    QTest::newRow("empty") << QByteArray("") << 7;
    QTest::newRow("0x alone") << QByteArray("0x") << 7;
    QTest::newRow("$ alone") << QByteArray("$") << 7;
    QTest::newRow("blank inside") << QByteArray("1 2") << 7;
    QTest::newRow("fraction") << QByteArray("12.5") << 7;
    QTest::newRow("hex digits without prefix") << QByteArray("1F") << 7;
    QTest::newRow("yes") << QByteArray("yes") << 7;
}

void TstIniPlus::readNumber() {
    QFETCH(QByteArray, text);
    QFETCH(int, expected);
    writeBytes(path(), "[Config]\r\nDeviceNumber=" + text + "\r\n");
    const TIniPlus ini(path());
    QCOMPARE(ini.ReadNumber("Config", "DeviceNumber", 7), expected);
}

void TstIniPlus::readFlag_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("def");
    QTest::addColumn<bool>("expected");
    QTest::newRow("0") << QByteArray("0") << true << false;
    QTest::newRow("1") << QByteArray("1") << true << true;
    QTest::newRow("2") << QByteArray("2") << true << true;
    QTest::newRow("-1") << QByteArray("-1") << true << true;
    QTest::newRow("yes") << QByteArray("yes") << true << true;
    QTest::newRow("empty") << QByteArray("") << true << true;
    QTest::newRow("0x0") << QByteArray("0x0") << true << false;
    QTest::newRow("1 with false default") << QByteArray("1") << false << true;
    QTest::newRow("yes with false default") << QByteArray("yes") << false << false;
}

void TstIniPlus::readFlag() {
    QFETCH(QByteArray, text);
    QFETCH(bool, def);
    QFETCH(bool, expected);
    writeBytes(path(), "[View]\r\n5=" + text + "\r\n");
    const TIniPlus ini(path());
    QCOMPARE(ini.ReadFlag("View", "5", def), expected);
}

void TstIniPlus::write_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("after");

    const QByteArray mixed("; note\r\n[Config]\r\nCOM=COM1\r\n  FileName = a.txt  \r\nDeviceNumber=0\n"
                           "\r\n[Columns]\r\n6=" + kSpirt + "    \r\n\r\n[View]\r\n5=1\r\n6=yes\r\n");
    QTest::newRow("existing key, other lines byte-exact")
        << mixed << "Config" << "COM" << "COM12"
        << QByteArray(mixed).replace("COM=COM1\r\n", "COM=COM12\r\n");
    QTest::newRow("existing key with blanks, LF line keeps LF")
        << mixed << "config" << "filename" << "b.txt"
        << QByteArray(mixed).replace("  FileName = a.txt  \r\n", "  FileName=b.txt\r\n");
    QTest::newRow("LF-only line keeps its LF")
        << mixed << "Config" << "DeviceNumber" << "16"
        << QByteArray(mixed).replace("DeviceNumber=0\n", "DeviceNumber=16\n");
    QTest::newRow("missing key after the section's last entry")
        << mixed << "Config" << "Extra" << "x"
        << QByteArray(mixed).replace("DeviceNumber=0\n", "DeviceNumber=0\nExtra=x\r\n");
    QTest::newRow("missing key in the last section")
        << mixed << "View" << "7" << "0" << mixed + "7=0\r\n";
    QTest::newRow("missing section at the end")
        << mixed << "New" << "k" << "v" << mixed + "\r\n[New]\r\nk=v\r\n";
    QTest::newRow("section at the end without line break")
        << QByteArray("[A]\r\nk=1") << "A" << "j" << "2" << QByteArray("[A]\r\nk=1\r\nj=2\r\n");
    QTest::newRow("new section after a line without break")
        << QByteArray("[A]\r\nk=1") << "B" << "j" << "2" << QByteArray("[A]\r\nk=1\r\n\r\n[B]\r\nj=2\r\n");
    QTest::newRow("new section after a blank line")
        << QByteArray("[A]\r\nk=1\r\n\r\n") << "B" << "j" << "2" << QByteArray("[A]\r\nk=1\r\n\r\n[B]\r\nj=2\r\n");
    QTest::newRow("empty file") << QByteArray() << "B" << "j" << "2" << QByteArray("[B]\r\nj=2\r\n");
    QTest::newRow("empty section header only")
        << QByteArray("[A]\r\n[B]\r\n") << "A" << "k" << "1" << QByteArray("[A]\r\nk=1\r\n[B]\r\n");
    QTest::newRow("present empty value gets one")
        << QByteArray("[A]\r\nk=\r\n") << "A" << "k" << "1" << QByteArray("[A]\r\nk=1\r\n");
    QTest::newRow("value set to empty")
        << QByteArray("[A]\r\nk=1\r\n") << "A" << "k" << "" << QByteArray("[A]\r\nk=\r\n");
    QTest::newRow("only the first of duplicate keys")
        << QByteArray("[A]\r\nk=1\r\nk=2\r\n") << "A" << "K" << "3" << QByteArray("[A]\r\nk=3\r\nk=2\r\n");
}

void TstIniPlus::write() {
    QFETCH(QByteArray, before);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, after);
    writeBytes(path(), before);
    TIniPlus ini(path());
    ini.WriteText(section, key, value);
    QCOMPARE(ReadAll(path()), after);
    QCOMPARE(ini.ReadText(section, key, "<def>"), value);
}

void TstIniPlus::writeCreatesMissingFile() {
    {
        TIniPlus ini(path());
        ini.WriteText("Config", "COM", "COM2");
        ini.WriteNumber("Config", "DeviceNumber", -2147483647 - 1);
        ini.WriteFlag("View", "5", false);
        ini.WriteFlag("View", "6", true);
        QCOMPARE(ini.ReadNumber("Config", "DeviceNumber", 0), -2147483647 - 1);
    }
    QCOMPARE(ReadAll(path()),
             QByteArray("[Config]\r\nCOM=COM2\r\nDeviceNumber=-2147483648\r\n\r\n[View]\r\n5=0\r\n6=1\r\n"));
}

void TstIniPlus::cyrillicRoundTrip() {
    TIniPlus ini(path());
    const QString name = QStringLiteral("C:/Данные/Пиво №5 «Ёлка».txt");
    ini.WriteText(QStringLiteral("Раздел"), "FileName", name);
    QCOMPARE(ini.ReadText(QStringLiteral("раздел"), "filename", QString()), name);
    QVERIFY(ReadAll(path()).contains("FileName=C:/\xc4\xe0\xed\xed\xfb\xe5/\xcf\xe8\xe2\xee \xb9"
                                       "5 \xab\xa8\xeb\xea\xe0\xbb.txt\r\n"));
}

void TstIniPlus::longValueIsCut() {
    TIniPlus ini(path());
    const QString longValue = QString(2047, u'a') + QStringLiteral("bcd");
    ini.WriteText("S", "k", longValue);
    QVERIFY(ReadAll(path()).contains(longValue.toLatin1()));   // stored whole
    QCOMPARE(ini.ReadText("S", "k", QString()), QString(2047, u'a'));
    ini.WriteText("S", "k", QString(2047, u'z'));
    QCOMPARE(ini.ReadText("S", "k", QString()), QString(2047, u'z'));
}

void TstIniPlus::refusedWrite_data() {
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::newRow("line break in value") << "A" << "k" << "1\r\n[B]";
    QTest::newRow("LF in value") << "A" << "k" << "1\nx=2";
    QTest::newRow("line break in key") << "A" << "k\nj" << "1";
    QTest::newRow("equals sign in key") << "A" << "k=j" << "1";
    QTest::newRow("bracket in section") << "A]x" << "k" << "1";
    QTest::newRow("empty key") << "A" << " " << "1";
    QTest::newRow("empty section") << "" << "k" << "1";
    QTest::newRow("outside code page") << "A" << "k" << QStringLiteral("漢字");
}

void TstIniPlus::refusedWrite() {
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    const QByteArray before("[A]\r\nk=0\r\n");
    writeBytes(path(), before);
    TIniPlus ini(path());
    try {
        ini.WriteText(section, key, value);
        QFAIL("write accepted");
    } catch (const EIniFileException& e) {
        QVERIFY(QString::fromUtf8(e.what()).startsWith("Unable to write to " + path() + ": "));
    }
    QCOMPARE(ReadAll(path()), before);
}

void TstIniPlus::unwritablePath_data() {
    QTest::addColumn<QString>("target");
    QTest::newRow("missing folder") << QStringLiteral("no such folder/Savro2.Ini");
    QTest::newRow("folder in the way") << QStringLiteral("folder");
}

void TstIniPlus::unwritablePath() {
    QFETCH(QString, target);
    QVERIFY(QDir(dir.path()).mkpath("folder"));
    const QString full = dir.filePath(target);
    TIniPlus ini(full);
    try {
        ini.WriteText("Config", "COM", "COM1");
        QFAIL("write reported as done");
    } catch (const EIniFileException& e) {
        QCOMPARE(QString::fromUtf8(e.what()), "Unable to write to " + full);
    }
    QCOMPARE(ini.ReadText("Config", "COM", "<def>"), QStringLiteral("<def>"));
}

void TstIniPlus::garbageFileReads() {
    QRandomGenerator rng(1251);
    QByteArray garbage(64 * 1024, Qt::Uninitialized);
    for (char& c : garbage)
        c = char(rng.bounded(256));
    writeBytes(path(), garbage);
    {
        TIniPlus ini(path());
        // Whatever the bytes hold, reads return without harm.
        for (const char* section : {"Config", "View", "Columns", ""})
            ini.ReadText(section, "5", "d");
        QCOMPARE(ini.ReadNumber("Config", "DeviceNumber", 9), 9);
    }
    garbage.replace('[', 'x');   // no section in the garbage itself
    writeBytes(path(), garbage + "\n[Config]\nDeviceNumber=0x10\n" + garbage);
    TIniPlus ini(path());
    QCOMPARE(ini.ReadNumber("Config", "DeviceNumber", 0), 16);
    ini.WriteNumber("Config", "DeviceNumber", 17);
    QCOMPARE(ini.ReadNumber("Config", "DeviceNumber", 0), 17);
    QCOMPARE(ReadAll(path()), garbage + "\n[Config]\nDeviceNumber=17\n" + garbage);
}

void TstIniPlus::hugeFileReadsAndWrites() {
    // 32 MB in one line without a break, then the section.
    const QByteArray filler(32 * 1024 * 1024, 'a');
    writeBytes(path(), filler + "\r\n[View]\r\n5=0\r\n");
    TIniPlus ini(path());
    QCOMPARE(ini.ReadFlag("View", "5", true), false);
    QCOMPARE(ini.ReadText("View", "6", "d"), QStringLiteral("d"));
    ini.WriteFlag("View", "6", true);
    QCOMPARE(ini.ReadFlag("View", "6", false), true);
    QCOMPARE(QFileInfo(path()).size(), filler.size() + qint64(sizeof("\r\n[View]\r\n5=0\r\n6=1\r\n") - 1));
}

QTEST_GUILESS_MAIN(TstIniPlus)
#include "tst_iniplus.moc"
