#pragma once

#include <QtGlobal>

// The device-number field holds a double; the poller and the settings file
// each take a whole number from it.
class TDeviceNumber {
public:
    // The number the poller addresses each turn.
    static quint16 ForPoller(double fieldValue);
    // The number the settings file keeps.
    static qint32 ForSettings(double fieldValue);
};
