#include "document/RecoveryFile.h"

#include "config/SaveFile.h"

#include "measurement/RecordDecoder.h"
#include "results/ResultsFile.h"
#include "results/ResultsTable.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>

#include <algorithm>
#include <limits>

#include <unistd.h>

namespace {


[[noreturn]] void Fail(const QString& what, const QString& path, const QString& reason) {
    throw ERecoveryError(
        QStringLiteral("%1 «%2»: %3").arg(what, QDir::toNativeSeparators(path), reason).toStdString());
}

// Held for as long as the program lives; only a dead holder makes it stale.
constexpr int kHeldForever = std::numeric_limits<int>::max();

// Names the copy and the lock of a results file, by its full name.
QString HashOf(const QString& absolute) {
    return QString::fromLatin1(
        QCryptographicHash::hash(absolute.toUtf8(), QCryptographicHash::Sha1).toHex().left(16));
}

void SaveSynced(const QString& path, const QByteArray& bytes) {
    TSaveFile file(path);
    if (!file.Open() || !file.Write(bytes) || !file.Commit())
        Fail(QStringLiteral("Не удалось записать резервную копию"), path, file.Error());
}

} // namespace

TRecoveryFile::TRecoveryFile(const QString& folder, const QString& lockFolder)
    : LockFolder_(lockFolder.isEmpty() ? QDir(DefaultFolder()).filePath(QStringLiteral("locks"))
                                       : lockFolder) {
    SetFolder(folder);
}

TRecoveryFile::~TRecoveryFile() = default;
TRecoveryFile::TRecoveryFile(TRecoveryFile&&) noexcept = default;

QString TRecoveryFile::LockPath(const QString& hash) const {
    return QDir(LockFolder_).filePath(hash + QStringLiteral(".lock"));
}

bool TRecoveryFile::Hold() {
    if (Lock_)
        return true;
    QDir().mkpath(LockFolder_);
    auto lock = std::make_unique<QLockFile>(LockPath(Hash_));
    lock->setStaleLockTime(kHeldForever);
    if (lock->tryLock(0)) {
        Lock_ = std::move(lock);
        return true;
    }
    // Only a live holder refuses; a folder that takes no lock leaves the
    // file as unguarded as before locks existed.
    return lock->error() != QLockFile::LockFailedError;
}

bool TRecoveryFile::HeldByAnyone(const QString& fileName) const {
    const QString absolute = QFileInfo(fileName).absoluteFilePath();
    if (Lock_ && absolute == ResultsFile_)
        return true;
    QLockFile lock(LockPath(HashOf(absolute)));
    lock.setStaleLockTime(kHeldForever);
    if (lock.tryLock(0))
        return false;
    return lock.error() == QLockFile::LockFailedError;
}

void TRecoveryFile::Release() {
    Lock_.reset(); // unlocks
}

QString TRecoveryFile::DefaultFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}

void TRecoveryFile::SetFolder(const QString& folder) {
    Release();
    Folder_ = folder.isEmpty() ? DefaultFolder() : folder;
    Forget();
}

void TRecoveryFile::SetResultsFile(const QString& fileName) {
    const QString absolute = QFileInfo(fileName).absoluteFilePath();
    if (absolute == ResultsFile_ && !Base_.isEmpty())
        return;
    ResultsFile_ = absolute;
    // Readable for whoever looks into the folder, unique by the full name.
    Hash_ = HashOf(absolute);
    Release();
    Base_ = QFileInfo(absolute).completeBaseName() + u'-' + Hash_;
    Forget();
}

QString TRecoveryFile::Path() const {
    return QDir(Folder_).filePath(Base_ + QStringLiteral(".txt"));
}

bool TRecoveryFile::Exists() const {
    return QFileInfo(Path()).isFile();
}

TRecoveryFile::TInfo TRecoveryFile::Inspect() const {
    TResultsTable copy;
    Load(copy);
    TInfo info;
    info.Rows = copy.RowCount() - 2;
    info.Time = QFileInfo(Path()).lastModified();
    return info;
}

