#pragma once

#include <QFile>
#include <QString>

// Makes a folder unwritable for this process while the object lives. Root
// ignores permission bits, so it gets the immutable flag (chattr +i); anyone
// else gets the permission bits.
class TReadOnlyFolder {
public:
    explicit TReadOnlyFolder(QString folder);
    ~TReadOnlyFolder();
    TReadOnlyFolder(const TReadOnlyFolder&) = delete;
    TReadOnlyFolder& operator=(const TReadOnlyFolder&) = delete;

    // Empty when a file cannot be created in the folder, otherwise why not.
    const QString& Problem() const { return problem_; }

private:
    QString folder_;
    QString problem_;
    bool immutable_ = false;
    bool chmodded_ = false;
    QFile::Permissions old_;
};
