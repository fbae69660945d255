#pragma once

#include <QtGlobal>

#include <optional>
#include <stdexcept>

// The analyser's own 32-bit float word: exponent byte on top (two's
// complement), sign in bit 23, leading mantissa bit written out in bit 22.
// value = (-1)^sign * bits[22..0] * 2^(e - 22)

class EConvertError : public std::runtime_error {
public:
    EConvertError();
};

// Exact value of the word (every device float fits a double). The zero form
// (only the sign bit may be set) and exponent 127 read as 0.0.
// Throws EConvertError "Invalid FP format" for a non-zero word without bit 22.
double DeviceFloatToReal(quint32 word);

// The word that holds value exactly; nullopt when there is none (NaN, infinity,
// more than 23 significant bits, magnitude outside 2^-128 .. (2^23-1)*2^104).
// Both zeros give the zero word 0, the format having no negative zero.
std::optional<quint32> RealToDeviceFloat(double value);

// The word nearest to value (ties to even mantissa); magnitudes below 2^-129
// give the zero word, from 2^-129 up to the smallest magnitude give 2^-128.
// Throws EConvertError for NaN, infinity or a magnitude that rounds above the
// largest (2^23-1)*2^104.
quint32 NearestDeviceFloat(double value);
