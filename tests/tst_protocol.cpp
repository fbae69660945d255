#include "analyser/OpSavroThread.h"
#include "support/PtyPair.h"

#include <QTest>

namespace {

using TAddress = std::array<quint8, 4>;

QByteArray Bytes(const TAddress& a) {
    return QByteArray(reinterpret_cast<const char*>(a.data()), 4);
}

// A reply of length bytes whose last four are tail.
QByteArray Reply(int length, const QByteArray& tail) {
    QByteArray r(length - tail.size(), '\0');
    for (int i = 0; i < r.size(); ++i)
        r[i] = static_cast<char>(0x30 + i % 64);
    return r + tail;
}

const QByteArray kAddress1("\x91\xA0\xA0\xA0", 4);
const QByteArray kAddress2("\x92\xA0\xA0\xA0", 4);

// The worker, not started, with its port opened on this thread.
struct TLink {
    TPtyPair Pty;
    TPtyResponder Device{Pty};
    TOpSavroThread Worker{Pty.SlavePath(), nullptr};
    TLink() {
        Worker.SetAddress(1);
        Worker.Port().Open();
    }
};

} // namespace

Q_DECLARE_METATYPE(TPtyResponder::TReply)

class TestProtocol : public QObject {
    Q_OBJECT
private slots:
    void addressBytes_data();
    void addressBytes();
    void frameOnTheLine();
    void recordReplies_data();
    void recordReplies();
    void echoReplies_data();
    void echoReplies();
    void echoLeavesReplyUntouched();
    void surplusNeverOverflowsData();
    void staleBytesArePurged();
};

void TestProtocol::addressBytes_data() {
    QTest::addColumn<int>("number");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("0") << 0 << QByteArray("\x90\xA0\xA0\xA0", 4);
    QTest::newRow("1") << 1 << QByteArray("\x91\xA0\xA0\xA0", 4);
    QTest::newRow("300") << 300 << QByteArray("\x9C\xA2\xA1\xA0", 4);
    QTest::newRow("4660") << 4660 << QByteArray("\x94\xA3\xA2\xA1", 4);
    QTest::newRow("65535") << 65535 << QByteArray("\x9F\xAF\xAF\xAF", 4);
}

void TestProtocol::addressBytes() {
    QFETCH(int, number);
    QFETCH(QByteArray, bytes);
    QCOMPARE(Bytes(TOpSavroThread::AddressBytes(static_cast<quint16>(number))), bytes);
}

void TestProtocol::frameOnTheLine() {
    TLink link;
    link.Worker.SetAddress(4660);
    link.Worker.Exchange(6);
    link.Worker.SetAddress(1);
    link.Worker.Exchange(9);
    const QList<QByteArray> frames = link.Device.Frames();
    QCOMPARE(frames.size(), 2);
    QCOMPARE(frames[0], QByteArray("\x94\xA3\xA2\xA1\x06", 5));
    QCOMPARE(frames[1], QByteArray("\x91\xA0\xA0\xA0\x09", 5));
}

void TestProtocol::recordReplies_data() {
    QTest::addColumn<int>("command");
    QTest::addColumn<TPtyResponder::TReply>("reply");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("done");
    using R = TPtyResponder::TReply;
    const QByteArray full = Reply(234, kAddress1);
    QTest::newRow("6: 234, tail") << 6 << R{{full, 0}} << 0x40 << 234 << true;
    QTest::newRow("6: 233") << 6 << R{{full.left(233), 0}} << 0xFF << 233 << false;
    QTest::newRow("6: none") << 6 << R{} << 0xFF << 0 << false;
    QTest::newRow("6: wrong tail") << 6 << R{{Reply(234, kAddress2), 0}} << 0x40 << 234 << false;
    // The rest comes after the first read's time-out; the second read takes it.
    QTest::newRow("6: split") << 6 << R{{full.left(100), 0}, {full.mid(100), 350}} << 0x40
                              << 234 << true;
    QTest::newRow("7: 76") << 7 << R{{Reply(76, kAddress1), 0}} << 0x40 << 76 << true;
    QTest::newRow("7: 92") << 7 << R{{Reply(92, kAddress1), 0}} << 0x41 << 92 << true;
    QTest::newRow("7: 80") << 7 << R{{Reply(80, kAddress1), 0}} << 0xFF << 80 << false;
    QTest::newRow("7: 76 wrong tail") << 7 << R{{Reply(76, kAddress2), 0}} << 0x40 << 76 << false;
    QTest::newRow("7: none") << 7 << R{} << 0xFF << 0 << false;
}

