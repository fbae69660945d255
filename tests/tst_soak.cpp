#include "analyser/OpSavro.h"
#include "archive/Archive.h"
#include "archive/LabServer.h"
#include "archive/LabUploader.h"
#include "config/ConfigFile.h"
#include "config/iniplus.h"
#include "controls/numedit.h"
#include "register/Unit1.h"
#include "results/ResultsTable.h"
#include "support/AppProcess.h"
#include "support/FormHarness.h"
#include "support/PgCluster.h"
#include "support/SimProcess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <array>
#include <map>
#include <memory>

#include <unistd.h>

namespace {

constexpr quint16 kDevice = 77;
constexpr int kIndicators = 27;
// Measurements queued ahead of the last acknowledged one.
constexpr quint64 kQueueDepth = 3;
// Rows gathered before the table is checked and replaced by New.
constexpr int kHarvestRows = 25;
// Growth of the resident set tolerated between warm-up and end, whatever
// the number of cycles.
constexpr qint64 kMaxGrowthBytes = 4 * 1024 * 1024;

// Sanitizers hold freed memory back on purpose, so the resident set grows
// with every allocation there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

int EnvInt(const char* name, int fallback) {
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok && v > 0 ? v : fallback;
}

// Resident set size of this process; -1 where /proc is not there.
qint64 ResidentBytes() {
    QFile f(QStringLiteral("/proc/self/statm"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = f.readAll().split(' ');
    bool ok = false;
    const qint64 pages = fields.size() > 1 ? fields[1].toLongLong(&ok) : 0;
    return ok ? pages * ::sysconf(_SC_PAGESIZE) : -1;
}

// Measurement id's indicators: every id has its own values, and the set of
// present indicators moves with the id, so a row written from a wrong
// record, into a wrong column or half-way cannot pass for a right one.
int ExtraIndicator(quint64 id) { return 2 + int(id % 24); }

QString MeasureLine(quint64 id) {
    QStringList values;
    for (int k = 0; k < kIndicators; ++k)
        values << QStringLiteral("0");
    values[0] = QString::number(id) + QStringLiteral(".25");
    values[1] = QStringLiteral("-") + QString::number(id) + QStringLiteral(".5");
    values[ExtraIndicator(id)] = QString::number(id) + QStringLiteral(".75");
    values[26] = QString::number(100000 + id);
    const quint32 mask = (1u << 0) | (1u << 1) | (1u << 26) | (1u << ExtraIndicator(id));
    return QStringLiteral("measure 0x%1 0x0800 %2 %3")
        .arg(mask, 0, 16)
        .arg(id % 256)
        .arg(values.join(u' '));
}

// Columns 4 to 31 of id's row, as the Russian locale writes them.
QList<QByteArray> ExpectedCells(quint64 id) {
    QList<QByteArray> cells(TResultsTable::ColCount - 4);
    const QByteArray n = QByteArray::number(id);
    cells[0] = QByteArray::number(id % 256);
    cells[1] = n + ",25";
    cells[2] = "-" + n + ",50";
    cells[ExtraIndicator(id) + 1] = n + ",75";
    cells[27] = QByteArray::number(100000 + id) + ",00";
    return cells;
}

// Two copies of the real program side by side, one analyser each.
constexpr std::array<quint16, 2> kCopyDevices = {31, 32};

// The copy's number in the calibration column and in the thousands of the
// first indicator, the measurement's id below them: a row in the wrong table
// names its copy.
QString CopyMeasureLine(int copy, int id) {
    return QStringLiteral("measure 1 0x0800 %1 %2.25").arg(copy + 1).arg((copy + 1) * 1000 + id);
}

} // namespace

// The window's handlers and the real poller against a simulator that spoils
// replies at random, for SAVRO2_SOAK_SECONDS: no acknowledged measurement is
// lost or doubled, no row is corrupted, memory does not grow with the cycles.
class TstSoak : public QObject {
    Q_OBJECT

    TFormHarness harness_;
    TPgCluster cluster_; // the lab server, down half of the time
    bool lab_ = false;
    TSimProcess sim_;
    std::unique_ptr<TForm1> form_;

    QStringList problems_;
    QByteArray partial_;
    quint64 queued_ = 0;
    quint64 acks_ = 0;
    quint64 sent_ = 0;
    quint64 harvested_ = 0; // the highest id taken from the table so far
    int harvests_ = 0;
    std::map<QString, int> faults_;
    bool topUp_ = true;
    int seed_ = 0;

    void Problem(const QString& text) {
        if (problems_.size() < 20)
            problems_ << text;
    }

    void TopUp() {
        while (topUp_ && queued_ < acks_ + kQueueDepth)
            sim_.Send(MeasureLine(++queued_));
    }

    // Reads the simulator's event lines as they come.
    void ReadEvents() {
        partial_ += sim_.Process().readAllStandardOutput();
        qsizetype nl;
        while ((nl = partial_.indexOf('\n')) >= 0) {
            const QByteArray line = partial_.left(nl).trimmed();
            partial_.remove(0, nl + 1);
            if (line.startsWith("ACK ")) {
                const quint64 id = line.mid(4).toULongLong();
                // The simulator acknowledges its queue in order.
                if (id != acks_ + 1)
                    Problem(QStringLiteral("ACK %1 after ACK %2").arg(id).arg(acks_));
                acks_ = id;
            } else if (line.startsWith("SENT ")) {
                ++sent_;
            } else if (line.startsWith("FAULT ")) {
                ++faults_[QString::fromLatin1(line.mid(6))];
            }
        }
        TopUp();
        if (form_->Table()->RowCount() - 2 >= kHarvestRows)
            Harvest();
    }

    // Checks every row of the table, then starts a new one with New, as an
    // operator beginning a new day would.
    void Harvest() {
        static const QRegularExpression date(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d{4}$"));
        static const QRegularExpression time(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d$"));
        const TResultsTable& t = *form_->Table();
        const int entry = t.RowCount() - 1;
        for (int r = 1; r <= entry; ++r) {
            if (t.Cell(0, r) != QByteArray::number(r))
                Problem(QStringLiteral("row %1 numbered %2").arg(r).arg(QString(t.Cell(0, r))));
        }
        for (int c = 1; c < TResultsTable::ColCount; ++c) {
            if (!t.Cell(c, entry).isEmpty())
                Problem(QStringLiteral("entry row has column %1 filled").arg(c));
        }
        for (int r = 1; r < entry; ++r) {
            const QByteArray first = t.Cell(5, r);
            const quint64 id = first.left(first.indexOf(',')).toULongLong();
            if (id != harvested_ + 1) {
                Problem(QStringLiteral("row for measurement %1 follows %2 (%3)")
                            .arg(id).arg(harvested_).arg(QString(first)));
            }
            harvested_ = qMax(harvested_, id);
            if (!t.Cell(1, r).isEmpty())
                Problem(QStringLiteral("measurement %1 has a sample name").arg(id));
            if (!date.match(QString::fromLatin1(t.Cell(2, r))).hasMatch() ||
                !time.match(QString::fromLatin1(t.Cell(3, r))).hasMatch())
                Problem(QStringLiteral("measurement %1 has a bad date or time").arg(id));
            const QList<QByteArray> want = ExpectedCells(id);
            for (int c = 4; c < TResultsTable::ColCount; ++c) {
                if (t.Cell(c, r) != want[c - 4]) {
                    Problem(QStringLiteral("measurement %1 column %2: '%3', want '%4'")
                                .arg(id).arg(c).arg(QString(t.Cell(c, r)), QString(want[c - 4])));
                }
            }
        }
        // The operator names the day's samples: each name reaches the archive.
        for (int r = 1; r < entry; ++r) {
            const QByteArray first = t.Cell(5, r);
            form_->Table()->setData(form_->Table()->index(r - 1, 0),
                                    QStringLiteral("проба %1").arg(QString(first.left(first.indexOf(',')))));
        }
        ++harvests_;
        if (entry > 1)
            form_->actNew->trigger();
        if (form_->Table()->RowCount() != 2)
            Problem(QStringLiteral("New left %1 rows").arg(form_->Table()->RowCount()));
    }

public:
    TstSoak() {
        // QtTest's own limit per test function (five minutes) must not cut a
        // long run short; it is read when the first function starts.
        if (!qEnvironmentVariableIsSet("QTEST_FUNCTION_TIMEOUT")) {
            const int seconds = EnvInt("SAVRO2_SOAK_SECONDS", 20);
            qputenv("QTEST_FUNCTION_TIMEOUT", QByteArray::number((seconds + 300) * 1000LL));
        }
    }

private slots:
    void initTestCase() {
        QVERIFY(harness_.IsValid());
        seed_ = EnvInt("SAVRO2_SOAK_SEED", 20261208);
        // Dropped acknowledgements make the analyser offer a recorded
        // measurement again once the interval has passed.
        QVERIFY(sim_.Start({"--device", QString::number(kDevice), "--faults", "0.3", "--noack",
                            "0.3", "--seed", QString::number(seed_)}));
        // Each harvest drops the checked rows without saving them (answer No).
        // The day's table is saved before New: a discarded table would give
        // its unconfirmed last record back to the analyser as a new row.
        harness_.Answer = QMessageBox::Yes;
        form_ = harness_.MakeForm();
        form_->Doc.Cycle().IntervalMs = 20;
        form_->Doc.Cycle().Locale = QLocale(QLocale::Russian, QLocale::Russia);
        form_->OpSavro1->Port = sim_.PortPath();
        form_->NumberEdit1->SetValue(kDevice);
        if (cluster_.Start()) {
            qputenv("PGPASSFILE", QFile::encodeName(cluster_.PassFile()));
            try {
                const TLabServer owner(cluster_.Settings(TPgCluster::Owner)); // makes the tables
                lab_ = true;
                form_->Uploader->Configure(cluster_.Settings(TPgCluster::Writer));
            } catch (const std::exception& e) {
                qWarning("no lab server: %s", e.what());
            }
        } else {
            qWarning("no lab server: %s", qPrintable(cluster_.Error()));
        }
        QObject::connect(&sim_.Process(), &QProcess::readyReadStandardOutput, this,
                         [this] { ReadEvents(); });
    }

    void acknowledgedMeasurementsAreKeptExactlyOnce() {
        const int seconds = EnvInt("SAVRO2_SOAK_SECONDS", 20);
        TopUp();
        form_->actOpr->trigger();
        QVERIFY(form_->OpSavro1->Active());

        QElapsedTimer elapsed;
        elapsed.start();
        qint64 rssWarm = -1;
        quint64 acksWarm = 0;
        // The lab server goes down and comes back every two seconds.
        QTimer serverFlip;
        connect(&serverFlip, &QTimer::timeout, this,
                [this] { cluster_.Running() ? cluster_.Stop(true) : cluster_.Start(); });
        if (lab_)
            serverFlip.start(2000);
        {
            // Warm-up: the first fifth of the run fills caches and pools.
            QEventLoop loop;
            QTimer::singleShot(seconds * 200, &loop, [&] {
                Harvest();
                rssWarm = ResidentBytes();
                acksWarm = acks_;
            });
            QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
            loop.exec();
        }
        QVERIFY2(harness_.Errors.isEmpty(), qPrintable(harness_.Errors.join('\n')));
        QVERIFY2(form_->OpSavro1->Active(), "polling ended during the run");

        // Let the queue drain (a dropped acknowledgement is repeated until
        // it gets through), then stop; every row left must be acknowledged,
        // and nothing else is.
        topUp_ = false;
        QTRY_VERIFY_WITH_TIMEOUT((ReadEvents(), acks_ == queued_), 30000);
        form_->actOpr->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!form_->OpSavro1->Active(), 30000);
        const auto settled = [this] {
            ReadEvents();
            return acks_ >= harvested_ + quint64(form_->Table()->RowCount() - 2);
        };
        QTRY_VERIFY_WITH_TIMEOUT(settled(), 10000);
        Harvest();
        const qint64 rssEnd = ResidentBytes();

        QString faultText;
        int faultCount = 0;
        for (const auto& [name, count] : faults_) {
            faultText += QStringLiteral(" %1=%2").arg(name).arg(count);
            faultCount += count;
        }
        qInfo().noquote() << QStringLiteral("SOAK seconds=%1 seed=%2 cycles(acks)=%3 sent=%4 harvests=%5")
                                 .arg(elapsed.elapsed() / 1000.0, 0, 'f', 1)
                                 .arg(seed_).arg(acks_).arg(sent_).arg(harvests_);
        qInfo().noquote() << QStringLiteral("SOAK faults=%1:%2").arg(faultCount).arg(faultText);
        const quint64 cycles = acks_ - acksWarm;
        qInfo().noquote()
            << QStringLiteral("SOAK rss warm=%1 KiB end=%2 KiB growth=%3 KiB over %4 cycles (%5 B/cycle)")
                   .arg(rssWarm / 1024).arg(rssEnd / 1024).arg((rssEnd - rssWarm) / 1024)
                   .arg(cycles)
                   .arg(cycles ? double(rssEnd - rssWarm) / double(cycles) : 0.0, 0, 'f', 1);

        QVERIFY2(problems_.isEmpty(), qPrintable(problems_.join('\n')));
        QVERIFY2(harness_.Errors.isEmpty(), qPrintable(harness_.Errors.join('\n')));
        QVERIFY(acks_ > 0);
        // Every acknowledged measurement was in the table, once and in order.
        QCOMPARE(harvested_, acks_);
        // Once the server stays up, it gets every measurement once, named.
        serverFlip.stop();
        if (lab_) {
            QVERIFY2(cluster_.Running() || cluster_.Start(), qPrintable(cluster_.Error()));
            const QString address = cluster_.Settings(TPgCluster::Writer).ServerId();
            const auto drained = [&] {
                TArchive* archive = form_->Doc.Archive();
                const TArchive::TBacklog backlog =
                    archive->Backlog(archive->ServerIdentity(address));
                return backlog.Measurements == 0 && backlog.Changes == 0;
            };
            QTRY_VERIFY_WITH_TIMEOUT(drained(), 120000);
            const QString db = QStringLiteral("savro2");
            QCOMPARE(cluster_.Value(db, QStringLiteral("SELECT count(*) FROM measurement")).toULongLong(), acks_);
            QCOMPARE(cluster_.Value(db, QStringLiteral("SELECT count(*) FROM measurement "
                                                       "WHERE current_name LIKE 'проба %'")).toULongLong(),
                     acks_);
        }
        // ... and is in the archive once, named, with its name's history.
        TArchive* archive = form_->Doc.Archive();
        QVERIFY(archive);
        std::map<quint64, int> archived;
        archive->ForEach({}, [&](const TArchiveMeasurement& m) {
            const quint64 id = quint64(*m.Values[0]);
            ++archived[id];
            const std::vector<TNameChange> history = archive->NameHistory(m.Uid);
            if (m.SampleName != QStringLiteral("проба %1").arg(id) || history.size() != 1)
                Problem(QStringLiteral("archived measurement %1 named '%2' after %3 changes")
                            .arg(id).arg(m.SampleName).arg(history.size()));
            return true;
        });
        QCOMPARE(quint64(archived.size()), acks_);
        QVERIFY(std::all_of(archived.begin(), archived.end(), [](const auto& e) { return e.second == 1; }));
        QVERIFY2(problems_.isEmpty(), qPrintable(problems_.join('\n')));
        if (rssWarm < 0 || rssEnd < 0)
            QSKIP("no /proc/self/statm here: memory not measured");
        if (kSanitized)
            QSKIP("sanitizer build: memory growth not judged");
        QVERIFY2(rssEnd - rssWarm < kMaxGrowthBytes,
                 qPrintable(QStringLiteral("resident set grew by %1 KiB")
                                .arg((rssEnd - rssWarm) / 1024)));
    }

    // Two copies of the real program, each on its own settings and its own
    // simulator, poll side by side with acknowledgements dropped at random:
    // each acknowledged measurement is in its own copy's table once and in
    // the other's never, and their recovery copies stay apart.
    void twoCopiesKeepTheirOwnMeasurements() {
        if (kSanitized)
            QSKIP("the driver cannot be preloaded into a sanitizer build");
        const int count = EnvInt("SAVRO2_SOAK_COPY_MEASUREMENTS",
                                 qMax(8, EnvInt("SAVRO2_SOAK_SECONDS", 20) / 4));
        QTemporaryDir root;
        QVERIFY(root.isValid());
        std::array<TSimProcess, 2> sims;
        std::array<TAppProcess, 2> apps;
        for (int c = 0; c < 2; ++c) {
            QVERIFY(sims[c].Start({"--device", QString::number(kCopyDevices[c]), "--noack", "0.25",
                                   "--seed", QString::number(seed_ + c)}));
            const QString folder = root.filePath(QStringLiteral("line%1").arg(c + 1));
            QVERIFY(QDir().mkpath(folder));
            const QString ini = folder + QStringLiteral("/Savro2.Ini");
            EnsureConfigFile(ini);
            TIniPlus config(ini);
            config.WriteText(QStringLiteral("Config"), QStringLiteral("COM"), sims[c].PortPath());
            config.WriteNumber(QStringLiteral("Config"), QStringLiteral("DeviceNumber"),
                               kCopyDevices[c]);
            for (int id = 1; id <= count; ++id)
                sims[c].Send(CopyMeasureLine(c, id));
            // Same working folder, so the same "Новый.txt" for both.
            QVERIFY(apps[c].Start(QStringLiteral(SAVRO2_APP_PATH), {"--settings", folder},
                                  TAppProcess::Environment(root.path(),
                                                           QStringLiteral(SAVRO2_DRIVER_PATH), true),
                                  root.path()));
        }
        for (TAppProcess& app : apps)
            QVERIFY2(!app.WaitForLine(QStringLiteral("POLLING")).isEmpty(),
                     qPrintable(app.Lines().join(u'\n')));

        // Each turn's end moves that copy's clock past the interval, so the
        // next record is asked for at once; a copy that went quiet (a lost
        // reply) is moved on again.
        std::array<int, 2> acks{};
        std::array<qsizetype, 2> read{};
        std::array<QDeadlineTimer, 2> quiet;
        QStringList problems;
        const QDeadlineTimer deadline(60000 + count * 2000);
        while (acks[0] < count || acks[1] < count) {
            for (int c = 0; c < 2; ++c) {
                const QStringList lines = sims[c].Lines();
                bool turnEnded = false;
                for (; read[c] < lines.size(); ++read[c]) {
                    const QString& line = lines[read[c]];
                    if (line.startsWith(QStringLiteral("ACK "))) {
                        const int id = line.mid(4).toInt();
                        if (id != acks[c] + 1)
                            problems << QStringLiteral("copy %1: ACK %2 after ACK %3").arg(c + 1).arg(id).arg(acks[c]);
                        acks[c] = id;
                        turnEnded = true;
                    } else if (line.startsWith(QStringLiteral("FAULT "))) {
                        turnEnded = true;
                    }
                }
                if (turnEnded || quiet[c].hasExpired()) {
                    apps[c].Send("later");
                    quiet[c].setRemainingTime(1000);
                }
            }
            QVERIFY2(!deadline.hasExpired(),
                     qPrintable(QStringLiteral("acknowledged %1 and %2 of %3")
                                    .arg(acks[0]).arg(acks[1]).arg(count)));
            QVERIFY2(apps[0].IsRunning() && apps[1].IsRunning(), "a copy ended");
            QTest::qWait(20);
        }
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));

        // Column 5 holds copy * 1000 + id; the entry row has none.
        static const QRegularExpression value(QStringLiteral("^(\\d+)[.,]25$"));
        for (int c = 0; c < 2; ++c) {
            const QList<QStringList> rows = apps[c].Dump();
            QVERIFY(!rows.isEmpty());
            std::map<int, int> seen;
            for (const QStringList& row : rows) {
                if (row.value(5).isEmpty())
                    continue;
                const QRegularExpressionMatch m = value.match(row[5]);
                QVERIFY2(m.hasMatch(), qPrintable(row.join(u'|')));
                const int number = m.captured(1).toInt();
                QVERIFY2(number / 1000 == c + 1 && row[4] == QString::number(c + 1),
                         qPrintable(QStringLiteral("copy %1 has %2").arg(c + 1).arg(row.join(u'|'))));
                ++seen[number % 1000];
            }
            for (int id = 1; id <= acks[c]; ++id)
                QVERIFY2(seen[id] == 1, qPrintable(QStringLiteral("copy %1 has measurement %2 %3 times")
                                                       .arg(c + 1).arg(id).arg(seen[id])));
            QCOMPARE(int(seen.size()), acks[c]);
        }
        qInfo().noquote() << QStringLiteral("SOAK copies: %1 measurements each, %2 and %3 dropped acknowledgements")
                                 .arg(count)
                                 .arg(sims[0].CountLines(QStringLiteral("FAULT noack")))
                                 .arg(sims[1].CountLines(QStringLiteral("FAULT noack")));

        // Each profile's recovery copy in its own folder, none in the default one.
        const QString data = root.filePath(QStringLiteral("data/Savro2"));
        const QStringList profiles =
            QDir(data + QStringLiteral("/profiles")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QCOMPARE(profiles.size(), 2);
        for (const QString& profile : profiles)
            QVERIFY2(!QDir(data + QStringLiteral("/profiles/") + profile)
                          .entryList({QStringLiteral("*.txt")}, QDir::Files).isEmpty(),
                     qPrintable(profile));
        QVERIFY(QDir(data).entryList({QStringLiteral("*.txt")}, QDir::Files).isEmpty());
    }

    void cleanupTestCase() {
        if (form_)
            form_->close();
        form_.reset();
    }
};

QTEST_MAIN(TstSoak)
#include "tst_soak.moc"
