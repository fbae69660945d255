#include "serial/PortAlias.h"

#include <QDir>
#include <QFileInfo>

QString TPortAlias::DevicePath(const QString& port) {
    if (port.startsWith(u'/'))
        return port;
    return QStringLiteral("/dev/") + port;
}

bool TPortAlias::Missing(const QString& port) {
#ifdef Q_OS_WIN
    Q_UNUSED(port);
    return false;
#else
    return !port.isEmpty() && !QFileInfo::exists(DevicePath(port));
#endif
}

QString TPortAlias::Find(const QString& port, const QString& folder) {
#ifdef Q_OS_WIN
    Q_UNUSED(port);
    Q_UNUSED(folder);
    return {};
#else
    const QString path = DevicePath(port);
    const QDir dir(folder);
    if (QFileInfo(path).absolutePath() == dir.absolutePath())
        return {};
    const QString device = QFileInfo(path).canonicalFilePath();
    if (device.isEmpty())
        return {};
    const auto entries =
        dir.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& entry : entries) {
        if (entry.isSymLink() && entry.canonicalFilePath() == device)
            return entry.absoluteFilePath();
    }
    return {};
#endif
}

QString TPortAlias::Resolve(const QString& link, const QString& port) {
    if (link.isEmpty())
        return {};
    const QString target = QFileInfo(link).canonicalFilePath();
    if (target.isEmpty())
        return {};
    if (!port.startsWith(u'/') && target.startsWith(QStringLiteral("/dev/")) &&
        target.lastIndexOf(u'/') == 4)
        return target.mid(5);
    return target;
}
