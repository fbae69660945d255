#include "support/ReadOnlyFolder.h"

#include <QProcess>
#include <QStringList>

#include <utility>

namespace {

bool Chattr(const char* flag, const QString& path) {
    QProcess p;
    p.start(QStringLiteral("chattr"), {QString::fromLatin1(flag), path});
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

} // namespace

TReadOnlyFolder::TReadOnlyFolder(QString folder) : folder_(std::move(folder)) {
    if (Chattr("+i", folder_)) {
        immutable_ = true;
    } else {
        old_ = QFile::permissions(folder_);
        chmodded_ = QFile::setPermissions(
            folder_, old_ & ~(QFile::WriteOwner | QFile::WriteUser | QFile::WriteGroup | QFile::WriteOther));
    }
    QFile probe(folder_ + QStringLiteral("/probe"));
    if (probe.open(QIODevice::WriteOnly)) {
        probe.close();
        probe.remove();
        problem_ = QStringLiteral("neither chattr +i nor permission bits stop writing in %1").arg(folder_);
    }
}

TReadOnlyFolder::~TReadOnlyFolder() {
    if (immutable_)
        Chattr("-i", folder_);
    if (chmodded_)
        QFile::setPermissions(folder_, old_);
}
