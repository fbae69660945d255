#include "analyser/FPConvert.h"
#include "measurement/RecordDecoder.h"
#include "results/RecordCycle.h"
#include "results/ResultsTable.h"

#include <QtTest>

namespace {

// A full command-6 reply: the record's carriers plus an address tail.
QByteArray Reply(const TMeasurementRecord& record) {
    QByteArray data = EncodeRecordCarriers(record, 0x50);
    data.append("\x91\xA0\xA0\xA0", 4);
    return data;
}

TMeasurementRecord Record(quint32 mask, quint16 flags, quint8 calibration) {
    TMeasurementRecord r;
    r.Mask = mask;
    r.Flags = flags;
    r.Calibration = calibration;
    r.Values[0] = 12.5;
    r.Values[1] = -0.75;
    return r;
}

} // namespace

class TstRecordCycle : public QObject {
    Q_OBJECT

    QDateTime now_ = QDateTime(QDate(2026, 3, 14), QTime(9, 26, 53));
    TRecordCycle cycle_;

private slots:
    void init() {
        cycle_ = TRecordCycle();
        cycle_.Now = [this] { return now_; };
        cycle_.Locale = QLocale(QLocale::Russian, QLocale::Russia);
        now_ = QDateTime(QDate(2026, 3, 14), QTime(9, 26, 53));
    }

    void firstTurnAsksAtOnce() {
        QCOMPARE(cycle_.CommandForTurn(0), quint8(6));
    }

    void newMeasurementIsAppended() {
        TResultsTable table;
        table.SetCell(1, 1, "beer");
        const QByteArray reply = Reply(Record(3, 0x0800, 5));
        QCOMPARE(cycle_.PutResult(6, 0x40, reply, true, table), quint8(9));
        QCOMPARE(table.RowCount(), 3);
        QCOMPARE(table.Cell(1, 1), QByteArray("beer"));
        QCOMPARE(table.Cell(2, 1), QByteArray("14.03.2026"));
        QCOMPARE(table.Cell(3, 1), QByteArray("09:26:53"));
        QCOMPARE(table.Cell(4, 1), QByteArray("5"));
        QCOMPARE(table.Cell(5, 1), QByteArray("12,50"));
        QCOMPARE(table.Cell(6, 1), QByteArray("-0,75"));
        for (int c = 7; c < TResultsTable::ColCount; ++c)
            QVERIFY(table.Cell(c, 1).isEmpty());
        // A fresh entry row, and the measurement counts as unsaved.
        QCOMPARE(table.Cell(0, 2), QByteArray("2"));
        QVERIFY(table.Cell(1, 2).isEmpty());
        QVERIFY(table.Modified());
        QCOMPARE(cycle_.LastRecordTime(), now_);
    }

    void refusedOrOldRecords_data() {
        QTest::addColumn<quint16>("flags");
        QTest::addColumn<quint8>("status");
        QTest::addColumn<bool>("done");
        QTest::addColumn<bool>("corruptWord");
        QTest::addColumn<quint8>("next");
        QTest::addColumn<bool>("timeSet");
        QTest::newRow("flags 0x0801: no row, cycle moves on") << quint16(0x0801) << quint8(0x40) << true << false << quint8(9) << true;
        QTest::newRow("flags 0: no row, cycle moves on") << quint16(0) << quint8(0x40) << true << false << quint8(9) << true;
        QTest::newRow("incomplete reply") << quint16(0x0800) << quint8(0xFF) << false << false << quint8(6) << false;
        QTest::newRow("wrong address tail") << quint16(0x0800) << quint8(0x40) << false << false << quint8(6) << false;
        QTest::newRow("invalid word of an absent indicator") << quint16(0x0800) << quint8(0x40) << true << true << quint8(6) << false;
    }
    void refusedOrOldRecords() {
        QFETCH(quint16, flags);
        QFETCH(quint8, status);
        QFETCH(bool, done);
        QFETCH(bool, corruptWord);
        QFETCH(quint8, next);
        QFETCH(bool, timeSet);
        TResultsTable table;
        QByteArray reply = Reply(Record(3, flags, 5));
        if (corruptWord) {
            // Indicator 20's word: exponent 1, bit 22 clear.
            const int byte = 7 + 4 * 20 + 3;
            reply[2 * byte] = 0x01;
            reply[2 * byte + 1] = 0x00;
            reply[2 * (byte - 1) + 1] = 0x00;
        }
        QCOMPARE(cycle_.PutResult(6, status, reply, done, table), next);
        QCOMPARE(table.RowCount(), 2);
        QVERIFY(!table.Modified());
        QCOMPARE(cycle_.LastRecordTime().isValid(), timeSet);
    }

