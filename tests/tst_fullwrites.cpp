// Every file the program writes for a person or for its next start, on a
// really full disk (a small file system of the test's own, as root): the
// write fails with the system's reason and the earlier file stays whole;
// with room again the same write is whole.
#include "archive/Archive.h"
#include "archive/ArchiveExport.h"
#include "archive/ArchiveSettings.h"
#include "chart/ChartWindow.h"
#include "config/ConfigFile.h"
#include "config/SaveFile.h"
#include "report/Report.h"
#include "report/ReportPainter.h"
#include "results/RecordCycle.h"
#include "results/ResultsFile.h"
#include "support/RecordReply.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

const QDateTime kDay(QDate(2026, 12, 9), QTime(9, 0));

} // namespace

class TstFullWrites : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    bool disk_ = false;
    TResultsTable table_;
    std::unique_ptr<TArchive> archive_;

    QString Disk(const QString& name) const { return dir_.filePath(QStringLiteral("disk/") + name); }

    // Writes until the file system refuses another byte.
    void FillDisk() {
        QFile filler(Disk(QStringLiteral("filler")));
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        const QByteArray block(4096, 'x');
        while (filler.write(block) == block.size()) {
        }
        while (filler.write("x", 1) == 1) {
        }
    }

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        const QByteArray disk = QFile::encodeName(dir_.filePath(QStringLiteral("disk")));
        QVERIFY(QDir().mkpath(dir_.filePath(QStringLiteral("disk"))));
        // A private mount namespace: the small disk vanishes with the process.
        disk_ = ::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0 &&
                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                ::mount("tmpfs", disk.constData(), "tmpfs", 0, "size=4m") == 0;
        if (!disk_)
            QSKIP("a file system of its own needs root");
        TRecordCycle cycle;
        cycle.Now = [] { return kDay; };
        for (int i = 0; i < 40; ++i) {
            cycle.AppendMeasurement(table_, [&] {
                TMeasurementRecord record;
                record.Mask = 3;
                record.Calibration = 2;
                record.Values[0] = 4 + i * 0.25;
                record.Values[1] = 1.01;
                return record;
            }(), kDay.addSecs(600 * i));
        }
        archive_ = std::make_unique<TArchive>(dir_.filePath(QStringLiteral("archive")));
        for (int i = 0; i < 40; ++i)
            archive_->Add(TArchive::FromRecord(DecodeRecordBytes(RecordReply(4 + i * 0.25)),
                                               kDay.addSecs(600 * i), 1, QStringLiteral("ttyUSB0")));
    }

    void cleanupTestCase() {
        archive_.reset();
        if (disk_)
            ::umount2(QFile::encodeName(dir_.filePath(QStringLiteral("disk"))).constData(),
                      MNT_DETACH);
    }

    void fullDiskLeavesTheEarlierFileWhole_data() {
        QTest::addColumn<QString>("writer");
        for (const char* writer : {"results file", "csv-ru export", "jsonl export", "report PDF",
                                   "chart PNG", "chart PDF", "settings"})
            QTest::newRow(writer) << QString::fromLatin1(writer);
    }

    void fullDiskLeavesTheEarlierFileWhole() {
        QFETCH(QString, writer);
        const QString target = Disk(QStringLiteral("target"));
        const std::function<void()> write = [&] {
            if (writer == QLatin1String("results file")) {
                SaveResultsFile(table_, target);
            } else if (writer.endsWith(QLatin1String("export"))) {
                TArchiveExport::WriteFile(*archive_, {}, writer.startsWith(u'j')
                                                             ? TExportFormat::JsonLines
                                                             : TExportFormat::CsvRu,
                                          TArchiveSettings(), {}, target);
            } else if (writer == QLatin1String("report PDF")) {
                TRecordCycle cycle;
                TReportPainter::WritePdf(TReport::FromTable(table_, target, nullptr, {0, 1},
                                                            TArchiveSettings(), cycle),
                                         target);
            } else if (writer.startsWith(QLatin1String("chart"))) {
                TChartWindow chart(&table_);
                chart.ExportChart(target + (writer.endsWith(QLatin1String("PDF"))
                                                ? QStringLiteral(".pdf")
                                                : QString()));
            } else {
                SaveResourceToFile(QStringLiteral("TXTFILE"), QStringLiteral("INIFILE1"), target);
            }
        };
        const QString written =
            target + (writer == QLatin1String("chart PDF") ? QStringLiteral(".pdf") : QString());
        const QByteArray earlier = QByteArray("the earlier file, whole\r\n").repeated(40);
        QVERIFY(WriteAll(written, earlier));

        FillDisk();
        bool failed = false;
        QString reason;
        try {
            write();
        } catch (const std::exception& e) {
            failed = true;
            reason = QString::fromUtf8(e.what());
        }
        QVERIFY2(failed, "a write onto a full disk reported success");
        QVERIFY2(!reason.trimmed().isEmpty(), qPrintable(reason));
        QCOMPARE(ReadAll(written), earlier);
        // Nothing half written is left beside it.
        const QStringList left = QDir(Disk({})).entryList(QDir::Files);
        QVERIFY2(left.size() == 2, qPrintable(left.join(u' ')));

        QVERIFY(QFile::remove(Disk(QStringLiteral("filler"))));
        write();
        const QByteArray whole = ReadAll(written);
        QVERIFY(whole != earlier);
        if (writer.endsWith(QLatin1String("PDF")))
            QVERIFY(whole.trimmed().endsWith("%%EOF"));
        if (writer == QLatin1String("chart PNG"))
            QVERIFY(whole.contains("IEND"));
        QVERIFY(QFile::remove(written));
    }
};

QTEST_MAIN(TstFullWrites)
#include "tst_fullwrites.moc"
