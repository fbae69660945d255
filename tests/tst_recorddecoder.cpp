#include "analyser/FPConvert.h"
#include "measurement/RecordDecoder.h"
#include "measurement/ValueText.h"

#include <QtTest>

#include <cmath>

namespace {

// Carriers written out by hand: low half first, high half second, with the
// high four bits filled as the line might carry them.
QByteArray carriersOf(const QByteArray& record, quint8 high = 0x30) {
    QByteArray out;
    for (const char c : record) {
        out.append(char(high | (quint8(c) & 0x0F)));
        out.append(char(high | (quint8(c) >> 4)));
    }
    return out;
}

// The example record: Mask 3, Flags 0x0800, Calibration 5, 12.5 and -0.75.
QByteArray exampleRecord() {
    QByteArray r("\x03\x00\x00\x00"
                 "\x00\x08"
                 "\x05"
                 "\x00\x00\x64\x03"
                 "\x00\x00\xE0\xFF",
                 15);
    r.append(QByteArray(RecordSize - r.size(), '\0'));
    return r;
}

QByteArray reply(const QByteArray& record) {
    return carriersOf(record) + QByteArray("\x31\x32\x33\x34", 4); // address tail
}

} // namespace

class TstRecordDecoder : public QObject {
    Q_OBJECT
private slots:
    void carrierHalves_data();
    void carrierHalves();
    void decodesLayout();
    void refuses_data();
    void refuses();
    void newMeasurementFlags_data();
    void newMeasurementFlags();
    void encoderIsInverse();
    void format_data();
    void format();
};

void TstRecordDecoder::carrierHalves_data() {
    QTest::addColumn<quint8>("low");
    QTest::addColumn<quint8>("high");
    QTest::addColumn<quint8>("expected");
    QTest::newRow("0x34 0x56") << quint8(0x34) << quint8(0x56) << quint8(0x64);
    QTest::newRow("0x04 0xF6") << quint8(0x04) << quint8(0xF6) << quint8(0x64);
    QTest::newRow("0xFF 0xFF") << quint8(0xFF) << quint8(0xFF) << quint8(0xFF);
}

void TstRecordDecoder::carrierHalves() {
    QFETCH(quint8, low);
    QFETCH(quint8, high);
    QFETCH(quint8, expected);
    QByteArray data = reply(exampleRecord());
    data[12] = char(low); // record byte 6: Calibration
    data[13] = char(high);
    TMeasurementRecord rec;
    QVERIFY(DecodeRecord(0x40, data, rec));
    QCOMPARE(rec.Calibration, expected);
}

void TstRecordDecoder::decodesLayout() {
    QByteArray record = exampleRecord();
    // Fields with every byte distinct, to catch byte-order slips.
    record.replace(0, 7,
                   QByteArray("\x03\x80\x40\xF8"
                              "\x01\x88"
                              "\xC8",
                              7));
    // Last indicator: 2.5.
    record.replace(7 + 4 * 26, 4, QByteArray("\x00\x00\x50\x01", 4));
    TMeasurementRecord rec;
    rec.Values.fill(99.0);
    QVERIFY(DecodeRecord(0x40, reply(record), rec));
    QCOMPARE(rec.Mask, 0xF8408003u);
    QCOMPARE(rec.Flags, quint16(0x8801));
    QCOMPARE(rec.Calibration, quint8(200));
    QCOMPARE(rec.Values[0], 12.5);
    QCOMPARE(rec.Values[1], -0.75);
    for (int k = 2; k < 26; ++k)
        QCOMPARE(rec.Values[k], 0.0);
    QCOMPARE(rec.Values[26], 2.5);
}

void TstRecordDecoder::refuses_data() {
    QTest::addColumn<quint8>("status");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("accepted");

    const QByteArray good = reply(exampleRecord());
    QTest::newRow("complete") << quint8(0x40) << good << true;
    QTest::newRow("230 carriers only") << quint8(0x40) << good.left(230) << true;
    QTest::newRow("229 carriers") << quint8(0x40) << good.left(229) << false;
    QTest::newRow("empty") << quint8(0x40) << QByteArray() << false;
    QTest::newRow("incomplete status") << quint8(0xFF) << good << false;
    QTest::newRow("long form status") << quint8(0x41) << good << false;

    // Indicator 20 is absent (Mask 3) but its word lacks the lead bit.
    QByteArray absentBad = exampleRecord();
    absentBad.replace(7 + 4 * 20, 4, QByteArray("\x00\x00\x00\x05", 4));
    QTest::newRow("invalid word of absent indicator") << quint8(0x40) << reply(absentBad) << false;
    QByteArray presentBad = exampleRecord();
    presentBad.replace(7, 4, QByteArray("\x00\x00\x20\x00", 4));
    QTest::newRow("invalid word of present indicator")
        << quint8(0x40) << reply(presentBad) << false;
    QByteArray exp127 = exampleRecord();
    exp127.replace(7 + 4 * 5, 4, QByteArray("\x00\x00\x40\x7F", 4));
    QTest::newRow("exponent 127 reads as zero") << quint8(0x40) << reply(exp127) << true;
}

void TstRecordDecoder::refuses() {
    QFETCH(quint8, status);
    QFETCH(QByteArray, data);
    QFETCH(bool, accepted);
    TMeasurementRecord rec;
    QCOMPARE(DecodeRecord(status, data, rec), accepted);
}

