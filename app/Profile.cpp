#include "app/Profile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>

namespace {

const QString kOption = QStringLiteral("--settings");

std::string Text(const QString& s) {
    return s.toStdString();
}

// The same file reached through a linked folder gets the same lock, server
// and data folder.
QString CanonicalFolder(const QString& folder) {
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    return canonical.isEmpty() ? QFileInfo(folder).absoluteFilePath() : canonical;
}

} // namespace

std::optional<QString> TProfile::SettingsOption(const QStringList& arguments) {
    std::optional<QString> value;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        std::optional<QString> found;
        if (arg == kOption) {
            // A following option is a forgotten value, not a path.
            if (i + 1 >= arguments.size() || arguments[i + 1].startsWith(u'-'))
                throw EProfileError("После --settings не указан путь к папке или файлу настроек.");
            found = arguments[++i];
        } else if (arg.startsWith(kOption + u'=')) {
            found = arg.mid(kOption.size() + 1);
        } else {
            continue;
        }
        if (value)
            throw EProfileError("Параметр --settings указан больше одного раза.");
        if (found->isEmpty())
            throw EProfileError("После --settings не указан путь к папке или файлу настроек.");
        value = found;
    }
    return value;
}

TProfile TProfile::ForSettings(const QString& path) {
    if (path.isEmpty())
        throw EProfileError("После --settings не указан путь к папке или файлу настроек.");
    const QFileInfo info(path);
    QString folder = path;
    QString file = DefaultIniName;
    if (info.isDir()) {
        // as given
    } else if (info.exists()) {
        if (!info.isFile())
            throw EProfileError(Text(QStringLiteral("«%1» — не папка и не файл настроек.")
                                         .arg(QDir::toNativeSeparators(path))));
        folder = info.absolutePath();
        file = info.fileName();
    } else if (!path.endsWith(u'/') && !path.endsWith(QDir::separator())
               && info.suffix().compare(QStringLiteral("ini"), Qt::CaseInsensitive) == 0) {
        folder = info.absolutePath();
        file = info.fileName();
    }
    if (!QDir().mkpath(folder) || !QFileInfo(folder).isDir())
        throw EProfileError(Text(QStringLiteral("Не удалось создать папку настроек «%1».")
                                     .arg(QDir::toNativeSeparators(folder))));

    TProfile profile;
    profile.IniPath_ = QDir(CanonicalFolder(folder)).filePath(file);
    if (QFileInfo(profile.IniPath_).isDir())
        throw EProfileError(Text(QStringLiteral("«%1» — папка, а не файл настроек.")
                                     .arg(QDir::toNativeSeparators(profile.IniPath_))));
    profile.DataFolder_ = DataFolderFor(profile.IniPath_);
    return profile;
}

TProfile TProfile::Default(const QString& iniPath) {
    TProfile profile;
    profile.IniPath_ = QDir(CanonicalFolder(QFileInfo(iniPath).absolutePath()))
                           .filePath(QFileInfo(iniPath).fileName());
    profile.DataFolder_ = DefaultDataFolder(profile.IniPath_);
    profile.Default_ = true;
    return profile;
}

QString TProfile::DefaultDataFolder(const QString& iniPath) {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    // Two copies starting at once must not both take it.
    QDir().mkpath(folder);
    QLockFile lock(QDir(folder).filePath(OwnerFileName + QStringLiteral(".lock")));
    lock.lock();
    QFile owner(QDir(folder).filePath(OwnerFileName));
    if (owner.open(QIODevice::ReadOnly)) {
        const QString claimed = QString::fromUtf8(owner.readAll()).trimmed();
        if (!claimed.isEmpty() && claimed != iniPath)
            return DataFolderFor(iniPath);
        return folder;
    }
    // Unclaimed (the first start after an update, too): the folder and what
    // it holds stay with this copy. A folder that cannot be written is used
    // as before.
    if (owner.open(QIODevice::WriteOnly))
        owner.write(iniPath.toUtf8());
    return folder;
}

QString TProfile::DataFolderFor(const QString& iniPath) {
    const QString absolute = QFileInfo(iniPath).absoluteFilePath();
    QString name = QFileInfo(QFileInfo(absolute).absolutePath()).fileName();
    if (name.isEmpty())
        name = QStringLiteral("root"); // settings in "/"
    const QByteArray hash =
        QCryptographicHash::hash(absolute.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation)
           + QStringLiteral("/profiles/") + name + u'-' + QString::fromLatin1(hash);
}
