#include "config/ConfigFile.h"

#include "config/SaveFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>

namespace {

struct BuiltInText {
    const char* type;
    const char* name;
    const char* resource;
};

constexpr BuiltInText kBuiltIn[] = {
    {"TXTFILE", "INIFILE1", ":/Savro2.Ini.default"},
};

[[noreturn]] void failCreate(const QString& path, int error, const QString& fallback) {
    const QString reason = error != 0 ? qt_error_string(error) : fallback;
    throw ECreateError(QStringLiteral("Cannot create file \"%1\". %2").arg(path, reason).toStdString());
}

} // namespace

QString InstalledBinDir() {
#ifdef SAVRO2_INSTALL_BINDIR
    return QStringLiteral(SAVRO2_INSTALL_BINDIR);
#else
    return {};
#endif
}

bool IsInstalledCopy(const QString& programDir, const QString& installedBinDir) {
    // Canonical paths: /bin and /usr/bin are one folder on a merged-/usr system.
    const QString here = QFileInfo(programDir).canonicalFilePath();
    if (!here.isEmpty() && !installedBinDir.isEmpty()
        && here == QFileInfo(installedBinDir).canonicalFilePath())
        return true;
    // The file is rewritten through a temporary beside it, so the folder itself
    // must be writable. For root only a read-only mount or an immutable folder
    // says no, which is what a write would find too.
    return !QFileInfo(programDir).isWritable();
}

QString ConfigPathFor(const QString& programDir, const QString& installedBinDir) {
    if (!IsInstalledCopy(programDir, installedBinDir))
        return programDir + QStringLiteral("/Savro2.Ini");
    const QString userDir = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    if (userDir.isEmpty())
        throw ECreateError("Cannot create file \"Savro2.Ini\". No user configuration folder");
    QDir().mkpath(userDir);
    return userDir + QStringLiteral("/Savro2.Ini");
}

QString ConfigPath() {
    return ConfigPathFor(QCoreApplication::applicationDirPath(), InstalledBinDir());
}

void SaveResourceToFile(const QString& type, const QString& name, const QString& path) {
    const char* resource = nullptr;
    for (const BuiltInText& item : kBuiltIn)
        if (type.compare(QLatin1String(item.type), Qt::CaseInsensitive) == 0
            && name.compare(QLatin1String(item.name), Qt::CaseInsensitive) == 0)
            resource = item.resource;
    if (!resource)
        throw EResNotFound(QStringLiteral("Resource %1 not found").arg(name).toStdString());

    QFile source(QString::fromLatin1(resource));
    if (!source.open(QIODevice::ReadOnly))
        throw EResNotFound(QStringLiteral("Resource %1 not found").arg(name).toStdString());
    const QByteArray bytes = source.readAll();

    TSaveFile target(path);
    if (!target.Open() || !target.Write(bytes) || !target.Commit())
        failCreate(path, target.ErrorCode(), target.Error());
}

void EnsureConfigFile(const QString& path) {
    const QFileInfo info(path);
    if (info.exists() && !info.isDir())
        return;
    SaveResourceToFile(QStringLiteral("TXTFILE"), QStringLiteral("INIFILE1"), path);
}
