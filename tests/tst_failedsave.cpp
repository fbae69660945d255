#include "app/Application.h"
#include "register/Unit1.h"
#include "results/ResultsTable.h"

#include "support/FormHarness.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <csignal>
#include <memory>

#include <cerrno>
#include <sys/mount.h>
#include <sys/resource.h>

namespace {

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

bool WriteAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// A results file of two measurements and the entry row.
QByteArray PreviousFile() {
    const QByteArray tabs(25, '\t');
    return "first\t08.12.2026\t09:00:00\t5\t12,50\t-0,75" + tabs + "\r\n" +
           "second\t08.12.2026\t09:02:00\t5\t13,50\t-1,75" + tabs + "\r\n" +
           QByteArray(30, '\t') + "\r\n";
}

enum class TFault { ReadOnlyFile, ReadOnlyFolder, MissingFolder, FullDisk, FileSizeLimit, CommitRefused };

bool Chattr(const char* flag, const QString& path) {
    QProcess p;
    p.start(QStringLiteral("chattr"), {QString::fromLatin1(flag), path});
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// One way for a save to fail, set up on the folder of the results file and
// taken away again on every way out of the test.
class TFaultGuard {
public:
    TFaultGuard(TFault fault, QString folder) : fault_(fault), folder_(std::move(folder)) {}
    ~TFaultGuard() { Remove(); }
    TFaultGuard(const TFaultGuard&) = delete;
    TFaultGuard& operator=(const TFaultGuard&) = delete;

    // Before the previous file is written: a small file system of its own.
    QString Prepare() {
        if (fault_ != TFault::FullDisk)
            return {};
        if (::mount("tmpfs", QFile::encodeName(folder_).constData(), "tmpfs",
                    MS_NOSUID | MS_NODEV, "size=128k") != 0)
            return QStringLiteral("cannot mount a small tmpfs here (%1)").arg(qt_error_string(errno));
        mounted_ = true;
        return {};
    }

    // After it: the fault itself. An empty result means it is in force,
    // otherwise the reason it cannot be made here.
    QString Apply(const QString& file) {
        switch (fault_) {
        case TFault::ReadOnlyFile:
        case TFault::ReadOnlyFolder: {
            // Permission bits do not stop root, the immutable flag does; it
            // needs root, so anyone else gets the permission bits.
            const QString target = fault_ == TFault::ReadOnlyFile ? file : folder_;
            if (Chattr("+i", target)) {
                immutable_ = target;
            } else {
                oldPermissions_ = QFile::permissions(target);
                if (QFile::setPermissions(target, oldPermissions_ & ~(QFile::WriteOwner |
                                                                      QFile::WriteUser |
                                                                      QFile::WriteGroup |
                                                                      QFile::WriteOther)))
                    readOnly_ = target;
            }
            QFile probe(fault_ == TFault::ReadOnlyFile ? file : folder_ + "/probe.txt");
            if (probe.open(QIODevice::WriteOnly | QIODevice::Append)) {
                probe.close();
                if (fault_ == TFault::ReadOnlyFolder)
                    probe.remove();
                return QStringLiteral("neither chattr +i nor permission bits stop writing here");
            }
            return {};
        }
        case TFault::MissingFolder:
            // The folder goes away, as a removed stick or network share would.
            moved_ = folder_ + "-removed";
            if (!QDir().rename(folder_, moved_)) {
                moved_.clear();
                return QStringLiteral("cannot move the folder away");
            }
            return {};
        case TFault::FullDisk:
            return {};
        case TFault::CommitRefused:
            // An append-only folder takes the new copy but refuses to let it
            // replace the file: everything succeeds up to the final commit.
            if (!Chattr("+a", folder_))
                return QStringLiteral("chattr +a is not available here");
            appendOnly_ = folder_;
            return {};
        case TFault::FileSizeLimit: {
            rlimit lowered{};
            ::getrlimit(RLIMIT_FSIZE, &oldLimit_);
            lowered = oldLimit_;
            lowered.rlim_cur = 64 * 1024;
            oldSignal_ = std::signal(SIGXFSZ, SIG_IGN);
            limited_ = ::setrlimit(RLIMIT_FSIZE, &lowered) == 0;
            return limited_ ? QString() : QStringLiteral("cannot lower the file size limit");
        }
        }
        return {};
    }

    // Where the previous file is now.
    QString PreviousPath(const QString& file) const {
        return moved_.isEmpty() ? file : moved_ + "/" + QFileInfo(file).fileName();
    }

    void Remove() {
        if (!appendOnly_.isEmpty())
            Chattr("-a", appendOnly_);
        appendOnly_.clear();
        if (!immutable_.isEmpty())
            Chattr("-i", immutable_);
        immutable_.clear();
        if (!readOnly_.isEmpty())
            QFile::setPermissions(readOnly_, oldPermissions_);
        readOnly_.clear();
        if (!moved_.isEmpty())
            QDir().rename(moved_, folder_);
        moved_.clear();
        if (limited_) {
            ::setrlimit(RLIMIT_FSIZE, &oldLimit_);
            std::signal(SIGXFSZ, oldSignal_);
        }
        limited_ = false;
        if (mounted_ && ::umount2(QFile::encodeName(folder_).constData(), 0) != 0)
            ::umount2(QFile::encodeName(folder_).constData(), MNT_DETACH);
        mounted_ = false;
    }

private:
    TFault fault_;
    QString folder_;
    QString immutable_;
    QString appendOnly_;
    QString readOnly_;
    QFile::Permissions oldPermissions_;
    QString moved_;
    bool mounted_ = false;
    bool limited_ = false;
    rlimit oldLimit_{};
    void (*oldSignal_)(int) = SIG_DFL;
};

} // namespace

Q_DECLARE_METATYPE(TFault)

// The Save command failing in each way a disk can refuse it: the previous file
// stays as it was, the table still counts as unsaved, the title keeps its
// name, and the operator reads the matching error.
class TstFailedSave : public QObject {
    Q_OBJECT

