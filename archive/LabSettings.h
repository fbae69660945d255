#pragma once

#include <QString>

// Where the lab's shared archive is: the [LabServer] keys of the settings
// file. No password is kept here: libpq takes it from the password file
// (~/.pgpass, PGPASSFILE) or a service file (PGSERVICEFILE).
class TLabSettings {
public:
    QString Host; // empty: no lab server
    int Port = 5432;
    QString Database = QStringLiteral("savro2");
    QString User;
    QString SslMode = QStringLiteral("require"); // disable, require or verify-full
    QString CaFile; // for verify-full

    bool Configured() const { return !Host.trimmed().isEmpty(); }
    // Which server the local archive's "confirmed" marks belong to: another
    // server or database gets everything again.
    QString ServerId() const;
    // The libpq options for QSqlDatabase::setConnectOptions, every typed
    // value quoted.
    QString ConnectOptions() const;
    // Why these settings cannot be used as they are; empty when they can.
    QString Problem() const;

    // A missing or unusable value keeps the default.
    void Read(const QString& iniPath);
    static TLabSettings FromIni(const QString& iniPath);
    void Write(const QString& iniPath) const;

    bool operator==(const TLabSettings& other) const;
    bool operator!=(const TLabSettings& other) const { return !(*this == other); }
};
