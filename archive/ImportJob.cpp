#include "archive/ImportJob.h"

TImportJob::TImportJob(QString folder, QStringList files, QObject* parent, int batchRows,
                       TArchiveImport::TProgress step)
    : QThread(parent), folder_(std::move(folder)), files_(std::move(files)),
      batchRows_(batchRows), step_(std::move(step)) {}

TImportJob::~TImportJob() {
    Cancel();
    wait();
}

TArchiveImport::TResult TImportJob::Result() const {
    const std::lock_guard lock(mutex_);
    if (error_)
        std::rethrow_exception(error_);
    return result_;
}

void TImportJob::run() {
    TArchiveImport::TResult result;
    std::exception_ptr error;
    try {
        // Beside the register's connection: a damaged file is its to set aside.
        TArchive archive(folder_, false);
        result = TArchiveImport::ImportFiles(
            archive, files_,
            [this](int files, qint64 rows) {
                emit progressed(files, rows);
                return (!step_ || step_(files, rows)) && !cancelled_;
            },
            batchRows_);
    } catch (...) {
        error = std::current_exception();
    }
    const std::lock_guard lock(mutex_);
    result_ = result;
    error_ = error;
}
