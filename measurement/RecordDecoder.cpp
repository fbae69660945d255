#include "measurement/RecordDecoder.h"

#include "analyser/FPConvert.h"

namespace {

quint32 littleEndian32(const std::array<quint8, RecordSize>& bytes, int at) {
    return quint32(bytes[at]) | (quint32(bytes[at + 1]) << 8) | (quint32(bytes[at + 2]) << 16) |
           (quint32(bytes[at + 3]) << 24);
}

void appendLittleEndian(QByteArray& out, quint32 value, int size) {
    for (int i = 0; i < size; ++i)
        out.append(char(quint8(value >> (8 * i))));
}

} // namespace

namespace {

// Record byte i from the low halves of its two carriers, low half first.
quint8 RecordByte(QByteArrayView carriers, int i) {
    return quint8((quint8(carriers[2 * i]) & 0x0F) | ((quint8(carriers[2 * i + 1]) & 0x0F) << 4));
}

} // namespace

bool DecodeRecord(quint8 status, QByteArrayView data, TMeasurementRecord& record) noexcept {
    if (status != ReplyStatusComplete || data.size() < RecordCarrierCount)
        return false;
    std::array<quint8, RecordSize> bytes{};
    for (int i = 0; i < RecordSize; ++i)
        bytes[i] = RecordByte(data, i);
    record.Mask = littleEndian32(bytes, 0);
    record.Flags = quint16(bytes[4] | (bytes[5] << 8));
    record.Calibration = bytes[6];
    try {
        for (int k = 0; k < IndicatorCount; ++k)
            record.Values[k] = DeviceFloatToReal(littleEndian32(bytes, 7 + 4 * k));
    } catch (const EConvertError&) {
        return false;
    }
    return true;
}

QByteArray DecodeRecordBytes(QByteArrayView data) {
    QByteArray bytes(RecordSize, '\0');
    for (int i = 0; i < RecordSize && 2 * i + 1 < data.size(); ++i)
        bytes[i] = char(RecordByte(data, i));
    return bytes;
}

bool IsNewMeasurement(const TMeasurementRecord& record) {
    return (record.Flags & 0x0801) == 0x0800;
}

QByteArray EncodeRecordBytes(quint32 mask, quint16 flags, quint8 calibration,
                             const std::array<quint32, IndicatorCount>& words) {
    QByteArray out;
    out.reserve(RecordSize);
    appendLittleEndian(out, mask, 4);
    appendLittleEndian(out, flags, 2);
    out.append(char(calibration));
    for (const quint32 word : words)
        appendLittleEndian(out, word, 4);
    return out;
}

QByteArray EncodeCarriers(QByteArrayView recordBytes, quint8 highNibbleNoise) {
    const quint8 high = highNibbleNoise & 0xF0;
    QByteArray out;
    out.reserve(2 * recordBytes.size());
    for (const char c : recordBytes) {
        const auto b = quint8(c);
        out.append(char(high | (b & 0x0F)));
        out.append(char(high | (b >> 4)));
    }
    return out;
}

QByteArray EncodeRecordCarriers(const TMeasurementRecord& rec, quint8 highNibbleNoise) {
    std::array<quint32, IndicatorCount> words{};
    for (int k = 0; k < IndicatorCount; ++k)
        words[k] = NearestDeviceFloat(rec.Values[k]);
    return EncodeCarriers(EncodeRecordBytes(rec.Mask, rec.Flags, rec.Calibration, words),
                          highNibbleNoise);
}
