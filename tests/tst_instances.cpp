// Several copies of the real program on one machine: one copy per settings
// file, a second start on the same settings brings the running copy forward
// and exits, a killed copy's lock is taken over, bad --settings use is told
// without a window. Where a profile's INI and data folder are is checked
// in-process.
#include "app/Profile.h"
#include "config/ConfigFile.h"
#include "config/iniplus.h"
#include "support/AppProcess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

const QString kResultsName = QStringLiteral("Цех-2 смена.txt");

} // namespace

class TstInstances : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> rootDir_;

    QString Root() const { return rootDir_->path(); }
    QString Folder(const QString& name) const { return Root() + u'/' + name; }

    // A settings folder whose results file name is known to the test.
    void PrepareSettings(const QString& folder) {
        QVERIFY(QDir().mkpath(folder));
        const QString ini = folder + QStringLiteral("/Savro2.Ini");
        EnsureConfigFile(ini);
        TIniPlus(ini).WriteText(QStringLiteral("Config"), QStringLiteral("FileName"),
                                folder + u'/' + kResultsName);
    }

    bool StartCopy(TAppProcess& app, const QString& settings) {
        return app.Start(QStringLiteral(SAVRO2_APP_PATH), {QStringLiteral("--settings"), settings},
                         TAppProcess::Environment(Root(), QStringLiteral(SAVRO2_DRIVER_PATH), false),
                         Root());
    }

