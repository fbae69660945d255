#include "analyser/FPConvert.h"

#include <cmath>

namespace {

constexpr quint32 kSignBit = 0x00800000u;
constexpr quint32 kLeadBit = 0x00400000u;
constexpr quint32 kMantissaBits = 0x007FFFFFu;
constexpr int kMinExponent = -128;
constexpr int kMaxExponent = 126;   // 127 is the zero-reading exponent

quint32 makeWord(bool negative, int exponent, quint32 mantissa) {
    return (quint32(quint8(qint8(exponent))) << 24) | (negative ? kSignBit : 0u) | mantissa;
}

} // namespace

EConvertError::EConvertError() : std::runtime_error("Invalid FP format") {}

double DeviceFloatToReal(quint32 word) {
    const quint32 mantissa = word & kMantissaBits;
    const int exponent = qint8(quint8(word >> 24));
    if (exponent == 0 && mantissa == 0)
        return 0.0;
    if ((word & kLeadBit) == 0)
        throw EConvertError();
    if (exponent == 127)
        return 0.0;
    const double magnitude = std::ldexp(double(mantissa), exponent - 22);
    return (word & kSignBit) ? -magnitude : magnitude;
}

std::optional<quint32> RealToDeviceFloat(double value) {
    if (value == 0.0)
        return 0u;
    if (!std::isfinite(value))
        return std::nullopt;
    int binExp = 0;
    const double fraction = std::frexp(std::fabs(value), &binExp);   // [0.5, 1)
    const int exponent = binExp - 1;
    const double scaled = std::ldexp(fraction, 23);                  // [2^22, 2^23)
    if (exponent < kMinExponent || exponent > kMaxExponent || scaled != std::floor(scaled))
        return std::nullopt;
    return makeWord(value < 0, exponent, quint32(scaled));
}

quint32 NearestDeviceFloat(double value) {
    if (!std::isfinite(value))
        throw EConvertError();
    if (value == 0.0)
        return 0u;
    const double magnitude = std::fabs(value);
    if (magnitude < std::ldexp(1.0, kMinExponent - 1))
        return 0u;
    int binExp = 0;
    const double fraction = std::frexp(magnitude, &binExp);
    int exponent = binExp - 1;
    double scaled = std::nearbyint(std::ldexp(fraction, 23));
    if (scaled >= std::ldexp(1.0, 23)) {   // rounding carried into the next binade
        scaled = std::ldexp(1.0, 22);
        ++exponent;
    }
    if (exponent < kMinExponent)
        return makeWord(value < 0, kMinExponent, kLeadBit);
    if (exponent > kMaxExponent)
        throw EConvertError();
    return makeWord(value < 0, exponent, quint32(scaled));
}