void TestProtocol::recordReplies() {
    QFETCH(int, command);
    QFETCH(TPtyResponder::TReply, reply);
    QFETCH(int, status);
    QFETCH(int, count);
    QFETCH(bool, done);
    TLink link;
    link.Device.Queue(reply);
    QCOMPARE(link.Worker.Exchange(static_cast<quint8>(command)), done);
    const TDeviceReply& r = link.Worker.Reply();
    QCOMPARE(int(r.Status), status);
    QCOMPARE(r.Count, count);
    QByteArray sent;
    for (const auto& part : reply)
        sent += part.Bytes;
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(r.Data.data()), r.Count), sent);
    QCOMPARE(link.Worker.LastExchangeDone(), done);
}

void TestProtocol::echoReplies_data() {
    QTest::addColumn<int>("command");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("done");
    for (int command : {4, 9}) {
        const QByteArray c = QByteArray::number(command);
        QTest::newRow(c + ": exact") << command << kAddress1 << true;
        QTest::newRow(c + ": three bytes") << command << kAddress1.left(3) << false;
        QTest::newRow(c + ": wrong order")
            << command << QByteArray("\xA0\x91\xA0\xA0", 4) << false;
        QTest::newRow(c + ": surplus after") << command << kAddress1 + "\x01\x02\x03" << true;
        QTest::newRow(c + ": other device") << command << kAddress2 << false;
        QTest::newRow(c + ": none") << command << QByteArray() << false;
    }
}

void TestProtocol::echoReplies() {
    QFETCH(int, command);
    QFETCH(QByteArray, reply);
    QFETCH(bool, done);
    TLink link;
    if (!reply.isEmpty())
        link.Device.Queue(reply);
    QCOMPARE(link.Worker.Exchange(static_cast<quint8>(command)), done);
}

void TestProtocol::echoLeavesReplyUntouched() {
    TLink link;
    link.Device.Queue(Reply(234, kAddress1));
    QVERIFY(link.Worker.Exchange(6));
    const TDeviceReply before = link.Worker.Reply();
    link.Device.Queue(kAddress1);
    QVERIFY(link.Worker.Exchange(4));
    link.Device.Queue(kAddress1.left(2));
    QVERIFY(!link.Worker.Exchange(9));
    const TDeviceReply& after = link.Worker.Reply();
    QCOMPARE(int(after.Status), int(before.Status));
    QCOMPARE(after.Count, before.Count);
    QVERIFY(after.Data == before.Data);
}

void TestProtocol::surplusNeverOverflowsData() {
    TLink link;
    // More than the reply in one go and more again later: every read asks for
    // 234 bytes, so an unguarded copy would run past the end of Data.
    const QByteArray full = Reply(234, kAddress1);
    link.Device.Queue(TPtyResponder::TReply{{full.left(200), 0},
                                             {full.mid(200) + QByteArray(500, '\x55'), 350}});
    QVERIFY(link.Worker.Exchange(6));
    QCOMPARE(link.Worker.Reply().Count, 234);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(link.Worker.Reply().Data.data()), 234),
             full);
}

void TestProtocol::staleBytesArePurged() {
    TLink link;
    // Surplus of the last exchange must not count towards the next one.
    link.Device.Queue(kAddress1 + kAddress1);
    QVERIFY(link.Worker.Exchange(9));
    link.Device.Queue(QByteArray());
    QVERIFY(!link.Worker.Exchange(9));
}

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
