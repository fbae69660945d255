#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The register's own keys in the settings file: [Config] COM, FileName,
// FileEncoding, DeviceNumber and Polling, [View] the shown columns, [Columns]
// their titles.
class TRegisterSettings {
public:
    // The first column the [View] flags cover; those before are always shown.
    static constexpr int FirstOptionalColumn = 5;

    // Read keeps these where the file has no value.
    QString Port;
    QString FileName;
    // What FileName is read with at start ("UTF-8"); empty: code page 1251.
    QString FileEncoding;
    qint32 DeviceNumber = 0;
    bool Polling = false;
    QStringList ColumnTitles;
    // Of the columns from FirstOptionalColumn on, in order.
    QList<bool> Shown;

    void Read(const QString& path, int columnCount);
    // Titles are not written. Returns the keys whose values the file's code
    // page cannot hold: those keep their old values, the others are written.
    QStringList Write(const QString& path) const;
    // What the operator is told about the keys Write left at path.
    static QString SkippedText(const QStringList& keys, const QString& path);
};
