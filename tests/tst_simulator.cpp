#include "analyser/OpSavroThread.h"
#include "measurement/RecordDecoder.h"
#include "support/SimProcess.h"

#include <QTest>

#include <csignal>
#include <memory>

namespace {

constexpr int kBound = 15000;

// The link's side of the line, driven from the test thread.
struct TClient {
    TOpSavroThread Worker;
    TClient(const QString& path, quint16 device) : Worker(path, nullptr) {
        Worker.SetAddress(device);
        Worker.Port().Open();
    }
    bool Decode(TMeasurementRecord& r) const {
        const TDeviceReply& reply = Worker.Reply();
        return DecodeRecord(reply.Status, QByteArrayView(reply.Data.data(), reply.Count), r);
    }
};

} // namespace

class TestSimulator : public QObject {
    Q_OBJECT
private slots:
    void echoesForItsDeviceOnly();
    void resynchronisesOnFrameStart();
    void command7Lengths_data();
    void command7Lengths();
    void emptyQueueGivesFlagsZero();
    void measurementOfferedUntilAcknowledged();
    void faults_data();
    void faults();
    void randomFaults();
    void droppedAcknowledgements_data();
    void droppedAcknowledgements();
    void autoMeasurements();
    void hangUpAfterExchanges();
    void hangUpFromStdin();
    void badInputIsRefused();
    void endsOnStdinEof();
    void endsOnSignals_data();
    void endsOnSignals();
    void noStdinKeepsRunning();
    void helpAndBadArguments();
};

void TestSimulator::echoesForItsDeviceOnly() {
    TSimProcess sim;
    QVERIFY(sim.Start({"--device", "300", "--verbose"}));
    TClient client(sim.PortPath(), 300);
    QVERIFY(client.Worker.Exchange(4));
    QVERIFY(client.Worker.Exchange(9));
    client.Worker.SetAddress(301);
    QVERIFY(!client.Worker.Exchange(4));
    QVERIFY(!client.Worker.Exchange(6));
    QCOMPARE(client.Worker.Reply().Count, 0);
    QVERIFY(!sim.WaitForLine("CMD 6 other").isEmpty());
    QCOMPARE(sim.CountLines("CMD 4"), 2); // "CMD 4" and "CMD 4 other"
}

void TestSimulator::resynchronisesOnFrameStart() {
    TSimProcess sim;
    QVERIFY(sim.Start({"--device", "1"}));
    TClient client(sim.PortPath(), 1);
    // Noise, a frame broken off after two bytes, then a whole frame.
    const QByteArray line("\x00\xA1\x55\x91\xA0\x91\xA0\xA0\xA0\x04", 10);
    TComPort& port = client.Worker.Port();
    QCOMPARE(port.Write(line.constData(), line.size()), line.size());
    char echo[8] = {};
    QCOMPARE(port.Read(echo, 4), 4);
    QCOMPARE(QByteArray(echo, 4), QByteArray("\x91\xA0\xA0\xA0", 4));
    QCOMPARE(port.Read(echo, 8), 0); // exactly one reply
}

void TestSimulator::command7Lengths_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("count");
    QTest::newRow("76") << QStringList{} << 0x40 << 76;
    QTest::newRow("92") << QStringList{"--long7"} << 0x41 << 92;
}

void TestSimulator::command7Lengths() {
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(int, count);
    TSimProcess sim;
    QVERIFY(sim.Start(args));
    TClient client(sim.PortPath(), 1);
    QVERIFY(client.Worker.Exchange(7));
    QCOMPARE(int(client.Worker.Reply().Status), status);
    QCOMPARE(client.Worker.Reply().Count, count);
}

void TestSimulator::emptyQueueGivesFlagsZero() {
    TSimProcess sim;
    QVERIFY(sim.Start({}));
    TClient client(sim.PortPath(), 1);
    QVERIFY(client.Worker.Exchange(6));
    TMeasurementRecord r;
    QVERIFY(client.Decode(r));
    QCOMPARE(r.Flags, quint16(0));
    QVERIFY(!IsNewMeasurement(r));
}

