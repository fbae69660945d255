#include "analyser/FPConvert.h"

#include <QtTest>

#include <cmath>
#include <limits>

namespace {

// Record bytes in record order; the last one is the exponent byte.
quint32 wordOf(quint8 b0, quint8 b1, quint8 b2, quint8 b3) {
    return quint32(b0) | (quint32(b1) << 8) | (quint32(b2) << 16) | (quint32(b3) << 24);
}

} // namespace

class TstFPConvert : public QObject {
    Q_OBJECT
private slots:
    void deviceFloatToReal_data();
    void deviceFloatToReal();
    void roundTripsExactly_data();
    void roundTripsExactly();
    void refusesInexact_data();
    void refusesInexact();
    void nearest_data();
    void nearest();
    void nearestRefusesOutOfRange_data();
    void nearestRefusesOutOfRange();
};

namespace {

struct Case {
    const char* name;
    quint32 word;
    bool valid;
    double value;
};

// The format's table of cases, record bytes in record order.
const Case kCases[] = {
    {"zero", wordOf(0x00, 0x00, 0x00, 0x00), true, 0.0},
    {"zero with sign", wordOf(0x00, 0x00, 0x80, 0x00), true, 0.0},
    {"1.0", wordOf(0x00, 0x00, 0x40, 0x00), true, 1.0},
    {"-1.0", wordOf(0x00, 0x00, 0xC0, 0x00), true, -1.0},
    {"2.5", wordOf(0x00, 0x00, 0x50, 0x01), true, 2.5},
    {"0.5", wordOf(0x00, 0x00, 0x40, 0xFF), true, 0.5},
    {"12.5", wordOf(0x00, 0x00, 0x64, 0x03), true, 12.5},
    {"-0.75", wordOf(0x00, 0x00, 0xE0, 0xFF), true, -0.75},
    {"0.026611328125", wordOf(0x00, 0x00, 0x6D, 0xFA), true, 0.026611328125},
    {"largest", wordOf(0xFF, 0xFF, 0x7F, 0x7E), true, 1.7014116317805963e+38},
    {"smallest", wordOf(0x00, 0x00, 0x40, 0x80), true, 2.938735877055719e-39},
    {"exponent 127", wordOf(0x00, 0x00, 0x40, 0x7F), true, 0.0},
    {"exponent 127 negative", wordOf(0x12, 0x34, 0xF6, 0x7F), true, 0.0},
    {"no lead bit", wordOf(0x00, 0x00, 0x20, 0x00), false, 0.0},
    {"exponent only", wordOf(0x00, 0x00, 0x00, 0x01), false, 0.0},
};

} // namespace

void TstFPConvert::deviceFloatToReal_data() {
    QTest::addColumn<quint32>("word");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<double>("expected");
    for (const Case& c : kCases)
        QTest::newRow(c.name) << c.word << c.valid << c.value;
}

void TstFPConvert::deviceFloatToReal() {
    QFETCH(quint32, word);
    QFETCH(bool, valid);
    QFETCH(double, expected);
    if (!valid) {
        try {
            DeviceFloatToReal(word);
            QFAIL("word accepted");
        } catch (const EConvertError& e) {
            QCOMPARE(QByteArray(e.what()), QByteArray("Invalid FP format"));
        }
        return;
    }
    QCOMPARE(DeviceFloatToReal(word), expected);   // exact: every device float fits a double
}

void TstFPConvert::roundTripsExactly_data() {
    QTest::addColumn<quint32>("word");
    QTest::addColumn<double>("value");
    for (const Case& c : kCases)
        if (c.valid && c.value != 0.0)
            QTest::newRow(c.name) << c.word << c.value;
    QTest::newRow("negative zero") << 0u << -0.0;
}

void TstFPConvert::roundTripsExactly() {
    QFETCH(quint32, word);
    QFETCH(double, value);
    QCOMPARE(RealToDeviceFloat(value), std::optional<quint32>(word));
    QCOMPARE(NearestDeviceFloat(value), word);
}

void TstFPConvert::refusesInexact_data() {
    QTest::addColumn<double>("value");
    QTest::newRow("0.1") << 0.1;
    QTest::newRow("24 significant bits") << double((1 << 23) + 1);
    QTest::newRow("below smallest") << std::ldexp(1.0, -129);
    QTest::newRow("exponent 127") << std::ldexp(1.0, 127);
    QTest::newRow("above largest") << std::ldexp(1.0, 200);
    QTest::newRow("nan") << std::numeric_limits<double>::quiet_NaN();
    QTest::newRow("infinity") << std::numeric_limits<double>::infinity();
}

void TstFPConvert::refusesInexact() {
    QFETCH(double, value);
    QVERIFY(!RealToDeviceFloat(value).has_value());
}

void TstFPConvert::nearest_data() {
    QTest::addColumn<double>("value");
    QTest::addColumn<double>("expected");
    QTest::newRow("tie goes to even") << double((1 << 23) + 3) << double((1 << 23) + 4);
    QTest::newRow("carry into next binade") << std::ldexp(double((1 << 24) - 1), -1) << double(1 << 23);
    QTest::newRow("0.1") << 0.1 << 6710886.0 * std::ldexp(1.0, -26);
    QTest::newRow("tiny to zero") << std::ldexp(1.0, -140) << 0.0;
    QTest::newRow("half smallest up") << -std::ldexp(1.0, -129) << -std::ldexp(1.0, -128);
}

void TstFPConvert::nearest() {
    QFETCH(double, value);
    QFETCH(double, expected);
    QCOMPARE(DeviceFloatToReal(NearestDeviceFloat(value)), expected);
}

void TstFPConvert::nearestRefusesOutOfRange_data() {
    QTest::addColumn<double>("value");
    QTest::newRow("2^127") << std::ldexp(1.0, 127);
    QTest::newRow("rounds above largest") << std::ldexp(double((1 << 24) - 1), 103);
    QTest::newRow("nan") << std::numeric_limits<double>::quiet_NaN();
}

void TstFPConvert::nearestRefusesOutOfRange() {
    QFETCH(double, value);
    QVERIFY_THROWS_EXCEPTION(EConvertError, NearestDeviceFloat(value));
}

QTEST_GUILESS_MAIN(TstFPConvert)
#include "tst_fpconvert.moc"
