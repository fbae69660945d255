#include "register/ClGrid.h"
#include "register/PrintTable.h"
#include "register/Unit1.h"
#include "results/ResultsTable.h"
#include "support/FormHarness.h"
#include "support/TestFiles.h"

#include <QAction>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFontMetrics>
#include <QPrinter>
#include <QPrinterInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace {

const QString kCupsd = QStringLiteral("/usr/sbin/cupsd");
const QString kBackend = QStringLiteral("/usr/lib/cups/backend/cups-pdf");
const QString kPpd = QStringLiteral("/usr/share/ppd/cups-pdf/CUPS-PDF_opt.ppd");
const QString kQueue = QStringLiteral("SavroPDF");

// Where cups-pdf puts the PDFs of this user: its "Out" setting, ${HOME} and
// ${USER} expanded.
QString CupsPdfFolder() {
    const passwd* user = ::getpwuid(::geteuid());
    const QString name = user ? QString::fromLocal8Bit(user->pw_name) : QString();
    const QString home = user ? QString::fromLocal8Bit(user->pw_dir) : QDir::homePath();
    QString out = QStringLiteral("/var/spool/cups-pdf/${USER}");
    QFile conf(QStringLiteral("/etc/cups/cups-pdf.conf"));
    if (conf.open(QIODevice::ReadOnly)) {
        static const QRegularExpression line(QStringLiteral(R"(^\s*Out\s+(\S+))"));
        for (const QByteArray& raw : conf.readAll().split('\n')) {
            const auto m = line.match(QString::fromLocal8Bit(raw));
            if (m.hasMatch())
                out = m.captured(1);
        }
    }
    out.replace(QLatin1String("${HOME}"), home).replace(QLatin1String("${USER}"), name);
    return out;
}

// A CUPS scheduler of our own: private configuration, spool and socket, one
// cups-pdf queue as the default printer. It ends with the test, also when the
// test process dies.
class TPrivateCups {
public:
    ~TPrivateCups() { Stop(); }