private slots:
    void init() {
        rootDir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(rootDir_->isValid());
        // Profiles made in this process claim a data folder of the test's.
        qputenv("XDG_DATA_HOME", QFile::encodeName(Folder(QStringLiteral("data"))));
    }

    void cleanup() { rootDir_.reset(); }

    void profilePaths_data() {
        QTest::addColumn<QString>("given"); // below the root; "file:" makes it first
        QTest::addColumn<QString>("ini");
        QTest::newRow("existing folder") << "lab" << "lab/Savro2.Ini";
        QTest::newRow("missing folder") << "new/line 2" << "new/line 2/Savro2.Ini";
        QTest::newRow("missing ini file") << "plant/line3.ini" << "plant/line3.ini";
        QTest::newRow("existing file of any name") << "file:own/settings.cfg" << "own/settings.cfg";
        QTest::newRow("trailing slash") << "sub.ini/" << "sub.ini/Savro2.Ini";
    }

    void profilePaths() {
        QFETCH(QString, given);
        QFETCH(QString, ini);
        QVERIFY(QDir().mkpath(Folder(QStringLiteral("lab"))));
        if (given.startsWith(QStringLiteral("file:"))) {
            given = given.mid(5);
            QVERIFY(QDir().mkpath(QFileInfo(Folder(given)).absolutePath()));
            QFile f(Folder(given));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        const TProfile profile = TProfile::ForSettings(Folder(given));
        const QString canonicalRoot = QFileInfo(Root()).canonicalFilePath();
        QCOMPARE(profile.IniPath(), canonicalRoot + u'/' + ini);
        QVERIFY(QFileInfo(profile.IniPath()).absoluteDir().exists());
        QVERIFY(!profile.IsDefault());
        // Named after the settings folder, below the user's data folder.
        const QString data = profile.DataFolder();
        QVERIFY2(data.startsWith(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation)
                                 + QStringLiteral("/profiles/")
                                 + QFileInfo(profile.IniPath()).absoluteDir().dirName() + u'-'),
                 qPrintable(data));
        QCOMPARE(TProfile::ForSettings(profile.IniPath()).DataFolder(), data);
    }

    // Without --settings an installed and a portable copy each have their
    // own settings: the first to start keeps the user's data folder, the
    // other gets one of its own, so neither takes the other's pending record.
    void defaultProfilesKeepApart() {
        const QString data = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
        QVERIFY(data.startsWith(Root()));
        for (const char* folder : {"config", "portable"})
            QVERIFY(QDir().mkpath(Folder(QLatin1String(folder))));
        const QString installed = TProfile::Default(Folder(QStringLiteral("config/Savro2.Ini"))).DataFolder();
        const QString portable = TProfile::Default(Folder(QStringLiteral("portable/Savro2.Ini"))).DataFolder();
        QCOMPARE(installed, data);
        QVERIFY2(portable.startsWith(data + QStringLiteral("/profiles/portable-")), qPrintable(portable));
        QCOMPARE(TProfile::Default(Folder(QStringLiteral("config/Savro2.Ini"))).DataFolder(), installed);
        QCOMPARE(TProfile::Default(Folder(QStringLiteral("portable/Savro2.Ini"))).DataFolder(), portable);
        QVERIFY(TProfile::Default(Folder(QStringLiteral("portable/Savro2.Ini"))).IsDefault());
    }

    // Told on stderr before any window: with no display and the X11 platform
    // asked for, creating the application would abort.
    void badSettingsUse_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        QTest::newRow("no value") << QStringList{"--settings"} << "не указан путь";
        QTest::newRow("empty value") << QStringList{"--settings="} << "не указан путь";
        QTest::newRow("option for a value") << QStringList{"--settings", "-x"} << "не указан путь";
        QTest::newRow("twice") << QStringList{"--settings", "a", "--settings", "b"}
                               << "больше одного раза";
        QTest::newRow("not a file") << QStringList{"--settings", "/dev/null"}
                                    << "не папка и не файл";
        QTest::newRow("below a file") << QStringList{"--settings", "plain/sub"}
                                      << "Не удалось создать папку";
    }

    void badSettingsUse() {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        QFile plain(Folder(QStringLiteral("plain")));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        QProcess p;
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(Root());
        p.start(QStringLiteral(SAVRO2_APP_PATH), args);
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 2);
        const QString err = QString::fromLocal8Bit(p.readAllStandardError());
        QVERIFY2(err.contains(message), qPrintable(err));
        QVERIFY(p.readAllStandardOutput().isEmpty());
    }

    void secondStart_data() {
        QTest::addColumn<QString>("first");  // settings of the running copy; empty: none
        QTest::addColumn<QString>("second"); // settings of the later start
        QTest::addColumn<bool>("refused");
        QTest::newRow("same folder") << "lab" << "lab" << true;
        QTest::newRow("same file by its path") << "lab" << "lab/Savro2.Ini" << true;
        QTest::newRow("other settings") << "lab" << "lab2" << false;
        QTest::newRow("lock held, nothing answers") << QString() << "lab" << true;
    }

    void secondStart() {
        if (kSanitized)
            QSKIP("the driver cannot be preloaded into a sanitizer build");
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(bool, refused);
        PrepareSettings(Folder(QStringLiteral("lab")));
        PrepareSettings(Folder(QStringLiteral("lab2")));

        TAppProcess running;
        // A holder that never answers: this test process.
        QLockFile held(QFileInfo(Folder(QStringLiteral("lab"))).canonicalFilePath()
                       + QStringLiteral("/Savro2.Ini.lock"));
        if (first.isEmpty()) {
            QVERIFY(held.tryLock(0));
        } else {
            QVERIFY(StartCopy(running, Folder(first)));
            QVERIFY(!running.WaitForLine(QStringLiteral("SHOWN")).isEmpty());
            QVERIFY(!running.Ask("minimize", QStringLiteral("MINIMIZED")).isEmpty());
        }

        TAppProcess later;
        QVERIFY(StartCopy(later, Folder(second)));
        if (!refused) {
            QVERIFY2(!later.WaitForLine(QStringLiteral("SHOWN")).isEmpty(),
                     qPrintable(later.Lines().join(u'\n')));
            QCOMPARE(later.Ask("windows", QStringLiteral("WINDOWS ")), QStringLiteral("WINDOWS 1 normal"));
            QCOMPARE(running.Ask("windows", QStringLiteral("WINDOWS ")),
                     QStringLiteral("WINDOWS 1 minimized"));
            return;
        }
        const QString box = later.WaitForLine(QStringLiteral("BOX "));
        QVERIFY2(box.contains(QStringLiteral("уже запущен с этими настройками")), qPrintable(box));
        QVERIFY2(box.contains(QStringLiteral("Savro2.Ini")), qPrintable(box));
        QVERIFY(later.WaitForExit());
        QCOMPARE(later.ExitCode(), 1);
        QVERIFY(!later.Lines().contains(QStringLiteral("SHOWN")));
        if (first.isEmpty()) {
            QVERIFY2(box.contains(QStringLiteral("не отвечает")), qPrintable(box));
            QVERIFY(!box.contains(QStringLiteral("Файл результатов")));
            return;
        }
        QVERIFY2(box.contains(QStringLiteral("Файл результатов: ") + Folder(first) + u'/'
                              + kResultsName),
                 qPrintable(box));
        // Still there with its one window, brought forward.
        QVERIFY(running.IsRunning());
        QCOMPARE(running.Ask("windows", QStringLiteral("WINDOWS ")), QStringLiteral("WINDOWS 1 normal"));
    }

    void killedCopyIsTakenOver_data() {
        QTest::addColumn<int>("kills");
        QTest::newRow("once") << 1;
        QTest::newRow("twice in a row") << 2;
    }

    void killedCopyIsTakenOver() {
        if (kSanitized)
            QSKIP("the driver cannot be preloaded into a sanitizer build");
        QFETCH(int, kills);
        const QString lab = Folder(QStringLiteral("lab"));
        PrepareSettings(lab);
        for (int i = 0; i < kills; ++i) {
            TAppProcess victim;
            QVERIFY(StartCopy(victim, lab));
            QVERIFY(!victim.WaitForLine(QStringLiteral("SHOWN")).isEmpty());
            QVERIFY(victim.Kill());
            QVERIFY(QFileInfo::exists(lab + QStringLiteral("/Savro2.Ini.lock")));
        }
        TAppProcess again;
        QVERIFY(StartCopy(again, lab));
        QVERIFY2(!again.WaitForLine(QStringLiteral("SHOWN")).isEmpty(),
                 qPrintable(again.Lines().join(u'\n')));
        // The new holder guards the settings and answers in turn.
        TAppProcess third;
        QVERIFY(StartCopy(third, lab));
        const QString box = third.WaitForLine(QStringLiteral("BOX "));
        QVERIFY2(box.contains(QStringLiteral("Файл результатов: ")), qPrintable(box));
        QVERIFY(third.WaitForExit());
        QCOMPARE(third.ExitCode(), 1);
        QVERIFY(again.IsRunning());
    }
};

QTEST_MAIN(TstInstances)
#include "tst_instances.moc"