void TRecoveryFile::EnsureFolder() const {
    if (!QDir().mkpath(Folder_))
        Fail(QStringLiteral("Не удалось создать папку резервных копий"), Folder_,
             QStringLiteral("нет доступа или это не папка"));
}

void TRecoveryFile::Write(const TResultsTable& table) {
    Forget();
    EnsureFolder();
    Hold();
    // The text a Save would write; its last line (the entry row) is where
    // the next measurement goes.
    const QByteArray out = ResultsText(table);
    QByteArray lastLine;
    AppendResultsLine(lastLine, table, table.RowCount() - 1);
    // The name first: a copy that is on disk is always one a start offers.
    if (!QFileInfo::exists(NamePath()))
        SaveSynced(NamePath(), ResultsFile_.toUtf8());
    SaveSynced(Path(), out);
    ++FullWrites_;
    Known_ = true;
    Size_ = out.size();
    LastLineAt_ = out.size() - lastLine.size();
    Lines_ = table.RowCount() - 1;
}

void TRecoveryFile::AppendMeasurement(const TResultsTable& table) {
    const int entry = table.RowCount() - 1;
    if (!Known_ || entry < 2 || Lines_ != entry - 1 || QFileInfo(Path()).size() != Size_) {
        Write(table);
        return;
    }
    QByteArray tail;
    AppendResultsLine(tail, table, entry - 1);
    const qint64 entryAt = LastLineAt_ + tail.size();
    AppendResultsLine(tail, table, entry);
    Forget();
    QFile file(Path());
    // One write over the old entry line: the lines before it are never
    // touched, so a crash can cost at most the line being written.
    if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered) || !file.seek(LastLineAt_) ||
        file.write(tail) != tail.size() || !file.resize(LastLineAt_ + tail.size()) ||
        ::fdatasync(file.handle()) != 0)
        Fail(QStringLiteral("Не удалось дописать резервную копию"), Path(), file.errorString());
    ++Appends_;
    Known_ = true;
    Size_ = LastLineAt_ + tail.size();
    LastLineAt_ = entryAt;
    Lines_ = entry;
}

void TRecoveryFile::Load(TResultsTable& table) const {
    try {
        LoadResultsFile(table, Path());
    } catch (const std::exception& e) {
        Fail(QStringLiteral("Не удалось прочитать резервную копию"), Path(),
             QString::fromLocal8Bit(e.what()));
    }
    table.SetModified(true);
}

QString TRecoveryFile::NamePath() const {
    return QDir(Folder_).filePath(Base_ + QStringLiteral(".name"));
}

QStringList TRecoveryFile::OtherResultsFiles() const {
    QStringList names;
    const QDir folder(Folder_);
    const QFileInfoList copies =
        folder.entryInfoList({QStringLiteral("*.txt")}, QDir::Files, QDir::Time);
    for (const QFileInfo& copy : copies) {
        QFile name(folder.filePath(copy.completeBaseName() + QStringLiteral(".name")));
        if (!name.open(QIODevice::ReadOnly))
            continue; // set aside, or not ours
        const QString results = QString::fromUtf8(name.readAll());
        if (results.isEmpty() || HeldByAnyone(results))
            continue; // a running program's
        if (!results.isEmpty() && results != ResultsFile_ && !names.contains(results))
            names << results;
    }
    return names;
}

void TRecoveryFile::Remove() {
    Forget();
    QFile::remove(NamePath());
    if (Exists() && !QFile::remove(Path()))
        Fail(QStringLiteral("Не удалось удалить резервную копию"), Path(),
             QStringLiteral("нет доступа"));
    TSaveFile::SyncFolder(Folder_);
}

QString TRecoveryFile::SetAside() {
    Forget();
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss"));
    QString target = QDir(Folder_).filePath(Base_ + u'-' + stamp + QStringLiteral(".txt"));
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = QDir(Folder_).filePath(Base_ + u'-' + stamp + u'-' + QString::number(n) +
                                        QStringLiteral(".txt"));
    if (!QFile::rename(Path(), target))
        Fail(QStringLiteral("Не удалось переименовать резервную копию"), Path(),
             QStringLiteral("нет доступа"));
    QFile::remove(NamePath()); // no longer offered
    TSaveFile::SyncFolder(Folder_);
    return target;
}

