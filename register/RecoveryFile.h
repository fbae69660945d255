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
// it returns. Beside the copies lives one more file, the record bytes of the
// last measurement whose acknowledgement was not confirmed by the analyser.
class TRecoveryFile {
public:
    struct TInfo {
        int Rows = 0;     // sample rows, the entry row not counted
        QDateTime Time;   // when it was last written
    };

    // folder empty: QStandardPaths::AppLocalDataLocation.
    explicit TRecoveryFile(const QString& folder = QString());
    ~TRecoveryFile();
    TRecoveryFile(const TRecoveryFile&) = delete;
    TRecoveryFile& operator=(const TRecoveryFile&) = delete;

    static QString DefaultFolder();
    const QString& Folder() const { return Folder_; }
    void SetFolder(const QString& folder);

    // The results file the copy belongs to; relative names are taken against
    // the current folder.
    void SetResultsFile(const QString& fileName);
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

    QString AckPath() const;
    // Empty when there is none or it is not a record.
    QByteArray ReadPendingAck() const;
    // Empty bytes remove the file.
    void WritePendingAck(const QByteArray& recordBytes);

    int FullWrites() const { return FullWrites_; }
    int Appends() const { return Appends_; }

private:
    void EnsureFolder() const;
    QString NamePath() const; // beside the copy: the results file's full name
    void Forget() { Known_ = false; }
    void Hold();
    void Release();

    QString Folder_;
    QString ResultsFile_;
    QString Base_; // file name stem of the copy
    std::unique_ptr<QLockFile> Lock_; // while this program writes the copy
    // What this object last wrote: size, start of the last line (the entry
    // row) and the number of lines, so an append can check the copy first.
    bool Known_ = false;
    qint64 Size_ = 0;
    qint64 LastLineAt_ = 0;
    int Lines_ = 0;
    int FullWrites_ = 0;
    int Appends_ = 0;
};
