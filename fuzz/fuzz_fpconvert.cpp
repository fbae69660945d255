// Any 4 bytes as a device float word (record order, exponent byte last): it
// converts or is refused, and a converted value goes back to a word that
// converts to the same value.
#include "analyser/FPConvert.h"
#include "fuzz/FuzzCheck.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size != 4)
        return -1;
    const quint32 word = quint32(data[0]) | (quint32(data[1]) << 8) | (quint32(data[2]) << 16)
                         | (quint32(data[3]) << 24);
    const bool zeroForm = (word & ~0x00800000u) == 0;
    const bool leadBit = (word & 0x00400000u) != 0;

    double value = 0.0;
    try {
        value = DeviceFloatToReal(word);
    } catch (const EConvertError& e) {
        FUZZ_CHECK(!zeroForm && !leadBit);
        FUZZ_CHECK(std::string(e.what()) == "Invalid FP format");
        return 0;
    }
    FUZZ_CHECK(zeroForm || leadBit);
    FUZZ_CHECK(std::isfinite(value));
    if (value != 0.0) {
        // 2^-128 up to (2^23 - 1) * 2^104 in magnitude, sign from bit 23.
        FUZZ_CHECK(std::fabs(value) >= std::ldexp(1.0, -128));
        FUZZ_CHECK(std::fabs(value) <= std::ldexp(double((1u << 23) - 1), 104));
        FUZZ_CHECK((value < 0) == ((word & 0x00800000u) != 0));
    }

    const std::optional<quint32> back = RealToDeviceFloat(value);
    FUZZ_CHECK(back.has_value());
    FUZZ_CHECK(DeviceFloatToReal(*back) == value);
    // Words that read as a number (not zero, exponent not 127) have only one form.
    if (value != 0.0)
        FUZZ_CHECK(*back == word);
    FUZZ_CHECK(NearestDeviceFloat(value) == *back);
    return 0;
}
