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
        Refused, // login refused or schema unusable (Reason)
        // Nothing waits here, but this run has not yet checked that the
        // server (maybe restored or made again) holds what it confirmed.
        Unchecked
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

// How long the uploader waits before it tries again after a failure: first
// 1 s, doubling up to 30 s, 1 s again after a success; 30 s after a refusal.
class TRetryDelay {
public:
    static constexpr qint64 FirstMs = 1000;
    static constexpr qint64 LastMs = 30000;
    // The delay after one more failure.
    qint64 Failed(bool refused);
    void Succeeded() { Ms_ = 0; }

private:
    qint64 Ms_ = 0;
};

// Stands between the delay the uploader chose and its wait: tests make the
// wait short and keep the chosen delays. Called on the uploader's thread.
class TRetryWait {
public:
    virtual ~TRetryWait() = default;
    // How long to really wait for the chosen delay.
    virtual qint64 WaitMs(qint64 chosenMs) { return chosenMs; }
};

// Store and forward to the lab server: a worker thread with connections of
// its own (the local archive and the server) uploads what the server has not
// confirmed, in batches, one transaction each; rows count as sent only after
// the commit. What a server confirmed is kept by its identity; a server that
// is another, or holds less than it confirmed, gets everything again.
// Measuring never waits for it.
class TLabUploader : public QObject {
    Q_OBJECT
public:
    // archiveFolder: the profile's archive (TArchive::FileName in it).
    // wait: none for the real delays.
    explicit TLabUploader(const QString& archiveFolder, QObject* parent = nullptr,
                          std::shared_ptr<TRetryWait> wait = nullptr);
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
