#pragma once

#include <QByteArray>

// A complete reply to command 6 from device 10 carrying one new measurement
// whose first indicator is value (calibration 3).
QByteArray RecordReply(double value);
