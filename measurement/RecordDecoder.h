#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

#include <array>

// The measurement record of a reply to command 6: 115 bytes carried in the low
// halves of 230 reply bytes (low half first). Pure functions, no widgets.

constexpr int IndicatorCount = 27;
constexpr int RecordSize = 115;
constexpr int RecordCarrierCount = 2 * RecordSize;
constexpr quint8 ReplyStatusComplete = 0x40;

struct TMeasurementRecord {
    quint32 Mask = 0;  // bit k: indicator k present
    quint16 Flags = 0; // bit 11 set, bit 0 clear: new measurement
    quint8 Calibration = 0;
    std::array<double, IndicatorCount> Values{};
};

// Decodes status and reply data (the carriers; at least 230 bytes, usually the
// 234 of the reply). False for a status other than 0x40, too few bytes or any
// value word refused by the float format, absent indicators included; record
// is then unspecified.
bool DecodeRecord(quint8 status, QByteArrayView data, TMeasurementRecord& record) noexcept;

// The 115 record bytes carried by data; bytes past its end read as 0.
QByteArray DecodeRecordBytes(QByteArrayView data);

// (Flags & 0x0801) == 0x0800
bool IsNewMeasurement(const TMeasurementRecord& record);

// The 115 record bytes for the given fields and raw value words.
QByteArray EncodeRecordBytes(quint32 mask, quint16 flags, quint8 calibration,
                             const std::array<quint32, IndicatorCount>& words);

// The 230 carriers of record bytes: low half, then high half of each byte, each
// carrier's high four bits taken from highNibbleNoise's high four bits.
QByteArray EncodeCarriers(QByteArrayView recordBytes, quint8 highNibbleNoise = 0);

// Inverse of DecodeRecord for the simulator and tests. Each value becomes the
// nearest device float (NearestDeviceFloat); throws EConvertError for a value
// the format cannot hold (NaN, infinity, too large).
QByteArray EncodeRecordCarriers(const TMeasurementRecord& rec, quint8 highNibbleNoise = 0);
