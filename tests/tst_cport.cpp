#include "serial/CPort.h"
#include "support/PtyPair.h"

#include <QTest>

#include <cerrno>
#include <thread>

namespace {

// The analyser's line settings, as the poller sets them.
void Configure(TComPort& port, const QString& path) {
    port.SetPort(path);
    port.SetBaudRate(br9600);
    port.SetParityBits(prOdd);
    port.Events = 0;
    port.SetReadTotalMultiplier(1);
    port.SetReadTotalConstant(50);
}

} // namespace

class TestCPort : public QObject {
    Q_OBJECT
private slots:
    void errorTexts_data();
    void errorTexts();
    void openMissingPort();
    void openPortHeldOpen();
    void closingReleasesThePort();
    void openAndCloseAreIdempotent();
    void readTimesOutWithNothing();
    void readReturnsWhatArrived();
    void readCollectsBytesArrivingLater();
    void writeReachesTheLine();
    void purgeDiscardsInput();
    void hangUpMakesReadFail();
};

void TestCPort::errorTexts_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("1") << 1 << "Unable to open com port";
    QTest::newRow("3") << 3 << "ReadFile function failed";
    QTest::newRow("5") << 5 << "PurgeComm function failed";
    QTest::newRow("11") << 11 << "GetCommModemStatus function failed";
    QTest::newRow("19") << 19 << "Cannot change led state if ComPort is selected";
    QTest::newRow("23") << 23 << "Registry error";
    QTest::newRow("0") << 0 << "Unknown Error #0";
    QTest::newRow("24") << 24 << "Unknown Error #24";
    QTest::newRow("255") << 255 << "Unknown Error #255";
}

void TestCPort::errorTexts() {
    QFETCH(int, code);
    QFETCH(QString, text);
    QCOMPARE(ComErrorText(code), text);
    const EComPortExt e(static_cast<quint8>(code), 7, QStringLiteral("COM9"));
    QCOMPARE(QString::fromUtf8(e.what()), "COM Port Error: " + text + " on COM9");
    QCOMPARE(int(e.ErrorCode()), code);
    QCOMPARE(e.OsError(), 7);
}

void TestCPort::openMissingPort() {
    TComPort port;
    const QString name = QStringLiteral("/dev/savro2-no-such-port");
    port.SetPort(name);
    try {
        port.Open();
        QFAIL("Open of a missing port succeeded");
    } catch (const EComPortExt& e) {
        QCOMPARE(int(e.ErrorCode()), 1);
        QCOMPARE(e.OsError(), ENOENT);
        QCOMPARE(QString::fromUtf8(e.what()),
                 "COM Port Error: Unable to open com port on " + name);
    }
    QVERIFY(!port.Connected());
    port.Close(); // nothing to close, must not throw
    QVERIFY(!port.Connected());
}

void TestCPort::openPortHeldOpen() {
    TPtyPair pty;
    TComPort first;
    Configure(first, pty.SlavePath());
    first.Open();
    QVERIFY(first.Connected());
    TComPort second;
    Configure(second, pty.SlavePath());
    try {
        second.Open();
        QFAIL("a port held open was opened twice");
    } catch (const EComPortExt& e) {
        QCOMPARE(int(e.ErrorCode()), 1);
        QVERIFY(e.OsError() != 0);
    }
    QVERIFY(!second.Connected());
    QVERIFY(first.Connected());
}

void TestCPort::closingReleasesThePort() {
    TPtyPair pty;
    {
        TComPort first;
        Configure(first, pty.SlavePath());
        first.Open();
        first.Close();
        TComPort second;
        Configure(second, pty.SlavePath());
        second.Open(); // released by Close
        QVERIFY(second.Connected());
        // second is destroyed open: the destructor must release it too
    }
    TComPort third;
    Configure(third, pty.SlavePath());
    third.Open();
    QVERIFY(third.Connected());
}

void TestCPort::openAndCloseAreIdempotent() {
    TPtyPair pty;
    TComPort port;
    Configure(port, pty.SlavePath());
    port.Open();
    port.Open();
    QVERIFY(port.Connected());
    port.Close();
    port.Close();
    QVERIFY(!port.Connected());
    port.Open();
    QVERIFY(port.Connected());
}

void TestCPort::readTimesOutWithNothing() {
    TPtyPair pty;
    TComPort port;
    Configure(port, pty.SlavePath());
    port.Open();
    quint8 buf[4] = {1, 2, 3, 4};
    QCOMPARE(port.Read(buf, 4), 0);
    QCOMPARE(int(buf[0]), 0xFF);
    QCOMPARE(int(buf[1]), 2);
}

void TestCPort::readReturnsWhatArrived() {
    TPtyPair pty;
    TComPort port;
    Configure(port, pty.SlavePath());
    port.Open();
    QVERIFY(pty.Write(QByteArray("\x11\x22", 2)));
    quint8 buf[4] = {};
    QCOMPARE(port.Read(buf, 4), 2);
    QCOMPARE(int(buf[0]), 0x11);
    QCOMPARE(int(buf[1]), 0x22);
}

void TestCPort::readCollectsBytesArrivingLater() {
    TPtyPair pty;
    TComPort port;
    Configure(port, pty.SlavePath());
    // A generous total time-out: the second half must be waited for.
    port.SetReadTotalConstant(5000);
    port.Open();
    QVERIFY(pty.Write(QByteArray("ab", 2)));
    std::thread late([&pty] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.Write(QByteArray("cd", 2));
    });
    char buf[4] = {};
    const qint32 n = port.Read(buf, 4);
    late.join();
    QCOMPARE(n, 4);
    QCOMPARE(QByteArray(buf, 4), QByteArray("abcd"));
}

void TestCPort::writeReachesTheLine() {
    TPtyPair pty;
    TComPort port;
    Configure(port, pty.SlavePath());
    port.Open();
    const QByteArray frame("\x91\xA0\xA0\xA0\x06", 5);
    QCOMPARE(port.Write(frame.constData(), 5), 5);
    QCOMPARE(pty.Read(5, 5000), frame);
}

void TestCPort::purgeDiscardsInput() {
    TPtyPair pty;
    TComPort port;
    Configure(port, pty.SlavePath());
    port.Open();
    QVERIFY(pty.Write(QByteArray("stale")));
    // Let the bytes reach the port's own buffer as well as the driver's.
    char probe[1];
    QCOMPARE(port.Read(probe, 1), 1);
    port.PurgeBuffers(true, true);
    char buf[8] = {};
    QCOMPARE(port.Read(buf, 8), 0);
}

void TestCPort::hangUpMakesReadFail() {
    TPtyPair pty;
    TComPort port;
    Configure(port, pty.SlavePath());
    port.Open();
    pty.CloseMaster();
    char buf[4] = {};
    try {
        port.Read(buf, 4);
        QFAIL("a read on a hung-up line succeeded");
    } catch (const EComPortExt& e) {
        QCOMPARE(int(e.ErrorCode()), 3);
        QCOMPARE(QString::fromUtf8(e.what()),
                 "COM Port Error: ReadFile function failed on " + pty.SlavePath());
    }
    port.Close();
    QVERIFY(!port.Connected());
}

QTEST_GUILESS_MAIN(TestCPort)
#include "tst_cport.moc"
