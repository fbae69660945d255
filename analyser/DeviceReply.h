#pragma once

#include <QtGlobal>

#include <array>

// Reply record of the last command 6 or 7.
// Status: 0x40 complete, 0x41 complete long form of command 7, 0xFF incomplete.
struct TDeviceReply {
    quint8 Status = 0;
    std::array<quint8, 234> Data{};
    qint32 Count = 0;
};
