#include "register/RecordDecoder.h"

#include "analyser/FPConvert.h"

#include <cmath>
#include <cstdio>
#include <string>

namespace {

quint32 littleEndian32(const std::array<quint8, RecordSize>& bytes, int at) {
    return quint32(bytes[at]) | (quint32(bytes[at + 1]) << 8) | (quint32(bytes[at + 2]) << 16) |
           (quint32(bytes[at + 3]) << 24);
}

void appendLittleEndian(QByteArray& out, quint32 value, int size) {
    for (int i = 0; i < size; ++i)
        out.append(char(quint8(value >> (8 * i))));
}

// Exact decimal expansion of |value|: no fraction digit is dropped, so the
// rounding below sees the true binary value.
std::string exactDecimal(double magnitude) {
    if (magnitude == 0.0)
        return "0";
    int binExp = 0;
    const double fraction = std::frexp(magnitude, &binExp);
    auto mantissa = static_cast<unsigned long long>(std::ldexp(fraction, 53));
    int lowestBit = binExp - 53;
    while (mantissa != 0 && (mantissa & 1u) == 0) {
        mantissa >>= 1;
        ++lowestBit;
    }
    const int fractionDigits = lowestBit < 0 ? -lowestBit : 0;
    std::string text(400 + fractionDigits, '\0');
    const int n = std::snprintf(text.data(), text.size(), "%.*f", fractionDigits, magnitude);
    text.resize(n > 0 ? std::size_t(n) : 0);
    return text;
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

QString FormatIndicator(double value, QChar decimalSeparator) {
    if (std::isnan(value))
        return QStringLiteral("NAN");
    if (std::isinf(value))
        return value < 0 ? QStringLiteral("-INF") : QStringLiteral("INF");

    constexpr int kMaxSignificant = 9;
    constexpr int kDecimals = 2;

    const std::string exact = exactDecimal(std::fabs(value));
    const std::size_t point = exact.find('.');
    std::string intPart = exact.substr(0, point);
    const std::string fracPart =
        point == std::string::npos ? std::string() : exact.substr(point + 1);
    if (intPart == "0")
        intPart.clear();

    // All digits from the first integer digit on; a pure fraction starts at the
    // first decimal.
    std::string digits = intPart + fracPart;
    int intLen = int(intPart.size());
    const std::size_t firstNonZero = digits.find_first_not_of('0');
    const int firstSignificant =
        firstNonZero == std::string::npos ? int(digits.size()) : int(firstNonZero);
    const int keep = std::min(intLen + kDecimals, firstSignificant + kMaxSignificant);

    if (int(digits.size()) < keep)
        digits.append(std::size_t(keep) - digits.size(), '0');
    const bool roundUp = int(digits.size()) > keep && digits[std::size_t(keep)] >= '5';
    digits.resize(std::size_t(keep));
    if (roundUp) {
        int i = keep - 1;
        for (; i >= 0 && digits[std::size_t(i)] == '9'; --i)
            digits[std::size_t(i)] = '0';
        if (i >= 0) {
            ++digits[std::size_t(i)];
        } else {
            digits.insert(digits.begin(), '1');
            ++intLen;
        }
    }

    const bool isZero = digits.find_first_not_of('0') == std::string::npos;
    QString out;
    if (value < 0 && !isZero)
        out += QLatin1Char('-');

    if (intLen > kMaxSignificant) {
        out += QLatin1Char(digits[0]);
        out += decimalSeparator;
        out += QLatin1String(digits.data() + 1, kMaxSignificant - 1);
        out += QStringLiteral("E+%1").arg(intLen - 1, 2, 10, QLatin1Char('0'));
        return out;
    }

    // Fixed: pad the kept digits out to two decimals.
    digits.resize(std::size_t(intLen + kDecimals), '0');
    out += intLen == 0 ? QStringLiteral("0") : QString::fromLatin1(digits.data(), intLen);
    out += decimalSeparator;
    out += QLatin1String(digits.data() + intLen, kDecimals);
    return out;
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