void TestSimulator::measurementOfferedUntilAcknowledged() {
    TSimProcess sim;
    QVERIFY(sim.Start({"--device", "1"}));
    sim.Send("measure 0x5 0x0801 7 20.25 0 3.5");
    sim.Send("measure 1 2048 8 1");
    TClient client(sim.PortPath(), 1);
    // A 9 before the record was sent acknowledges nothing.
    QVERIFY(client.Worker.Exchange(9));
    TMeasurementRecord r;
    for (int i = 0; i < 2; ++i) {
        QVERIFY(client.Worker.Exchange(6));
        QVERIFY(client.Decode(r));
        QCOMPARE(r.Mask, 5u);
        QCOMPARE(r.Flags, quint16(0x0801));
        QCOMPARE(r.Calibration, quint8(7));
        QCOMPARE(r.Values[0], 20.25);
        QCOMPARE(r.Values[2], 3.5);
    }
    QVERIFY(client.Worker.Exchange(9));
    QVERIFY(!sim.WaitForLine("ACK 1").isEmpty());
    QVERIFY(client.Worker.Exchange(6));
    QVERIFY(client.Decode(r));
    QCOMPARE(r.Flags, quint16(0x0800));
    QCOMPARE(r.Calibration, quint8(8));
    QVERIFY(client.Worker.Exchange(9));
    QVERIFY(!sim.WaitForLine("ACK 2").isEmpty());
    QVERIFY(client.Worker.Exchange(6));
    QVERIFY(client.Decode(r));
    QCOMPARE(r.Flags, quint16(0));
    QCOMPARE(sim.CountLines("SENT 1"), 2);
    QCOMPARE(sim.CountLines("ACK "), 2);
}

void TestSimulator::faults_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("count"); // -1: any
    QTest::addColumn<bool>("done");
    QTest::addColumn<bool>("decodes");
    QTest::addColumn<bool>("sent");
    QTest::newRow("noreply") << "noreply" << 0xFF << 0 << false << false << false;
    QTest::newRow("short") << "short" << 0xFF << 233 << false << false << false;
    QTest::newRow("split") << "split" << 0x40 << 234 << true << true << true;
    QTest::newRow("wrongtail") << "wrongtail" << 0x40 << 234 << false << true << false;
    QTest::newRow("badfloat") << "badfloat" << 0x40 << 234 << true << false << false;
    QTest::newRow("surplus") << "surplus" << 0x40 << 234 << true << true << true;
    QTest::newRow("garbage") << "garbage" << -1 << -1 << false << false << false;
}

void TestSimulator::faults() {
    QFETCH(QString, fault);
    QFETCH(int, status);
    QFETCH(int, count);
    QFETCH(bool, done);
    QFETCH(bool, decodes);
    QFETCH(bool, sent);
    TSimProcess sim;
    QVERIFY(sim.Start({"--device", "1", "--seed", "3"}));
    sim.Send("measure 0x3 0x800 2 12.5 -0.75");
    sim.Send("fault " + fault);
    TClient client(sim.PortPath(), 1);
    // Make sure both lines have been taken before the first request.
    QVERIFY(client.Worker.Exchange(4));
    QCOMPARE(client.Worker.Exchange(6), done);
    if (status >= 0)
        QCOMPARE(int(client.Worker.Reply().Status), status);
    if (count >= 0)
        QCOMPARE(client.Worker.Reply().Count, count);
    TMeasurementRecord r;
    if (status >= 0)
        QCOMPARE(client.Decode(r), decodes);
    QVERIFY(!sim.WaitForLine("FAULT " + fault).isEmpty());
    QCOMPARE(sim.CountLines("SENT 1"), sent ? 1 : 0);
    // The fault was for one reply only; the next is intact.
    QVERIFY(client.Worker.Exchange(6));
    QVERIFY(client.Decode(r));
    QCOMPARE(r.Values[0], 12.5);
    QCOMPARE(r.Values[1], -0.75);
    QVERIFY(!sim.WaitForLine("SENT 1").isEmpty());
}

