#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <stdexcept>

// The command line asks for settings that cannot be used; the message is for
// the operator, in Russian.
class EProfileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Which Savro2.Ini a running copy uses and where it keeps its recovery
// copies. Copies started with different settings never share either, so one
// machine can serve several analysers, one copy each.
class TProfile {
public:
    static inline const QString DefaultIniName = QStringLiteral("Savro2.Ini");

    // The value of "--settings PATH" or "--settings=PATH"; nullopt when the
    // option is not there. Throws EProfileError when it has no value or is
    // given twice.
    static std::optional<QString> SettingsOption(const QStringList& arguments);

    // PATH of --settings: a folder (its Savro2.Ini) or an INI file. A missing
    // folder is created; throws EProfileError when that fails or the path is
    // neither a folder nor a file. Needs the application name set (for the
    // data folder), not the application object.
    static TProfile ForSettings(const QString& path);

    // Without --settings: the INI where ConfigPath() puts it. The user's data
    // folder belongs to the first such INI that used it (an installed and a
    // portable copy each have their own); another one gets a folder of its
    // own as with --settings, so recovery copies, the pending record and the
    // archive of two copies never mix.
    static TProfile Default(const QString& iniPath);

    const QString& IniPath() const { return IniPath_; }
    const QString& DataFolder() const { return DataFolder_; }
    bool IsDefault() const { return Default_; }

    // Folder name plus a hash of the INI's full path: readable, and unique
    // even for two folders of the same name.
    static QString DataFolderFor(const QString& iniPath);

    // In the user's data folder: the INI it belongs to.
    static inline const QString OwnerFileName = QStringLiteral("settings-path");

private:
    static QString DefaultDataFolder(const QString& iniPath);

    QString IniPath_;
    QString DataFolder_;
    bool Default_ = false;
};