    void maskZeroWritesOnlyDateTimeCalibration() {
        TResultsTable table;
        cycle_.PutResult(6, 0x40, Reply(Record(0, 0x0800, 7)), true, table);
        QCOMPARE(table.RowCount(), 3);
        QCOMPARE(table.Cell(4, 1), QByteArray("7"));
        for (int c = 5; c < TResultsTable::ColCount; ++c)
            QVERIFY(table.Cell(c, 1).isEmpty());
    }

    void acknowledgementGoesIdleWithoutSecondRow() {
        TResultsTable table;
        const QByteArray reply = Reply(Record(3, 0x0800, 5));
        QCOMPARE(cycle_.PutResult(6, 0x40, reply, true, table), quint8(9));
        // The reply record still holds the measurement when 9 is echoed.
        QCOMPARE(cycle_.PutResult(9, 0x40, reply, true, table), quint8(0));
        QCOMPARE(table.RowCount(), 3);
        QCOMPARE(cycle_.PutResult(4, 0x40, reply, true, table), quint8(4));
        QCOMPARE(cycle_.PutResult(7, 0x40, reply, true, table), quint8(7));
        QCOMPARE(table.RowCount(), 3);
    }

    void twoMinuteRule_data() {
        QTest::addColumn<int>("secondsLater");
        QTest::addColumn<quint8>("pending");
        QTest::addColumn<quint8>("expected");
        QTest::newRow("119 s idle") << 119 << quint8(0) << quint8(0);
        QTest::newRow("exactly 120 s") << 120 << quint8(0) << quint8(0);
        QTest::newRow("121 s") << 121 << quint8(0) << quint8(6);
        QTest::newRow("9 still unechoed after 121 s") << 121 << quint8(9) << quint8(6);
        QTest::newRow("9 pending within the interval") << 30 << quint8(9) << quint8(9);
        QTest::newRow("clock set back") << -3600 << quint8(0) << quint8(0);
    }
    void twoMinuteRule() {
        QFETCH(int, secondsLater);
        QFETCH(quint8, pending);
        QFETCH(quint8, expected);
        TResultsTable table;
        cycle_.PutResult(6, 0x40, Reply(Record(3, 0, 5)), true, table);
        now_ = now_.addSecs(secondsLater);
        QCOMPARE(cycle_.CommandForTurn(pending), expected);
    }

    // The zone is cut from the long time format by hand; in every locale Qt
    // knows, the result is what cutting \s*t+\s* gives.
    void timeFormatWithoutZoneInEveryLocale() {
        const QRegularExpression zone(QStringLiteral("\\s*t+\\s*"));
        int checked = 0;
        for (const QLocale& locale :
             QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript, QLocale::AnyTerritory)) {
            QString expected = locale.timeFormat(QLocale::LongFormat);
            expected.remove(zone);
            if (!expected.contains(u's'))
                expected = QStringLiteral("HH:mm:ss");
            QCOMPARE(RegisterTimeFormat(locale), expected.trimmed());
            ++checked;
        }
        QVERIFY(checked > 100);
    }
};

QTEST_GUILESS_MAIN(TstRecordCycle)
#include "tst_recordcycle.moc"
