#pragma once

#include "archive/ArchiveImport.h"

#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <exception>
#include <mutex>

// An import on a thread of its own, with a connection of its own to the
// profile's archive (a connection serves only the thread that opened it):
// the window's event loop, and with it polling, goes on meanwhile, and the
// register's own writes get in between the import's batches.
class TImportJob : public QThread {
    Q_OBJECT
public:
    // folder: the archive's (TArchive::FileName in it). step (may be empty)
    // is called on the import's thread after each batch, as the progress of
    // TArchiveImport::ImportFiles is; false cancels.
    TImportJob(QString folder, QStringList files, QObject* parent = nullptr,
               int batchRows = TArchiveImport::DefaultBatchRows,
               TArchiveImport::TProgress step = {});
    // Cancels and waits for the thread: it hands nothing over to the main
    // thread, so the wait cannot hold it up.
    ~TImportJob() override;

    // Any thread: the import stops after its batch and takes the current file out.
    void Cancel() { cancelled_ = true; }
    bool Cancelled() const { return cancelled_; }
    // Once finished: what was imported; rethrows the import's failure.
    TArchiveImport::TResult Result() const;

signals:
    // After each batch, from the import's thread.
    void progressed(int files, qint64 rows);

protected:
    void run() override;

private:
    const QString folder_;
    const QStringList files_;
    const int batchRows_;
    const TArchiveImport::TProgress step_;
    // Set by the window's Cancel, read by the import between batches.
    std::atomic<bool> cancelled_{false};
    // Written by the import's thread, read by the window once it finished.
    mutable std::mutex mutex_;
    TArchiveImport::TResult result_;
    std::exception_ptr error_;
};