    std::unique_ptr<TFormHarness> harness_;
    std::unique_ptr<TForm1> form_;

private slots:
    void init() {
        harness_ = std::make_unique<TFormHarness>();
        QVERIFY(harness_->IsValid());
        form_ = harness_->MakeForm();
    }

    void cleanup() {
        if (form_)
            form_->close();
        form_.reset();
        harness_.reset();
    }

    void saveFails_data() {
        QTest::addColumn<TFault>("fault");
        QTest::addColumn<QString>("message");
        QTest::newRow("read-only file") << TFault::ReadOnlyFile << "File access denied.";
        QTest::newRow("read-only folder") << TFault::ReadOnlyFolder << "File access denied.";
        QTest::newRow("missing folder") << TFault::MissingFolder << "Invalid filename.";
        // ENOSPC has no text of its own: the generic one with its number.
        QTest::newRow("full disk") << TFault::FullDisk << "I/O error 28.";
        QTest::newRow("file size limit") << TFault::FileSizeLimit << "I/O error 27.";
        QTest::newRow("final commit refused") << TFault::CommitRefused << "File access denied.";
    }
    void saveFails() {
        QFETCH(TFault, fault);
        QFETCH(QString, message);

        const QString folder = harness_->Path("day");
        const QString file = folder + "/results.txt";
        QVERIFY(QDir().mkpath(folder));
        TFaultGuard guard(fault, folder);
        const QString unavailable = guard.Prepare();
        if (!unavailable.isEmpty())
            QSKIP(qPrintable(unavailable));
        QVERIFY(WriteAll(file, PreviousFile()));

        // The operator opens the file and records far more than the disk holds.
        form_->OpenDialog1 = [&](const QString&) { return file; };
        form_->actOpenFile->trigger();
        QVERIFY2(harness_->Errors.isEmpty(), qPrintable(harness_->Errors.join('\n')));
        TResultsTable& table = *form_->Table();
        QCOMPARE(table.RowCount(), 4);
        for (int n = 0; n < 3000; ++n) {
            table.SetCell(1, table.RowCount() - 1, QByteArray::number(n).leftJustified(100, '.'));
            table.AddEntryRow();
        }
        table.SetModified(true);
        const QString title = form_->windowTitle();
        QVERIFY(title.contains(file));

        const QString notHere = guard.Apply(file);
        if (!notHere.isEmpty())
            QSKIP(qPrintable(notHere));
        form_->actSave->trigger();

        QCOMPARE(harness_->Errors, QStringList{ApplicationTitle() + "|" + message});
        const QString previous = guard.PreviousPath(file);
        QCOMPARE(ReadAll(previous), PreviousFile());
        QVERIFY(table.Modified());
        QCOMPARE(form_->windowTitle(), title);
        QCOMPARE(form_->CurrentFileName(), file);
        // No half-written copy is left beside it (an append-only folder keeps
        // even what may be removed), and no folder is made up.
        const QStringList beside = QDir(QFileInfo(previous).path()).entryList(QDir::Files | QDir::Hidden);
        if (fault != TFault::CommitRefused)
            QCOMPARE(beside, QStringList{"results.txt"});
        else // the new copy was written: it was the commit that failed
            QCOMPARE(beside.size(), 2);
        if (fault == TFault::MissingFolder)
            QVERIFY(!QFileInfo::exists(folder));
        guard.Remove();

        // Once the disk takes it again, the same command saves the table.
        harness_->Errors.clear();
        form_->actSave->trigger();
        QVERIFY2(harness_->Errors.isEmpty(), qPrintable(harness_->Errors.join('\n')));
        QVERIFY(!table.Modified());
        const QByteArray written = ReadAll(file);
        QCOMPARE(written.count('\n'), qsizetype(table.RowCount() - 1));
        QVERIFY(written.startsWith(PreviousFile().left(PreviousFile().size() - 32)));
    }
};

QTEST_MAIN(TstFailedSave)
#include "tst_failedsave.moc"
