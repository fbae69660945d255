#pragma once

#include <QString>

// The report's keys in the settings file: [Report] Laboratory, the name
// every report's heading starts with.
class TReportSettings {
public:
    QString Laboratory;

    void Read(const QString& path);
    // Throws EIniFileException when the file cannot take the name.
    void Write(const QString& path) const;
};
