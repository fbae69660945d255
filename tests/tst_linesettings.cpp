#include "analyser/OpSavro.h"
#include "support/PtyPair.h"

#include <QElapsedTimer>
#include <QTest>

#include <termios.h>

#include <optional>

namespace {

constexpr int kBound = 15000;
constexpr int kRecordLength = 234;

// Runs the real poller on a pseudo-terminal: one command 6, then idle.
struct TRecordRequest {
    explicit TRecordRequest(TPtyPair& pty) {
        poller.Port = pty.SlavePath();
        poller.OnGetNumber = [this, &pty](TOpSavro* s) {
            if (!lineSettings) {
                termios t{};
                if (tcgetattr(pty.MasterFd(), &t) == 0)
                    lineSettings = t;
            }
            if (!asked) {
                asked = true;
                s->DeviceNumber = 1;
                s->Command = 6;
                sent.start();
            }
        };
        poller.OnPutResult = [this](TOpSavro* s) {
            if (s->Command != 6)
                return;
            elapsedMs = sent.elapsed();
            count = s->Reply.Count;
            status = s->Reply.Status;
            s->Command = 0;
        };
    }
    ~TRecordRequest() { poller.Stop(); }

    TOpSavro poller;
    bool asked = false;
    QElapsedTimer sent;
    qint64 elapsedMs = -1;
    int count = -1;
    int status = -1;
    std::optional<termios> lineSettings;
};

} // namespace

// What the poller asks of the serial line, read back from the line itself.
class TestLineSettings : public QObject {
    Q_OBJECT
private slots:
    // 9600 baud, 8 data bits, odd parity, no flow control. The pty driver
    // drops PARENB by itself but keeps PARODD and the speed.
    void analyserLineSettings() {
        TPtyPair pty;
        TRecordRequest run(pty);
        run.poller.Start();
        QTRY_VERIFY_WITH_TIMEOUT(run.lineSettings.has_value(), kBound);
        const termios& t = *run.lineSettings;
        QCOMPARE(cfgetospeed(&t), speed_t(B9600));
        QCOMPARE(cfgetispeed(&t), speed_t(B9600));
        QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
        QVERIFY2(t.c_cflag & PARODD, "odd parity");
        QVERIFY(!(t.c_cflag & CSTOPB));
        QVERIFY(!(t.c_cflag & CRTSCTS));
        QVERIFY(!(t.c_iflag & (IXON | IXOFF)));
    }

    // Each read of the 234-byte record waits 234 x 1 ms + 50 ms, and every
    // read asks for the full length: a reply inside that bound is collected
    // whole, and a rest that comes after a first read has timed out gets a
    // full bound of its own.
    void recordReadTimeOut_data() {
        QTest::addColumn<int>("firstPart");
        QTest::addColumn<int>("firstDelayMs");
        QTest::addColumn<int>("restDelayMs");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("minElapsedMs");
        QTest::newRow("no reply waits the whole bound") << 0 << 0 << 0 << 0 << 200;
        QTest::newRow("a late reply inside the bound") << kRecordLength << 150 << 0 << kRecordLength << 100;
        QTest::newRow("the rest after a timed-out read") << 200 << 0 << 400 << kRecordLength << 300;
    }
    void recordReadTimeOut() {
        QFETCH(int, firstPart);
        QFETCH(int, firstDelayMs);
        QFETCH(int, restDelayMs);
        QFETCH(int, count);
        QFETCH(int, minElapsedMs);
        TPtyPair pty;
        TPtyResponder device(pty);
        QByteArray record(kRecordLength, '\x05');
        if (firstPart == kRecordLength)
            device.Queue(TPtyResponder::TReply{{record, firstDelayMs}});
        else if (firstPart > 0)
            device.Queue(TPtyResponder::TReply{{record.left(firstPart), firstDelayMs},
                                               {record.mid(firstPart), restDelayMs}});
        TRecordRequest run(pty);
        run.poller.Start();
        QTRY_VERIFY_WITH_TIMEOUT(run.count >= 0, kBound);
        QCOMPARE(run.count, count);
        QCOMPARE(run.status, count == kRecordLength ? 0x40 : 0xFF);
        // Loose: a bound below the rule's would end the wait too soon.
        QVERIFY2(run.elapsedMs >= minElapsedMs, qPrintable(QString::number(run.elapsedMs)));
    }
};

QTEST_MAIN(TestLineSettings)
#include "tst_linesettings.moc"
