#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <memory>
#include <stdexcept>

class QLockFile;
class TResultsTable;

// The recovery copy could not be written, read or put aside; the message is
// for the operator.
class ERecoveryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A recovery copy of a results table with unsaved changes: one file per
// results file name, in the results-file format and code page, in the user's
// local application data folder. Every write reaches the disk (fsync) before
// it returns. Beside the copies lives the record of the last measurement
// whose acknowledgement the analyser has not confirmed.
// A running program holds the results file it works on with a lock in a
// folder shared by every settings profile, so no two copies of the program
// write the same copy.
class TRecoveryFile {
public:
    struct TInfo {
        int Rows = 0;     // sample rows, the entry row not counted
        QDateTime Time;   // when it was last written
    };

    // folder empty: QStandardPaths::AppLocalDataLocation; lockFolder empty:
    // its "locks" folder.
    explicit TRecoveryFile(const QString& folder = QString(), const QString& lockFolder = QString());
    ~TRecoveryFile();
    TRecoveryFile(const TRecoveryFile&) = delete;
    TRecoveryFile(TRecoveryFile&&) noexcept;
    TRecoveryFile& operator=(const TRecoveryFile&) = delete;

    static QString DefaultFolder();
    const QString& Folder() const { return Folder_; }
    const QString& LockFolder() const { return LockFolder_; }
    void SetFolder(const QString& folder);

    // The results file the copy belongs to; relative names are taken against
    // the current folder. Lets go of the previous name's lock.
    void SetResultsFile(const QString& fileName);
    // Locks the results file for this program until another name is set;
    // false when another running program holds it. A lock that cannot be
    // made at all (no writable folder) does not stop the work.
    bool Hold();
    bool Held() const { return Lock_ != nullptr; }
    // Whether a running program holds fileName (this one included).
    bool HeldByAnyone(const QString& fileName) const;
    const QString& ResultsFile() const { return ResultsFile_; }
    QString Path() const;
    bool Exists() const;
    TInfo Inspect() const;

    // Replaces the copy with the whole table (atomically).
    void Write(const TResultsTable& table);
    // After a measurement went into the entry row and a new entry row was
    // added: rewrites only the copy's last line, as the measurement's line
    // and the new entry row's. Falls back to Write when the copy on disk is
    // not the one this object last wrote.
    void AppendMeasurement(const TResultsTable& table);
    // Loads the copy into table, marked modified.
    void Load(TResultsTable& table) const;
    void Remove();
    // Renames the copy to a dated name in the same folder; returns it.
    QString SetAside();
    // Results files other than this one that have a copy in the folder,
    // newest copy first: left by a run that died before its file name was
    // stored in the configuration. Copies that a running program holds are
    // left out.
    QStringList OtherResultsFiles() const;

    // The acknowledgement the analyser has not confirmed: the record bytes,
    // the port and device number they came from, and the results file whose
    // row holds them. One per data folder, as one program runs per settings.
    struct TPendingAck {
        QByteArray Record; // empty: none
        QString Port;
        quint16 Device = 0;
        QString Owner; // full name of the results file whose row holds it
        bool Saved = false; // that row is in the results file itself, not only in the copy
        QStringList AlsoIn; // other results files the row was saved to (Save as)
        QString Uid;        // the measurement's archive key; empty in a slot of an older program
    };
    // A file of fixed size, made while the disk has room and overwritten in
    // place, so a full disk does not keep the record from it.
    QString AckPath() const;
    void PrepareAckSlot();
    // Empty when there is none.
    TPendingAck ReadPendingAck() const;
    // An empty record clears the slot.
    void WritePendingAck(const TPendingAck& ack);

    int FullWrites() const { return FullWrites_; }
    int Appends() const { return Appends_; }

private:
    void EnsureFolder() const;
    QString NamePath() const; // beside the copy: the results file's full name
    QString LockPath(const QString& hash) const;
    void WriteAckSlot(QByteArray bytes);
    void Forget() { Known_ = false; }
    void Release();

    QString Folder_;
    QString LockFolder_;
    QString ResultsFile_;
    QString Base_; // file name stem of the copy
    QString Hash_; // of the results file's full name: names its lock
    std::unique_ptr<QLockFile> Lock_; // while this program works on the file
    // What this object last wrote: size, start of the last line (the entry
    // row) and the number of lines, so an append can check the copy first.
    bool Known_ = false;
    qint64 Size_ = 0;
    qint64 LastLineAt_ = 0;
    int Lines_ = 0;
    int FullWrites_ = 0;
    int Appends_ = 0;
};
