// Any reply bytes (up to 300) as the data of a reply to command 6: decoding
// never crashes, refuses what it must, and every value it accepts formats
// to a table text close to the value.
#include "analyser/FPConvert.h"
#include "fuzz/FuzzCheck.h"
#include "measurement/RecordDecoder.h"
#include "measurement/ValueText.h"

#include <QLocale>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace {

constexpr size_t kMaxReply = 300;

void checkFormat(double value) {
    for (const QChar separator : {QChar(u','), QChar(u'.')}) {
        const QString text = TValueText::Table(value, separator);
        FUZZ_CHECK(!text.isEmpty());
        FUZZ_CHECK(text.count(separator) == 1);
        if (text.contains(u'E')) {
            // Only where the integer part has more than 9 digits.
            FUZZ_CHECK(std::fabs(value) >= 999999999.5);
            continue;
        }
        const qsizetype point = text.indexOf(separator);
        FUZZ_CHECK(text.size() - point - 1 == 2);
        QString plain = text;
        plain.replace(separator, u'.');
        bool ok = false;
        const double shown = QLocale::c().toDouble(plain, &ok);
        FUZZ_CHECK(ok);
        // Two decimals, or 9 significant digits where that keeps fewer.
        const double tolerance = std::max(0.005, std::fabs(value) * 1e-8);
        FUZZ_CHECK(std::fabs(shown - value) <= tolerance * (1 + 1e-9));
        FUZZ_CHECK(!text.startsWith(u'-') || value < 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxReply)
        return -1; // longer than any reply; not worth keeping
    const QByteArrayView reply(reinterpret_cast<const char*>(data), qsizetype(size));

    TMeasurementRecord other;
    for (const quint8 status : {quint8(0x41), quint8(0xFF), quint8(0x00)})
        FUZZ_CHECK(!DecodeRecord(status, reply, other));

    TMeasurementRecord record;
    const bool decoded = DecodeRecord(ReplyStatusComplete, reply, record);
    if (size < size_t(RecordCarrierCount)) {
        FUZZ_CHECK(!decoded);
        return 0;
    }

    // The record's words, straight from the carriers' low halves.
    quint8 bytes[RecordSize];
    for (int i = 0; i < RecordSize; ++i)
        bytes[i] = quint8((data[2 * i] & 0x0F) | ((data[2 * i + 1] & 0x0F) << 4));
    bool allValid = true;
    for (int k = 0; k < IndicatorCount; ++k) {
        const int at = 7 + 4 * k;
        const quint32 word = quint32(bytes[at]) | (quint32(bytes[at + 1]) << 8) |
                             (quint32(bytes[at + 2]) << 16) | (quint32(bytes[at + 3]) << 24);
        try {
            const double value = DeviceFloatToReal(word);
            if (decoded)
                FUZZ_CHECK(record.Values[size_t(k)] == value);
        } catch (const EConvertError&) {
            allValid = false;
        }
    }
    // One refused word, present or not, refuses the whole record.
    FUZZ_CHECK(decoded == allValid);
    if (!decoded)
        return 0;

    FUZZ_CHECK(record.Mask == (quint32(bytes[0]) | (quint32(bytes[1]) << 8) |
                               (quint32(bytes[2]) << 16) | (quint32(bytes[3]) << 24)));
    FUZZ_CHECK(record.Flags == quint16(bytes[4] | (bytes[5] << 8)));
    FUZZ_CHECK(record.Calibration == bytes[6]);
    for (const double value : record.Values)
        checkFormat(value);

    // Encoding the record again gives carriers that decode to the same record.
    const QByteArray carriers = EncodeRecordCarriers(record, data[0]);
    TMeasurementRecord again;
    FUZZ_CHECK(DecodeRecord(ReplyStatusComplete, carriers, again));
    FUZZ_CHECK(again.Mask == record.Mask && again.Flags == record.Flags &&
               again.Calibration == record.Calibration && again.Values == record.Values);
    return 0;
}
