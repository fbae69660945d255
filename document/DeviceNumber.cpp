#include "document/DeviceNumber.h"

#include <cmath>
#include <limits>

namespace {

// Nearest integer, halves to the even neighbour; values beyond the range
// (possible only from a hand-edited configuration) are clamped.
qint64 RoundHalfEven(double value, qint64 lo, qint64 hi) {
    if (std::isnan(value))
        return 0;
    const double r = std::nearbyint(value);
    if (r <= double(lo))
        return lo;
    if (r >= double(hi))
        return hi;
    return static_cast<qint64>(r);
}

} // namespace

quint16 TDeviceNumber::ForPoller(double fieldValue) {
    return static_cast<quint16>(RoundHalfEven(fieldValue, std::numeric_limits<qint64>::min() / 2,
                                              std::numeric_limits<qint64>::max() / 2));
}

qint32 TDeviceNumber::ForSettings(double fieldValue) {
    return static_cast<qint32>(RoundHalfEven(fieldValue, std::numeric_limits<qint32>::min(),
                                             std::numeric_limits<qint32>::max()));
}