    // Empty when running, else why it could not be started.
    QString Start() {
        for (const QString& needed : {kCupsd, kBackend, kPpd})
            if (!QFile::exists(needed))
                return needed + QStringLiteral(" is not installed (scripts/setup installs cups and printer-driver-cups-pdf)");
        if (QStandardPaths::findExecutable(QStringLiteral("pdfinfo")).isEmpty())
            return QStringLiteral("pdfinfo (poppler-utils) is not installed");
        if (::geteuid() != 0)
            return QStringLiteral("the cups-pdf backend runs only under a scheduler started by root");
        if (!dir_.isValid())
            return QStringLiteral("no temporary folder");
        const QString root = dir_.path();
        // Filters run as lp and must reach the spool.
        QFile::setPermissions(root, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                        QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                        QFile::ExeOther);
        for (const char* sub : {"etc/ppd", "spool", "cache", "state", "tmp", "log"})
            QDir().mkpath(root + u'/' + QLatin1String(sub));
        // Filters write their temporary files as lp.
        if (::chmod(QFile::encodeName(root + QStringLiteral("/tmp")).constData(), 01777) != 0)
            return QStringLiteral("cannot open the scheduler's temporary folder to lp");
        socket_ = root + QStringLiteral("/cups.sock");
        const QByteArray r = QFile::encodeName(root);
        const bool written =
            QFile::copy(kPpd, root + QStringLiteral("/etc/ppd/") + kQueue + QStringLiteral(".ppd")) &&
            WriteAll(root + QStringLiteral("/etc/cupsd.conf"),
                     "Listen " + QFile::encodeName(socket_) + "\n"
                     "LogLevel warn\nBrowsing No\nWebInterface No\nDefaultAuthType None\n"
                     "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                     "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n") &&
            WriteAll(root + QStringLiteral("/etc/cups-files.conf"),
                     "ServerRoot " + r + "/etc\nStateDir " + r + "/state\nCacheDir " + r +
                         "/cache\nRequestRoot " + r + "/spool\nTempDir " + r +
                         "/tmp\nServerBin /usr/lib/cups\nDataDir /usr/share/cups\n"
                         "ErrorLog " + r + "/log/error_log\nAccessLog " + r +
                         "/log/access_log\nPageLog " + r + "/log/page_log\n") &&
            WriteAll(root + QStringLiteral("/etc/printers.conf"),
                     "<DefaultPrinter " + kQueue.toLatin1() +
                         ">\nDeviceURI cups-pdf:/\nState Idle\nAccepting Yes\nShared No\n</DefaultPrinter>\n");
        if (!written)
            return QStringLiteral("cannot write the scheduler's configuration");

        cupsd_.setProgram(kCupsd);
        cupsd_.setArguments({QStringLiteral("-f"), QStringLiteral("-c"), root + QStringLiteral("/etc/cupsd.conf"),
                             QStringLiteral("-s"), root + QStringLiteral("/etc/cups-files.conf")});
        cupsd_.setProcessChannelMode(QProcess::MergedChannels);
        // The scheduler must not outlive a test that crashes or is killed.
        cupsd_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        cupsd_.start();
        if (!cupsd_.waitForStarted(10000))
            return QStringLiteral("cupsd did not start: ") + cupsd_.errorString();
        const QDeadlineTimer ready(20000);
        while (!QFile::exists(socket_) && !ready.hasExpired() && cupsd_.state() == QProcess::Running)
            QTest::qWait(50);
        if (!QFile::exists(socket_))
            return QStringLiteral("cupsd did not come up: ") + QString::fromLocal8Bit(cupsd_.readAll()) +
                   QString::fromLocal8Bit(ErrorLog().right(2000));
        return {};
    }

    QString Socket() const { return socket_; }
    QByteArray ErrorLog() const {
        QFile f(dir_.filePath(QStringLiteral("log/error_log")));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    void Stop() {
        if (cupsd_.state() == QProcess::NotRunning)
            return;
        cupsd_.terminate();
        if (!cupsd_.waitForFinished(10000)) {
            cupsd_.kill();
            cupsd_.waitForFinished(5000);
        }
    }

private:
    QTemporaryDir dir_;
    QString socket_;
    QProcess cupsd_;
};

// The backend writes the PDF in place; it is whole once it ends in %%EOF.
bool Complete(const QString& pdf) {
    QFile f(pdf);
    if (!f.open(QIODevice::ReadOnly) || f.size() < 8)
        return false;
    f.seek(std::max<qint64>(0, f.size() - 32));
    return f.readAll().contains("%%EOF");
}

int PdfPages(const QString& pdf) {
    QProcess info;
    info.start(QStringLiteral("pdfinfo"), {pdf});
    if (!info.waitForFinished(30000) || info.exitCode() != 0)
        return -1;
    static const QRegularExpression pages(QStringLiteral(R"(^Pages:\s+(\d+))"),
                                          QRegularExpression::MultilineOption);
    const auto m = pages.match(QString::fromLocal8Bit(info.readAllStandardOutput()));
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

} // namespace

// The Print command through a real spooler: a table of several pages goes to
// the default printer (a cups-pdf queue) and arrives as a PDF of as many pages.
class TstCupsPrint : public QObject {
    Q_OBJECT

    TPrivateCups cups_;

private slots:
    void initTestCase() {
        const QString unavailable = cups_.Start();
        if (!unavailable.isEmpty())
            QSKIP(qPrintable(unavailable));
        // Before the first CUPS call of this process, which keeps the server.
        qputenv("CUPS_SERVER", QFile::encodeName(cups_.Socket()));
    }

    void cleanupTestCase() { cups_.Stop(); }

    void printCommandSendsAllPages() {
        const QPrinterInfo printer = QPrinterInfo::defaultPrinter();
        QVERIFY2(!printer.isNull(), "the private scheduler offers no default printer");
        QCOMPARE(printer.printerName(), kQueue);

        TFormHarness h;
        QVERIFY(h.IsValid());
        auto form = h.MakeForm();
        // A name of its own, so the PDF of this run is told from any other.
        const QString name = QStringLiteral("cups-%1-%2.txt").arg(::getpid()).arg(QDateTime::currentMSecsSinceEpoch());
        form->OpenDialog1 = [&](const QString&) { return h.Path(name); };
        form->actOpenFile->trigger();
        TResultsTable& table = *form->Table();
        for (int n = 1; n <= 150; ++n) {
            table.SetCell(1, table.RowCount() - 1, "Sample " + QByteArray::number(n));
            table.AddEntryRow();
        }
        QPrinter probe(printer, QPrinter::HighResolution);
        int visible = 0;
        for (int c = 0; c < TResultsTable::ColCount; ++c)
            visible += table.ColVisible(c) ? 1 : 0;
        const TPrintLayout layout = ComputePrintLayout(
            probe.width(), probe.height(), QFontMetrics(form->MainGrid->font(), &probe).height(), visible);
        const int rows = table.RowCount() - 1;
        const int expectedPages = (rows + layout.RowsPerPage - 1) / layout.RowsPerPage;
        QVERIFY(expectedPages > 1);

        const QString folder = CupsPdfFolder();
        const QStringList before = QDir(folder).entryList({QStringLiteral("*.pdf")}, QDir::Files);
        form->actPrint->trigger();
        QVERIFY2(h.Errors.isEmpty(), qPrintable(h.Errors.join(u'\n')));

        // The job goes through the filters and the backend on its own time.
        QString pdf;
        int pages = -1;
        const QDeadlineTimer done(120000);
        while (!done.hasExpired()) {
            const QStringList now = QDir(folder).entryList({QStringLiteral("*.pdf")}, QDir::Files);
            for (const QString& file : now) {
                // cups-pdf names the file after the job, which is named after the table's file.
                if (!before.contains(file) && file.contains(QFileInfo(name).completeBaseName()))
                    pdf = QDir(folder).filePath(file);
            }
            if (!pdf.isEmpty() && Complete(pdf) && (pages = PdfPages(pdf)) > 0)
                break;
            QTest::qWait(200);
        }
        QVERIFY2(!pdf.isEmpty(), qPrintable(QStringLiteral("no PDF arrived in %1; scheduler log:\n%2")
                                                .arg(folder, QString::fromLocal8Bit(cups_.ErrorLog().right(3000)))));
        QFile::remove(pdf);
        QCOMPARE(pages, expectedPages);
    }
};

QTEST_MAIN(TstCupsPrint)
#include "tst_cupsprint.moc"
