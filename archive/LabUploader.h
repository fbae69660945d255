#pragma once

#include "archive/LabSettings.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <memory>

// What the status bar shows of the lab server.
struct TUploadStatus {
    enum TState {
        Off,     // no lab server configured
        Sent,    // everything confirmed: "Архив лаборатории: отправлено"
        Unsent,  // a backlog waits: "не отправлено: N"
        Refused  // login refused or schema unusable (Reason)
    };
    TState State = Off;
    qint64 Backlog = 0;       // measurements not confirmed
    QDateTime OldestUnsent;   // received time of the oldest of them
    QString Reason;           // the server's reason, for the tool tip
    // Amber: the oldest unsent measurement waits longer than this.
    static constexpr qint64 AmberAfterMs = 10 * 60 * 1000;
    bool Late(const QDateTime& now) const {
        return State == Unsent && OldestUnsent.isValid() && OldestUnsent.msecsTo(now) > AmberAfterMs;
    }
};

// Store and forward to the lab server: a worker thread with connections of
// its own (the local archive and the server) uploads what the server has not
// confirmed, in batches, one transaction each; rows count as sent only after
// the commit. Measuring never waits for it.
class TLabUploader : public QObject {
    Q_OBJECT
public:
    // archiveFolder: the profile's archive (TArchive::FileName in it).
    explicit TLabUploader(const QString& archiveFolder, QObject* parent = nullptr);
    ~TLabUploader() override; // stops the worker

    // Empty host: off. A change reconnects.
    void Configure(const TLabSettings& settings);
    TUploadStatus Status() const;
    // A measurement or name change was just written: upload soon.
    void Nudge();

signals:
    // Queued to the thread that made the uploader.
    void StatusChanged(const TUploadStatus& status);

private:
    class TWorker;
    std::unique_ptr<TWorker> Worker_;
};
