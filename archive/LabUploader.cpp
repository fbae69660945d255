#include "archive/LabUploader.h"

class TLabUploader::TWorker {};

TLabUploader::TLabUploader(const QString&, QObject* parent) : QObject(parent) {}

TLabUploader::~TLabUploader() = default;

void TLabUploader::Configure(const TLabSettings&) {}

TUploadStatus TLabUploader::Status() const {
    return {};
}

void TLabUploader::Nudge() {}