void TstRecordDecoder::newMeasurementFlags_data() {
    QTest::addColumn<quint16>("flags");
    QTest::addColumn<bool>("isNew");
    QTest::newRow("0x0800") << quint16(0x0800) << true;
    QTest::newRow("0x0801") << quint16(0x0801) << false;
    QTest::newRow("0x0000") << quint16(0x0000) << false;
    QTest::newRow("other bits set") << quint16(0xFFFE) << true;
    QTest::newRow("all bits") << quint16(0xFFFF) << false;
    QTest::newRow("bit 11 clear, others set") << quint16(0xF7FE) << false;
}

void TstRecordDecoder::newMeasurementFlags() {
    QFETCH(quint16, flags);
    QFETCH(bool, isNew);
    TMeasurementRecord rec;
    rec.Flags = flags;
    QCOMPARE(IsNewMeasurement(rec), isNew);
}

void TstRecordDecoder::encoderIsInverse() {
    TMeasurementRecord rec;
    rec.Mask = 0x05A5A5A5;
    rec.Flags = 0x0800;
    rec.Calibration = 77;
    for (int k = 0; k < IndicatorCount; ++k)
        rec.Values[k] = (k % 2 ? -1.0 : 1.0) * std::ldexp(1.0 + k / 32.0, k - 13);
    rec.Values[3] = 0.0;
    rec.Values[4] = 1.7014116317805963e+38;

    const QByteArray carriers = EncodeRecordCarriers(rec, 0xA7);
    QCOMPARE(carriers.size(), RecordCarrierCount);
    for (const char c : carriers)
        QCOMPARE(quint8(c) & 0xF0, 0xA0);
    // Independent of the encoder's own byte builder: the fields as written by hand.
    QCOMPARE(carriers.left(14), QByteArray("\xA5\xAA\xA5\xAA\xA5\xAA\xA5\xA0"
                                           "\xA0\xA0\xA8\xA0"
                                           "\xAD\xA4",
                                           14));

    TMeasurementRecord back;
    QVERIFY(DecodeRecord(0x40, carriers, back));
    QCOMPARE(back.Mask, rec.Mask);
    QCOMPARE(back.Flags, rec.Flags);
    QCOMPARE(back.Calibration, rec.Calibration);
    for (int k = 0; k < IndicatorCount; ++k)
        QCOMPARE(back.Values[k], rec.Values[k]);

    // A value the format cannot hold exactly comes back as its nearest device float.
    rec.Values[0] = 4.35;
    QVERIFY(DecodeRecord(0x40, EncodeRecordCarriers(rec), back));
    QCOMPARE(back.Values[0], DeviceFloatToReal(NearestDeviceFloat(4.35)));
    QVERIFY(std::fabs(back.Values[0] - 4.35) < 1e-6);

    rec.Values[0] = 1e39;
    QVERIFY_THROWS_EXCEPTION(EConvertError, EncodeRecordCarriers(rec));
}

void TstRecordDecoder::format_data() {
    QTest::addColumn<double>("value");
    QTest::addColumn<QChar>("separator");
    QTest::addColumn<QString>("expected");

    const QChar comma(',');
    // The examples of the table.
    QTest::newRow("12.5") << 12.5 << comma << "12,50";
    QTest::newRow("-0.75") << -0.75 << comma << "-0,75";
    QTest::newRow("0.125 half up") << 0.125 << comma << "0,13";
    QTest::newRow("0.026611328125") << 0.026611328125 << comma << "0,03";
    QTest::newRow("123456768") << 123456768.0 << comma << "123456768,00";
    QTest::newRow("point separator") << -1234.5 << QChar('.') << "-1234.50";

    // Halves away from zero, judged on the exact binary value.
    QTest::newRow("-0.125 half away") << -0.125 << comma << "-0,13";
    QTest::newRow("1234567.125") << 1234567.125 << comma << "1234567,13";
    QTest::newRow("0.015 is below half") << 0.015 << comma << "0,01";
    QTest::newRow("2.675 is below half") << 2.675 << comma << "2,67";
    QTest::newRow("0.005 is above half") << 0.005 << comma << "0,01";
    QTest::newRow("99.995 carries") << 99.995 << comma << "100,00";

    // Zeros and signs.
    QTest::newRow("zero") << 0.0 << comma << "0,00";
    QTest::newRow("negative zero") << -0.0 << comma << "0,00";
    QTest::newRow("tiny negative") << -0.001 << comma << "0,00";
    QTest::newRow("-0.005 rounds away") << -0.005 << comma << "-0,01";

    // Nine significant digits where two decimals would keep more.
    QTest::newRow("12345678.25 half away") << 12345678.25 << comma << "12345678,30";
    QTest::newRow("12345678.55") << 12345678.55 << comma << "12345678,60";
    QTest::newRow("123456789.125") << 123456789.125 << comma << "123456789,00";
    QTest::newRow("1234567.891") << 1234567.891 << comma << "1234567,89";

    // More than nine integer digits.
    QTest::newRow("999999999.5 carries") << 999999999.5 << comma << "1,00000000E+09";
    QTest::newRow("1234567885 half away") << 1234567885.0 << comma << "1,23456789E+09";
    QTest::newRow("largest device float") << 1.7014116317805963e+38 << comma << "1,70141163E+38";
    QTest::newRow("largest double") << 1.7976931348623157e308 << comma << "1,79769313E+308";

    QTest::newRow("nan") << std::nan("") << comma << "NAN";
    QTest::newRow("infinity") << HUGE_VAL << comma << "INF";
}

void TstRecordDecoder::format() {
    QFETCH(double, value);
    QFETCH(QChar, separator);
    QFETCH(QString, expected);
    QCOMPARE(TValueText::Table(value, separator), expected);
}

QTEST_GUILESS_MAIN(TstRecordDecoder)
#include "tst_recorddecoder.moc"
