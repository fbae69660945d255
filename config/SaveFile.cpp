#include "config/SaveFile.h"

#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

TSaveFile::TSaveFile(const QString& fileName) : FileName_(fileName), File_(fileName) {}

TSaveFile::~TSaveFile() = default; // QSaveFile drops an uncommitted file

bool TSaveFile::Open() {
    // A folder in the way would give only "cannot create" from QSaveFile.
    if (QFileInfo(FileName_).isDir())
        return Fail(EISDIR);
    errno = 0;
    return File_.open(QIODevice::WriteOnly) || Fail(errno);
}

bool TSaveFile::Write(QByteArrayView bytes) {
    errno = 0;
    return File_.write(bytes.data(), bytes.size()) == bytes.size() || Fail(errno);
}

bool TSaveFile::Commit() {
    if (!File_.isOpen())
        return Fail(Errno_);
    // What is still buffered fails here, not unseen inside commit(); a write
    // that failed earlier is remembered by the file.
    errno = 0;
    if (!File_.flush() || File_.error() != QFileDevice::NoError)
        return Fail(errno);
    // Space a file system only gives when the blocks are written (delayed
    // allocation) is asked for here.
    if (::fsync(File_.handle()) != 0)
        return Fail(errno);
    errno = 0;
    if (!File_.commit())
        return Fail(errno);
    SyncFolder(QFileInfo(FileName_).absolutePath());
    return true;
}

QString TSaveFile::Error() const {
    if (Errno_ != 0)
        return qt_error_string(Errno_);
    return Error_.isEmpty() ? File_.errorString() : Error_;
}

bool TSaveFile::Fail(int code) {
    if (Errno_ == 0)
        Errno_ = code;
    if (Error_.isEmpty())
        Error_ = File_.errorString();
    if (File_.isOpen())
        File_.cancelWriting();
    return false;
}

void TSaveFile::SyncFolder(const QString& folder) {
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}
