// The built program as a process: --version, and where a copy of it keeps
// Savro2.Ini when started once (it closes by itself after start-up).
#include "support/TestFiles.h"
#include "resources/ProgramVersion.h"
#include "support/ReadOnlyFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>

namespace {

QByteArray defaultText() {
    return ReadAll(QStringLiteral(":/Savro2.Ini.default"));
}

struct TRun {
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

TRun Run(const QString& program, const QStringList& args, const QProcessEnvironment& env,
         const QString& workDir = QString()) {
    QProcess p;
    p.setProcessEnvironment(env);
    if (!workDir.isEmpty())
        p.setWorkingDirectory(workDir);
    p.start(program, args);
    TRun run;
    run.finished = p.waitForStarted(60000) && p.waitForFinished(120000)
                   && p.exitStatus() == QProcess::NormalExit;
    if (!run.finished) {
        p.kill();
        p.waitForFinished(10000);
    }
    run.exitCode = p.exitCode();
    run.out = p.readAllStandardOutput();
    run.err = p.readAllStandardError();
    return run;
}

} // namespace

class TstInstalledCopy : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void versionOption_data();
    void versionOption();
    void settingsPlace_data();
    void settingsPlace();

private:
    QString program_ = QStringLiteral(SAVRO2_PROGRAM_PATH);
};

void TstInstalledCopy::initTestCase() {
    QVERIFY2(QFileInfo(program_).isExecutable(), qPrintable(program_));
}

void TstInstalledCopy::versionOption_data() {
    QTest::addColumn<QStringList>("args");
    QTest::newRow("alone") << QStringList{"--version"};
    QTest::newRow("other words unread") << QStringList{"--version", "--bogus", "file.txt"};
    QTest::newRow("not first") << QStringList{"-x", "--version"};
}

// Printed and done without a window: with no display and the X11 platform
// asked for, creating the application would abort.
void TstInstalledCopy::versionOption() {
    QFETCH(QStringList, args);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    const TRun run = Run(program_, args, env);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QByteArray("Savro2 " + ProgramVersion().toUtf8() + "\n"));
    QVERIFY2(run.err.isEmpty(), run.err.constData());
    QVERIFY(QRegularExpression(QStringLiteral("^\\d+\\.\\d+(\\.\\d+)?$")).match(ProgramVersion()).hasMatch());
}

void TstInstalledCopy::settingsPlace_data() {
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<QString>("fileName");
    QTest::newRow("portable copy") << false << "Savro2";
    QTest::newRow("read-only program folder") << true << "Savro2";
    // The per-user folder is the program's, whatever the file is called.
    QTest::newRow("read-only, renamed copy") << true << "savro2-lab";
}

// Two starts of a copy of the program: the first seeds the 740 bytes (and the
// close writes them back unchanged), the second keeps what is in the file.
void TstInstalledCopy::settingsPlace() {
    QFETCH(bool, readOnly);
    QFETCH(QString, fileName);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString prog = root.filePath(QStringLiteral("prog"));
    const QString work = root.filePath(QStringLiteral("work"));
    const QString xdg = root.filePath(QStringLiteral("xdg"));
    for (const QString& folder : {prog, work, root.filePath(QStringLiteral("home"))})
        QVERIFY(QDir().mkpath(folder));
    const QString copy = prog + u'/' + fileName;
    QVERIFY(QFile::copy(program_, copy));
    std::optional<TReadOnlyFolder> guard;
    if (readOnly) {
        guard.emplace(prog);
        if (!guard->Problem().isEmpty())
            QSKIP(qPrintable(guard->Problem()));
    }

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("HOME"), root.filePath(QStringLiteral("home")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), xdg);
    env.insert(QStringLiteral("SAVRO2_QUIT_AFTER_START"), QStringLiteral("1"));

    const QString beside = prog + QStringLiteral("/Savro2.Ini");
    const QString perUser = xdg + QStringLiteral("/Savro2/Savro2.Ini");
    const QString expected = readOnly ? perUser : beside;
    const QString other = readOnly ? beside : perUser;

    TRun run = Run(copy, {}, env, work);
    QVERIFY2(run.finished, run.err.constData());
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(QFileInfo::exists(expected),
             qPrintable("per-user folders: " + QDir(xdg).entryList(QDir::Dirs | QDir::NoDotAndDotDot).join(u' ')));
    QCOMPARE(ReadAll(expected), defaultText());
    QVERIFY(!QFileInfo::exists(other));

    QByteArray changed = defaultText();
    changed.replace("COM=COM1\r\n", "COM=ttyUSB5\r\n");
    changed.replace("DeviceNumber=0\r\n", "DeviceNumber=12\r\n");
    {
        QFile f(expected);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(f.write(changed), changed.size());
    }
    run = Run(copy, {}, env, work);
    QVERIFY2(run.finished, run.err.constData());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(ReadAll(expected), changed);
    QVERIFY(!QFileInfo::exists(other));
}

QTEST_GUILESS_MAIN(TstInstalledCopy)
#include "tst_installedcopy.moc"
