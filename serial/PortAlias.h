#pragma once

#include <QString>

// Stable names of USB serial adapters: the system keeps a link per adapter
// under /dev/serial/by-id/ pointing at whatever ttyUSBn the kernel gave it
// this time, so an adapter plugged back under a new name is found again.
class TPortAlias {
public:
    static QString DefaultFolder() { return QStringLiteral("/dev/serial/by-id"); }

    // The device file of a port name: bare names live under /dev.
    static QString DevicePath(const QString& port);
    // True only when the port has a device file that is not there now;
    // names without one (COM12 on Windows) are never missing.
    static bool Missing(const QString& port);
    // The link in folder that leads to the same device as port; empty when
    // there is none, or when port is itself a stable name.
    static QString Find(const QString& port, const QString& folder = DefaultFolder());
    // The port the link leads to now, written as port is (a bare name stays
    // bare); empty when the link leads nowhere.
    static QString Resolve(const QString& link, const QString& port);
};
