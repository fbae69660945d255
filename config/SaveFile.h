#pragma once

#include <QSaveFile>
#include <QString>

// A file that is written whole or not at all: the bytes go to a new file
// beside the name, which replaces the old one only once every byte is on
// disk. A failure at any step (a full disk at the last flush too, which a
// plain QSaveFile::commit() lets pass) leaves the earlier file whole and
// says why in the system's words. Every file the program writes for a
// person or for its next start goes through here.
class TSaveFile {
public:
    explicit TSaveFile(const QString& fileName);
    ~TSaveFile(); // without a successful Commit() the earlier file stays
    TSaveFile(const TSaveFile&) = delete;
    TSaveFile& operator=(const TSaveFile&) = delete;

    // False when the file cannot be made; Error() says why.
    bool Open();
    // Where the bytes go (buffered), for writers that take a device.
    QIODevice& Device() { return File_; }
    // False when a write failed; the rest of the writes are pointless.
    bool Write(QByteArrayView bytes);
    // Flushes, syncs, puts the file in its place and syncs its folder. False
    // on any failure; the earlier file is then as it was.
    bool Commit();

    // The system's error number of the failure (0 when none is known) and
    // its text.
    int ErrorCode() const { return Errno_; }
    QString Error() const;

    // A rename or a new file is on disk only once its folder is.
    static void SyncFolder(const QString& folder);

private:
    bool Fail(int code);

    QString FileName_;
    QSaveFile File_;
    int Errno_ = 0;
    QString Error_;
};
