#include "archive/Archive.h"
#include "config/ConfigFile.h"
#include "config/iniplus.h"
#include "support/AppProcess.h"
#include "support/SimProcess.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

constexpr quint16 kDevice = 42;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// The real program, run in a program folder of its own with the operator
// played by the preloaded driver (tests/driver), killed like a power cut.
class TApp : public TAppProcess {
public:
    bool Start(const QString& root, bool poll) {
        return TAppProcess::Start(root + QStringLiteral("/prog/Savro2"), {},
                                  Environment(root, QStringLiteral(SAVRO2_DRIVER_PATH), poll),
                                  root + QStringLiteral("/prog"));
    }
};

QString Decimal(const char* whole, const char* fraction) {
    return QLatin1String(whole) + QLocale::system().decimalPoint() + QLatin1String(fraction);
}

} // namespace

// A measurement survives SIGKILL of the real program, and one whose
// acknowledgement never got through is not doubled when it is offered again.
class TstCrash : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> rootDir_;
    std::unique_ptr<TSimProcess> simProcess_;

    QString Root() const { return rootDir_->path(); }
    TSimProcess& sim() { return *simProcess_; }

    // A program folder with a copy of the program and a configuration for
    // the simulator's port and device.
    void PrepareFolder() {
        const QString prog = Root() + QStringLiteral("/prog");
        QVERIFY(QDir().mkpath(prog));
        QVERIFY(QFile::copy(QStringLiteral(SAVRO2_APP_PATH), prog + QStringLiteral("/Savro2")));
        QVERIFY(QFile::setPermissions(prog + QStringLiteral("/Savro2"),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        const QString ini = prog + QStringLiteral("/Savro2.Ini");
        EnsureConfigFile(ini);
        TIniPlus config(ini);
        config.WriteText(QStringLiteral("Config"), QStringLiteral("COM"), sim().PortPath());
        config.WriteNumber(QStringLiteral("Config"), QStringLiteral("DeviceNumber"), kDevice);
    }

    QString DataFolder() const { return Root() + QStringLiteral("/data/Savro2"); }

    int CopiesOnDisk() const {
        return int(QDir(Root() + QStringLiteral("/data/Savro2"))
                       .entryList({QStringLiteral("*.txt")}, QDir::Files)
                       .size());
    }

private slots:
    void init() {
        if (kSanitized)
            QSKIP("the driver cannot be preloaded into a sanitizer build");
        rootDir_ = std::make_unique<QTemporaryDir>();
        simProcess_ = std::make_unique<TSimProcess>();
        QVERIFY(rootDir_->isValid());
        QVERIFY(sim().Start({"--device", QString::number(kDevice), "--seed", "9", "--verbose"}));
        PrepareFolder();
    }

    void acknowledgedMeasurementSurvivesKill() {
        sim().Send("measure 3 0x0800 5 12.5 -0.75");
        {
            TApp app;
            QVERIFY(app.Start(Root(), true));
            QVERIFY(!app.WaitForLine(QStringLiteral("POLLING")).isEmpty());
            QVERIFY(!sim().WaitForLine("ACK 1", 30000).isEmpty());
            QVERIFY(app.Kill());
        }
        QCOMPARE(CopiesOnDisk(), 1);

        TApp again;
        QVERIFY(again.Start(Root(), false));
        const QString box = again.WaitForLine(QStringLiteral("BOX "));
        QVERIFY2(box.contains(QStringLiteral("Восстановить несохранённые данные?")), qPrintable(box));
        QVERIFY2(box.contains(QStringLiteral("строк: 1")), qPrintable(box));
        QVERIFY(!again.WaitForLine(QStringLiteral("SHOWN")).isEmpty());
        const QList<QStringList> rows = again.Dump();
        QCOMPARE(rows.size(), 2); // the measurement and the entry row
        QCOMPARE(rows[0].size(), 32);
        QCOMPARE(rows[0][0], QStringLiteral("1"));
        QVERIFY(!rows[0][2].isEmpty()); // date
        QCOMPARE(rows[0][4], QStringLiteral("5"));
        QCOMPARE(rows[0][5], Decimal("12", "50"));
        QCOMPARE(rows[0][6], Decimal("-0", "75"));
        QCOMPARE(rows[1][0], QStringLiteral("2"));
        QVERIFY(rows[1][5].isEmpty());
    }

    void unacknowledgedMeasurementIsNotDoubled() {
        // Every command 9 is lost: the analyser keeps the record as new.
        sim().Send("noack 3600");
        sim().Send("measure 1 0x0800 7 33.25");
        {
            TApp app;
            QVERIFY(app.Start(Root(), true));
            QVERIFY(!sim().WaitForLine("SENT 1", 30000).isEmpty());
            // Command 9 goes out only after the row is on disk.
            QVERIFY(!sim().WaitForLine("FAULT noack", 30000).isEmpty());
            QVERIFY(app.Kill());
        }
        QCOMPARE(sim().CountLines("ACK "), 0);
        sim().Send("noack 0");
        sim().Send("release");

        TApp again;
        QVERIFY(again.Start(Root(), true));
        QVERIFY(again.WaitForLine(QStringLiteral("BOX ")).contains(QStringLiteral("строк: 1")));
        // Offered again at the first turn, and acknowledged this time.
        QVERIFY2(!sim().WaitForLine("ACK 1", 30000).isEmpty(),
                 qPrintable(again.Lines().join(u'\n')));
        const QList<QStringList> rows = again.Dump();
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[0][4], QStringLiteral("7"));
        QCOMPARE(rows[0][5], Decimal("33", "25"));
        QVERIFY(rows[1][5].isEmpty());
        // The archive and the table agree: the measurement once.
        TArchive archive(DataFolder());
        const std::vector<TArchivePoint> points = archive.Points({}, 0);
        QCOMPARE(points.size(), size_t(1));
        QCOMPARE(points[0].Value, 33.25);
    }

    // An archive file that is not a database is moved aside, the operator is
    // told, and measuring goes on into a fresh archive.
    void damagedArchiveIsSetAside() {
        QVERIFY(QDir().mkpath(DataFolder()));
        const QByteArray junk = QByteArray("not a database\n").repeated(300);
        QFile file(DataFolder() + QStringLiteral("/archive.sqlite"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(junk) == junk.size());
        file.close();
        sim().Send("measure 1 0x0800 4 7.5");
        TApp app;
        QVERIFY(app.Start(Root(), true));
        const QString box = app.WaitForLine(QStringLiteral("BOX "));
        QVERIFY2(box.contains(QStringLiteral("повреждён")), qPrintable(box));
        QVERIFY(!sim().WaitForLine("ACK 1", 30000).isEmpty());
        const QStringList aside =
            QDir(DataFolder()).entryList({QStringLiteral("archive.sqlite.damaged-*")}, QDir::Files);
        QCOMPARE(aside.size(), 1);
        QFile kept(DataFolder() + u'/' + aside[0]);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), junk);
        QCOMPARE(TArchive(DataFolder()).Count({}), 1);
    }

    void cleanup() {
        simProcess_.reset();
        rootDir_.reset();
    }
};

QTEST_MAIN(TstCrash)
#include "tst_crash.moc"
