#include "analyser/OpSavro.h"
#include "measurement/RecordDecoder.h"
#include "serial/CPort.h"
#include "support/PtyPair.h"
#include "support/SimProcess.h"

#include <QElapsedTimer>
#include <QTest>

#include <memory>
#include <stdexcept>

namespace {

constexpr int kBound = 15000;

// Records the poller's events by name, in order.
struct TEventLog {
    QStringList Events;
    int GetNumber = 0;
    void Attach(TOpSavro& p) {
        p.OnStarting = [this](TOpSavro*) { Events << "Starting"; };
        p.OnStoping = [this](TOpSavro*) { Events << "Stoping"; };
        p.OnErrorOpenPort = [this](TOpSavro*) { Events << "ErrorOpenPort"; };
        p.OnGetNumber = [this](TOpSavro*) { ++GetNumber; };
    }
};

// The measurement cycle as the main window drives it: command 6 until an
// intact record, then 9 until echoed, then idle.
struct TCycle {
    QList<TMeasurementRecord> Records;
    int Refused = 0;
    bool WantRecord = true;
    quint16 Device = 1;
    void Attach(TOpSavro& p) {
        p.OnGetNumber = [this](TOpSavro* s) {
            s->DeviceNumber = Device;
            if (WantRecord)
                s->Command = 6;
        };
        p.OnPutResult = [this](TOpSavro* s) {
            if (s->Command == 6) {
                TMeasurementRecord r;
                const QByteArrayView data(s->Reply.Data.data(), s->Reply.Count);
                if (!s->ReplyDone() || !DecodeRecord(s->Reply.Status, data, r)) {
                    ++Refused;
                    return;
                }
                if (IsNewMeasurement(r))
                    Records << r;
                WantRecord = false;
                s->Command = 9;
            } else if (s->Command == 9) {
                s->Command = 0;
            }
        };
    }
};

// True when the port can be opened, i.e. nobody holds it any more.
bool PortIsFree(const QString& path) {
    TComPort port;
    port.SetPort(path);
    try {
        port.Open();
    } catch (const EComPort&) {
        return false;
    }
    return true;
}

} // namespace

class TestOpSavro : public QObject {
    Q_OBJECT
private slots:
    void startAndStop();
    void startAtOnceStop();
    void openFailure();
    void startWhileActiveIgnored();
    void stopWhileInactiveIgnored();
    void putResultAfterExchange_data();
    void putResultAfterExchange();
    void measurementCycle();
    void deviceNumberTakesEffectInTheTurn();
    void wrongTailIsNotDone();
    void exceptionInPutResultEndsPolling();
    void exceptionInStartingStillStarts();
    void hangUpMidTurnSetsStopError();
    void destructionWhilePolling();
    void idleTurnsWaitAndStopCutsShort();
    void idleTurnsDoNotSpin();
    void restartFromStoping();
};