QString TRecoveryFile::AckPath() const {
    return QDir(Folder_).filePath(QStringLiteral("pending.ack"));
}

namespace {

constexpr qint64 kAckSlotSize = 16384;
const QByteArray kAckTag = QByteArrayLiteral("SAVRO2 PENDING\n");
// The key's line among the results files' (a full path never starts so).
const QByteArray kAckUid = QByteArrayLiteral("key ");

} // namespace

void TRecoveryFile::PrepareAckSlot() {
    if (QFileInfo(AckPath()).size() == kAckSlotSize)
        return;
    EnsureFolder();
    WriteAckSlot({}); // missing, or not a slot
}

TRecoveryFile::TPendingAck TRecoveryFile::ReadPendingAck() const {
    // The tag, the record bytes, then the device number, the port, the
    // results file, whether it holds the row and the other files holding it,
    // each on a line of its own; zeros up to the slot's size.
    QFile file(AckPath());
    TPendingAck ack;
    if (!file.open(QIODevice::ReadOnly))
        return ack;
    const QByteArray bytes = file.read(kAckSlotSize);
    if (!bytes.startsWith(kAckTag) || bytes.size() < kAckTag.size() + RecordSize)
        return ack;
    QByteArray text = bytes.mid(kAckTag.size() + RecordSize);
    text.truncate(text.indexOf('\0') < 0 ? text.size() : text.indexOf('\0'));
    const QList<QByteArray> tail = text.split('\n');
    bool ok = false;
    const uint device = tail.value(1).toUInt(&ok);
    if (tail.size() < 5 || !tail[0].isEmpty() || !ok || device > 0xFFFF)
        return ack;
    ack.Record = bytes.mid(kAckTag.size(), RecordSize);
    ack.Device = static_cast<quint16>(device);
    ack.Port = QString::fromUtf8(tail[2]);
    ack.Owner = QString::fromUtf8(tail[3]);
    ack.Saved = tail[4] == "saved";
    for (qsizetype i = 5; i < tail.size(); ++i) {
        if (tail[i].startsWith(kAckUid))
            ack.Uid = QString::fromUtf8(tail[i].mid(kAckUid.size()));
        else
            ack.AlsoIn << QString::fromUtf8(tail[i]);
    }
    return ack;
}

void TRecoveryFile::WritePendingAck(const TPendingAck& ack) {
    QByteArray bytes;
    if (!ack.Record.isEmpty()) {
        bytes = kAckTag + ack.Record + '\n' + QByteArray::number(ack.Device) + '\n' +
                ack.Port.toUtf8() + '\n' + ack.Owner.toUtf8() + '\n' + (ack.Saved ? "saved" : "");
        for (const QString& other : ack.AlsoIn)
            bytes += '\n' + other.toUtf8();
        if (!ack.Uid.isEmpty())
            bytes += '\n' + kAckUid + ack.Uid.toUtf8();
    }
    if (bytes.size() > kAckSlotSize)
        Fail(QStringLiteral("Не удалось записать файл"), AckPath(), QStringLiteral("слишком длинная запись"));
    if (!bytes.isEmpty() || QFileInfo::exists(AckPath()))
        WriteAckSlot(bytes);
}

void TRecoveryFile::WriteAckSlot(QByteArray bytes) {
    bytes.resize(kAckSlotSize, '\0');
    QFile file(AckPath());
    const bool made = !file.exists();
    if (made)
        EnsureFolder();
    // Overwritten in place, never grown: no new block is needed.
    if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered) || file.write(bytes) != bytes.size() ||
        ::fdatasync(file.handle()) != 0)
        Fail(QStringLiteral("Не удалось записать файл"), AckPath(), file.errorString());
    if (made)
        TSaveFile::SyncFolder(Folder_);
}
