#include "serial/CPortTypes.h"

#include <array>

namespace {

const std::array<const char*, 23> kErrorTexts = {
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
};

std::string PortMessage(quint8 code, const QString& portName) {
    return QStringLiteral("COM Port Error: %1 on %2")
        .arg(ComErrorText(code), portName)
        .toStdString();
}

} // namespace

qint32 BaudRateValue(TBaudRate rate, qint32 customRate) {
    static const std::array<qint32, 16> rates = {0,     110,   300,   600,    1200,   2400,
                                                 4800,  9600,  14400, 19200,  38400,  56000,
                                                 57600, 115200, 128000, 256000};
    // A value cast in from outside the enumeration falls back to the custom rate.
    const auto index = static_cast<std::size_t>(static_cast<int>(rate));
    if (rate == brCustom || index >= rates.size())
        return customRate;
    return rates[index];
}

QString ComErrorText(int code) {
    if (code >= 1 && code <= static_cast<int>(kErrorTexts.size()))
        return QString::fromLatin1(kErrorTexts[code - 1]);
    return QStringLiteral("Unknown Error #%1").arg(code);
}

EComPort::EComPort(quint8 code, const QString& portName)
    : std::runtime_error(PortMessage(code, portName)), code_(code) {}

EComPortExt::EComPortExt(quint8 code, qint32 osError, const QString& portName)
    : EComPort(code, portName), osError_(osError) {}