void TestOpSavro::startAndStop() {
    TSimProcess sim;
    QVERIFY(sim.Start({"--device", "1"}));
    TOpSavro poller;
    TEventLog log;
    log.Attach(poller);
    QCOMPARE(poller.Port, QStringLiteral("COM1"));
    poller.Port = sim.PortPath();
    QVERIFY(!poller.Active());
    poller.Start();
    QVERIFY(poller.Active());
    QCOMPARE(log.Events, QStringList{"Starting"});
    QTRY_VERIFY_WITH_TIMEOUT(log.GetNumber >= 2, kBound);
    QVERIFY(poller.Active());
    poller.Stop();
    QVERIFY(poller.Active()); // until the worker has reported its end
    QTRY_VERIFY_WITH_TIMEOUT(!poller.Active(), kBound);
    QCOMPARE(log.Events, (QStringList{"Starting", "Stoping"}));
    QVERIFY(poller.StopError().isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(PortIsFree(sim.PortPath()), kBound);
}

void TestOpSavro::startAtOnceStop() {
    TPtyPair pty;
    TOpSavro poller;
    TEventLog log;
    log.Attach(poller);
    poller.Port = pty.SlavePath();
    poller.Start();
    poller.Stop();
    QTRY_VERIFY_WITH_TIMEOUT(!poller.Active(), kBound);
    QCOMPARE(log.Events, (QStringList{"Starting", "Stoping"}));
}

void TestOpSavro::openFailure() {
    TOpSavro poller;
    TEventLog log;
    log.Attach(poller);
    bool activeInError = false;
    poller.OnErrorOpenPort = [&](TOpSavro* s) {
        log.Events << "ErrorOpenPort";
        activeInError = s->Active();
    };
    poller.Port = QStringLiteral("/dev/savro2-no-such-port");
    poller.Start();
    QTRY_VERIFY_WITH_TIMEOUT(!poller.Active(), kBound);
    QCOMPARE(log.Events, (QStringList{"Starting", "ErrorOpenPort", "Stoping"}));
    QVERIFY(activeInError);
    QCOMPARE(log.GetNumber, 0);
    QVERIFY(poller.StopError().isEmpty());
}

void TestOpSavro::startWhileActiveIgnored() {
    TPtyPair pty;
    TOpSavro poller;
    TEventLog log;
    log.Attach(poller);
    poller.Port = pty.SlavePath();
    poller.Start();
    QTRY_VERIFY_WITH_TIMEOUT(log.GetNumber >= 1, kBound);
    poller.Start();
    poller.Stop();
    poller.Start(); // still Active until the end is reported
    QTRY_VERIFY_WITH_TIMEOUT(!poller.Active(), kBound);
    QCOMPARE(log.Events, (QStringList{"Starting", "Stoping"}));
}

void TestOpSavro::stopWhileInactiveIgnored() {
    TOpSavro poller;
    TEventLog log;
    log.Attach(poller);
    poller.Stop();
    QVERIFY(!poller.Active());
    QVERIFY(log.Events.isEmpty());
}

void TestOpSavro::putResultAfterExchange_data() {
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("device");
    QTest::addColumn<bool>("fires");
    for (int command : {4, 6, 7, 9}) {
        const QByteArray c = QByteArray::number(command);
        QTest::newRow(c + ": answered") << command << 1 << true;
        // Only a reply to 6 is handed over when nothing came back.
        QTest::newRow(c + ": no answer") << command << 2 << (command == 6);
    }
}

void TestOpSavro::putResultAfterExchange() {
    QFETCH(int, command);
    QFETCH(int, device);
    QFETCH(bool, fires);
    TSimProcess sim;
    QVERIFY(sim.Start({"--device", "1"}));
    TOpSavro poller;
    int turns = 0;
    QList<int> statuses;
    poller.OnGetNumber = [&](TOpSavro* s) {
        ++turns;
        s->DeviceNumber = static_cast<quint16>(device);
        s->Command = static_cast<quint8>(command);
    };
    poller.OnPutResult = [&](TOpSavro* s) { statuses << s->Reply.Status; };
    poller.Port = sim.PortPath();
    poller.Start();
    // Changing the port while polling has no effect until the next Start.
    poller.Port = QStringLiteral("/dev/savro2-no-such-port");
    QTRY_VERIFY_WITH_TIMEOUT(turns >= 3, kBound);
    poller.Stop();
    QTRY_VERIFY_WITH_TIMEOUT(!poller.Active(), kBound);
    QCOMPARE(poller.StopError(), QString());
    if (!fires) {
        QVERIFY(statuses.isEmpty());
        return;
    }
    QVERIFY(statuses.size() >= turns - 1);
    const int expected = command == 4 || command == 9 ? 0 : device == 1 ? 0x40 : 0xFF;
    for (int status : statuses)
        QCOMPARE(status, expected);
}

void TestOpSavro::measurementCycle() {
    TSimProcess sim;
    QVERIFY(sim.Start({"--device", "1", "--verbose"}));
    sim.Send("measure 0x3 0x800 5 12.5 -0.75");
    TOpSavro poller;
    TCycle cycle;
    cycle.Attach(poller);
    poller.Port = sim.PortPath();
    poller.Start();
    QVERIFY(!sim.WaitForLine("ACK 1").isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(poller.Command == 0, kBound);
    QCOMPARE(cycle.Records.size(), 1);
    const TMeasurementRecord& r = cycle.Records.front();
    QCOMPARE(r.Mask, 3u);
    QCOMPARE(r.Calibration, quint8(5));
    QCOMPARE(r.Values[0], 12.5);
    QCOMPARE(r.Values[1], -0.75);
    // Command 9 went out in the same turn as the record: no CMD 4 or 7, and
    // the first 9 follows the accepted 6 directly.
    const QStringList lines = sim.Lines();
    const int sent = lines.indexOf("SENT 1");
    QVERIFY(sent > 0);
    QCOMPARE(lines.value(sent + 1), QStringLiteral("CMD 9"));
    poller.Stop();
    QTRY_VERIFY_WITH_TIMEOUT(!poller.Active(), kBound);
    QCOMPARE(sim.CountLines("CMD 4") + sim.CountLines("CMD 7"), 0);
}

void TestOpSavro::deviceNumberTakesEffectInTheTurn() {
    TSimProcess sim;
    QVERIFY(sim.Start({"--device", "4660"}));
    sim.Send("measure 1 0x800 1 1.5");
    TOpSavro poller;
    TCycle cycle;
    cycle.Device = 4660;
    cycle.Attach(poller);
    poller.Port = sim.PortPath();
    poller.Start();
    QVERIFY(!sim.WaitForLine("ACK 1").isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(cycle.Records.size(), 1, kBound);
    QCOMPARE(poller.DeviceNumber, quint16(4660));
}

void TestOpSavro::wrongTailIsNotDone() {
    TSimProcess sim;
    QVERIFY(sim.Start({"--device", "1"}));
    sim.Send("fault wrongtail");
    sim.Send("measure 1 0x800 1 2.5");
    QList<std::pair<int, bool>> seen; // status, ReplyDone
    TOpSavro poller;
    TCycle cycle;
    cycle.Attach(poller);
    auto put = poller.OnPutResult;
    poller.OnPutResult = [&](TOpSavro* s) {
        if (s->Command == 6)
            seen << std::make_pair(int(s->Reply.Status), s->ReplyDone());
        put(s);
    };
    poller.Port = sim.PortPath();
    poller.Start();
    QVERIFY(!sim.WaitForLine("ACK 1").isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(cycle.Records.size(), 1, kBound);
    QVERIFY(seen.size() >= 2);
    QCOMPARE(seen.front(), std::make_pair(0x40, false)); // full length, wrong tail
    QCOMPARE(seen.back(), std::make_pair(0x40, true));
    QCOMPARE(cycle.Refused, seen.size() - 1);
    QCOMPARE(cycle.Records.front().Values[0], 2.5);
}

void TestOpSavro::exceptionInPutResultEndsPolling() {
    TSimProcess sim;
    QVERIFY(sim.Start({"--device", "1"}));
    TOpSavro poller;
    TEventLog log;
    log.Attach(poller);
    int puts = 0;
    poller.OnGetNumber = [&](TOpSavro* s) {
        ++log.GetNumber;
        s->DeviceNumber = 1;
        s->Command = 6;
    };
    poller.OnPutResult = [&](TOpSavro*) {
        ++puts;
        throw std::runtime_error("handler failed");
    };
    poller.Port = sim.PortPath();
    poller.Start();
    QTRY_VERIFY_WITH_TIMEOUT(!poller.Active(), kBound);
    QCOMPARE(puts, 1);
    QCOMPARE(log.GetNumber, 1);
    QCOMPARE(log.Events, (QStringList{"Starting", "Stoping"}));
    QVERIFY(poller.StopError().isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(PortIsFree(sim.PortPath()), kBound);
}

void TestOpSavro::exceptionInStartingStillStarts() {
    TPtyPair pty;
    TOpSavro poller;
    TEventLog log;
    log.Attach(poller);
    poller.OnStarting = [](TOpSavro*) { throw std::runtime_error("starting failed"); };
    poller.Port = pty.SlavePath();
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, poller.Start());
    QVERIFY(poller.Active());
    QTRY_VERIFY_WITH_TIMEOUT(log.GetNumber >= 1, kBound);
    poller.Stop();
    QTRY_VERIFY_WITH_TIMEOUT(!poller.Active(), kBound);
}

void TestOpSavro::hangUpMidTurnSetsStopError() {
    TSimProcess sim;
    QVERIFY(sim.Start({"--device", "1"}));
    sim.Send("fault hangup");
    TOpSavro poller;
    TEventLog log;
    log.Attach(poller);
    QString stopErrorInStoping;
    poller.OnStoping = [&](TOpSavro* s) {
        log.Events << "Stoping";
        stopErrorInStoping = s->StopError();
    };
    poller.OnGetNumber = [](TOpSavro* s) {
        s->DeviceNumber = 1;
        s->Command = 6;
    };
    poller.Port = sim.PortPath();
    poller.Start();
    QVERIFY(!sim.WaitForLine("FAULT hangup").isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!poller.Active(), kBound);
    QCOMPARE(log.Events, (QStringList{"Starting", "Stoping"}));
    QVERIFY(stopErrorInStoping.startsWith("COM Port Error: "));
    QVERIFY(stopErrorInStoping.endsWith(" on " + sim.PortPath()));
    QCOMPARE(poller.StopError(), stopErrorInStoping);

    // A later run that ends by Stop clears it.
    TPtyPair pty;
    poller.Port = pty.SlavePath();
    poller.OnGetNumber = nullptr;
    poller.Start();
    poller.Stop();
    QTRY_VERIFY_WITH_TIMEOUT(!poller.Active(), kBound);
    QVERIFY(poller.StopError().isEmpty());
}

void TestOpSavro::destructionWhilePolling() {
    TSimProcess sim;
    QVERIFY(sim.Start({"--device", "1"}));
    TEventLog log;
    auto poller = std::make_unique<TOpSavro>();
    log.Attach(*poller);
    // Keep the worker busy with exchanges and hand-overs when it is destroyed.
    poller->OnGetNumber = [&](TOpSavro* s) {
        ++log.GetNumber;
        s->DeviceNumber = 1;
        s->Command = 6;
    };
    poller->OnPutResult = [](TOpSavro*) {};
    poller->Port = sim.PortPath();
    poller->Start();
    QTRY_VERIFY_WITH_TIMEOUT(log.GetNumber >= 2, kBound);
    poller.reset();
    QCOMPARE(log.Events, (QStringList{"Starting", "Stoping"}));
    QTRY_VERIFY_WITH_TIMEOUT(PortIsFree(sim.PortPath()), kBound);
}

void TestOpSavro::idleTurnsWaitAndStopCutsShort() {
    TPtyPair pty;
    TOpSavro poller;
    TEventLog log;
    log.Attach(poller);
    poller.SetIdleWait(10 * 60 * 1000);
    poller.Port = pty.SlavePath();
    poller.Start();
    QTRY_VERIFY_WITH_TIMEOUT(log.GetNumber >= 1, kBound);
    // While the worker waits no further turn comes, however long we serve events.
    QElapsedTimer served;
    served.start();
    QTRY_VERIFY_WITH_TIMEOUT(served.elapsed() >= 300, kBound);
    QCOMPARE(log.GetNumber, 1);
    // Stop cuts the ten-minute wait short.
    poller.Stop();
    QTRY_VERIFY_WITH_TIMEOUT(!poller.Active(), kBound);
    QCOMPARE(log.GetNumber, 1);
}

void TestOpSavro::idleTurnsDoNotSpin() {
    TPtyPair pty;
    TOpSavro poller;
    TEventLog log;
    log.Attach(poller);
    QCOMPARE(poller.IdleWait(), 100);
    poller.Port = pty.SlavePath();
    poller.Start();
    QTRY_VERIFY_WITH_TIMEOUT(log.GetNumber >= 3, kBound);
    QElapsedTimer served;
    served.start();
    const int before = log.GetNumber;
    QTRY_VERIFY_WITH_TIMEOUT(served.elapsed() >= 1000, kBound);
    const int turns = log.GetNumber - before;
    const double perSecond = turns * 1000.0 / served.elapsed();
    poller.Stop();
    QTRY_VERIFY_WITH_TIMEOUT(!poller.Active(), kBound);
    // Still polling, but nowhere near the thousands of turns of a spinning loop.
    QVERIFY(turns >= 1);
    QVERIFY2(perSecond < 200, qPrintable(QString::number(perSecond)));
}

void TestOpSavro::restartFromStoping() {
    TPtyPair pty;
    TOpSavro poller;
    TEventLog log;
    log.Attach(poller);
    int stops = 0;
    poller.OnStoping = [&](TOpSavro* s) {
        log.Events << "Stoping";
        // Switching polling on again from the end notification must not hang.
        if (++stops == 1)
            s->Start();
    };
    poller.Port = pty.SlavePath();
    poller.Start();
    poller.Stop();
    QTRY_COMPARE_WITH_TIMEOUT(stops, 1, kBound);
    QVERIFY(poller.Active());
    QTRY_VERIFY_WITH_TIMEOUT(log.GetNumber >= 1, kBound);
    poller.Stop();
    QTRY_VERIFY_WITH_TIMEOUT(!poller.Active(), kBound);
    QCOMPARE(log.Events, (QStringList{"Starting", "Stoping", "Starting", "Stoping"}));
}

QTEST_GUILESS_MAIN(TestOpSavro)
#include "tst_opsavro.moc"