void TestSimulator::randomFaults() {
    TSimProcess sim;
    QVERIFY(sim.Start({"--faults", "1", "--seed", "11"}));
    TClient client(sim.PortPath(), 1);
    for (int i = 0; i < 4; ++i)
        client.Worker.Exchange(6);
    QTRY_COMPARE_WITH_TIMEOUT(sim.CountLines("FAULT "), 4, kBound);
    QCOMPARE(sim.CountLines("FAULT hangup"), 0);
}

void TestSimulator::droppedAcknowledgements_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("dropped"); // before the first echo; 3 = all tried
    QTest::newRow("two frames") << QStringList{} << "fault noack 2" << 2;
    QTest::newRow("for an hour") << QStringList{} << "noack 3600" << 3;
    QTest::newRow("at random, always") << QStringList{"--noack", "1"} << "" << 3;
    QTest::newRow("at random, never") << QStringList{"--noack", "0"} << "" << 0;
}

// A dropped command 9 has no echo and leaves the measurement new: it is
// offered again, unchanged, until an acknowledgement gets through.
void TestSimulator::droppedAcknowledgements() {
    QFETCH(QStringList, args);
    QFETCH(QString, line);
    QFETCH(int, dropped);
    TSimProcess sim;
    QVERIFY(sim.Start(args + QStringList{"--device", "1", "--seed", "4"}));
    sim.Send("measure 1 0x800 2 41.5");
    if (!line.isEmpty())
        sim.Send(line);
    TClient client(sim.PortPath(), 1);
    QVERIFY(client.Worker.Exchange(4)); // both lines taken
    TMeasurementRecord r;
    for (int i = 0; i < 3; ++i) {
        QVERIFY(client.Worker.Exchange(6));
        QVERIFY(client.Decode(r));
        QVERIFY(IsNewMeasurement(r));
        QCOMPARE(r.Values[0], 41.5);
        const bool echoed = client.Worker.Exchange(9);
        QCOMPARE(echoed, i >= dropped);
        if (echoed)
            break;
    }
    if (dropped < 3)
        QVERIFY(!sim.WaitForLine("ACK 1").isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(sim.CountLines("FAULT noack"), dropped, kBound);
    QCOMPARE(sim.CountLines("ACK 1"), dropped < 3 ? 1 : 0);
    if (line == "noack 3600") {
        sim.Send("noack 0");
        QVERIFY(client.Worker.Exchange(4));
        QVERIFY(client.Worker.Exchange(9));
        QVERIFY(!sim.WaitForLine("ACK 1").isEmpty());
    }
}

void TestSimulator::autoMeasurements() {
    TSimProcess sim;
    QVERIFY(sim.Start({"--auto", "0.2", "--seed", "5"}));
    QVERIFY(!sim.WaitForLine("PORT").isEmpty());
    TClient client(sim.PortPath(), 1);
    TMeasurementRecord r;
    QTRY_VERIFY_WITH_TIMEOUT(client.Worker.Exchange(6) && client.Decode(r) && IsNewMeasurement(r),
                             kBound);
    QCOMPARE(r.Mask & 0x17u, 0x17u);
    QVERIFY(qAbs(r.Values[0] - 20.0) < 2.0);
    QVERIFY(qAbs(r.Values[1] - 5.0) < 1.0);
    QVERIFY(qAbs(r.Values[2] - 4.0) < 1.0);
    QVERIFY(qAbs(r.Values[4] - 1.01) < 0.01);
    QVERIFY(client.Worker.Exchange(9));
    QVERIFY(!sim.WaitForLine("ACK 1").isEmpty());
}

void TestSimulator::hangUpAfterExchanges() {
    TSimProcess sim;
    QVERIFY(sim.Start({"--hangup-after", "1"}));
    TClient client(sim.PortPath(), 1);
    QVERIFY(client.Worker.Exchange(4));
    QVERIFY_THROWS_EXCEPTION(EComPortExt, client.Worker.Exchange(6));
    QVERIFY(!sim.WaitForLine("FAULT hangup").isEmpty());
    QVERIFY(sim.WaitForExit());
}

void TestSimulator::hangUpFromStdin() {
    TSimProcess sim;
    QVERIFY(sim.Start({}));
    TClient client(sim.PortPath(), 1);
    QVERIFY(client.Worker.Exchange(4));
    sim.Send("hangup");
    QVERIFY(sim.WaitForExit());
    QVERIFY_THROWS_EXCEPTION(EComPortExt, client.Worker.Exchange(4));
}

void TestSimulator::badInputIsRefused() {
    TSimProcess sim;
    QVERIFY(sim.Start({}));
    for (const char* line : {"measure", "measure x 0 0", "measure 1 0x800 256", "measure -1 0 0",
                             "measure 1 0x800 1 1e300", "measure 1 0x800 1 abc",
                             "fault nosuch", "fault short -3", "\x01\x02\xff", "bogus"})
        sim.Send(QString::fromLatin1(line));
    sim.Send("measure 1 0x800 9 4.5");
    TClient client(sim.PortPath(), 1);
    TMeasurementRecord r;
    QVERIFY(client.Worker.Exchange(6));
    QVERIFY(client.Decode(r));
    QCOMPARE(r.Calibration, quint8(9)); // the only accepted line
    QCOMPARE(r.Values[0], 4.5);
    QCOMPARE(sim.CountLines("FAULT"), 0);
}

void TestSimulator::endsOnStdinEof() {
    TSimProcess sim;
    QVERIFY(sim.Start({}));
    sim.CloseStdin();
    QVERIFY(sim.WaitForExit());
    QCOMPARE(sim.Process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.Process().exitCode(), 0);
}

void TestSimulator::endsOnSignals_data() {
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGTERM") << SIGTERM;
}

void TestSimulator::endsOnSignals() {
    QFETCH(int, signal);
    TSimProcess sim;
    QVERIFY(sim.Start({"--no-stdin"}));
    ::kill(static_cast<pid_t>(sim.Process().processId()), signal);
    QVERIFY(sim.WaitForExit());
    QCOMPARE(sim.Process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.Process().exitCode(), 0);
}

void TestSimulator::noStdinKeepsRunning() {
    TSimProcess sim;
    QVERIFY(sim.Start({"--no-stdin"}));
    sim.CloseStdin();
    TClient client(sim.PortPath(), 1);
    QVERIFY(client.Worker.Exchange(4)); // still answering after stdin ended
    QCOMPARE(sim.Process().state(), QProcess::Running);
}

void TestSimulator::helpAndBadArguments() {
    QProcess help;
    help.start(TSimProcess::Program(), {"--help"});
    QVERIFY(help.waitForFinished(kBound));
    QCOMPARE(help.exitCode(), 0);
    const QString text = QString::fromUtf8(help.readAllStandardOutput());
    for (const char* word : {"--device", "--auto", "--long7", "--faults", "--seed",
                             "--hangup-after", "--verbose", "--no-stdin", "measure", "fault",
                             "hangup", "SENT", "ACK", "FAULT", "CMD", "PORT"})
        QVERIFY2(text.contains(QLatin1String(word)), word);
    for (const QStringList& args :
         {QStringList{"--device", "65536"}, QStringList{"--device"}, QStringList{"--auto", "0"},
          QStringList{"--faults", "2"}, QStringList{"--frobnicate"}}) {
        QProcess bad;
        bad.start(TSimProcess::Program(), args);
        QVERIFY(bad.waitForFinished(kBound));
        QCOMPARE(bad.exitCode(), 2);
        QVERIFY(bad.readAllStandardOutput().isEmpty());
    }
}

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
