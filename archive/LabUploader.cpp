#include "archive/LabUploader.h"

#include "archive/Archive.h"
#include "archive/LabServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#ifdef Q_OS_UNIX
#include <QFile>
#include <sys/stat.h>
#endif

namespace {

// Measurements per transaction: large enough that the commit's flush is
// a small part of it, small enough that a batch lost to a restart is
// quickly sent again.
constexpr int kBatch = 2000;
// While a backlog waits the status is told again this often, so the
// status bar's age of the oldest measurement moves on.
constexpr qint64 kHeartbeatMs = 3000;
// During a long upload the backlog is counted at most this often.
constexpr qint64 kProgressMs = 500;
// The archive is looked at this often without a nudge: another process
// (the command line's import) may have written to it.
constexpr qint64 kIdleCheckMs = 5000;
// The connection time-out (5 s) and a little: the longest the owner's
// thread waits for the worker to end.
constexpr int kStopWaitMs = 6000;

// Which file is at the archive's path: the register sets a damaged archive
// aside and starts a fresh one under the same name while the worker's
// connection still reads the old file.
QByteArray FileIdentity(const QString& path) {
#ifdef Q_OS_UNIX
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    return QByteArray::number(qulonglong(st.st_dev)) + ':' + QByteArray::number(qulonglong(st.st_ino));
#else
    Q_UNUSED(path);
    return QByteArrayLiteral("open files keep their names here");
#endif
}

bool Same(const TUploadStatus& a, const TUploadStatus& b) {
    return a.State == b.State && a.Backlog == b.Backlog && a.OldestUnsent == b.OldestUnsent &&
           a.Reason == b.Reason;
}

// The server's identity, checked against what the archive keeps for it: a
// server that holds less of this register than it confirmed (restored from
// an older dump, say) has nothing confirmed any more. Counting reads all of
// the register's rows on the server: at connecting only.
QString CheckServer(TArchive& archive, TLabServer& server, const QString& address, bool count) {
    TLabServer::TLook look = server.Look(archive.RegisterId(), count);
    if (archive.ServerIdentity(address) != look.Identity)
        archive.SetServerIdentity(address, look.Identity);
    const TServerHold held = archive.Held(look.Identity);
    if (look.Held.Top < held.Top || (count && look.Held.Rows < held.Rows)) {
        if (!count)
            look = server.Look(archive.RegisterId(), true);
        archive.Forget(look.Identity, look.Held);
    }
    return look.Identity;
}

} // namespace

qint64 TRetryDelay::Failed(bool refused) {
    Ms_ = refused ? LastMs : Ms_ == 0 ? FirstMs : std::min(LastMs, Ms_ * 2);
    return Ms_;
}

class TLabUploader::TWorker : public QThread {
public:
    TWorker(TLabUploader* owner, const QString& folder, std::shared_ptr<TRetryWait> wait)
        : Owner_(owner), Folder_(folder), Wait_(std::move(wait)) {
        setObjectName(QStringLiteral("savro2-upload"));
    }

    void Configure(const TLabSettings& settings) {
        const std::lock_guard<std::mutex> lock(Mutex_);
        if (Generation_ != 0 && settings == Settings_)
            return;
        Settings_ = settings;
        ++Generation_;
        Wake_.notify_all();
    }

    void Nudge() {
        const std::lock_guard<std::mutex> lock(Mutex_);
        Nudged_ = true;
        Wake_.notify_all();
    }

    void Stop() {
        const std::lock_guard<std::mutex> lock(Mutex_);
        Stopping_ = true;
        Wake_.notify_all();
    }

    // The owner goes without waiting for the thread: nothing more is told.
    void Abandon() {
        const std::lock_guard<std::mutex> lock(Mutex_);
        Abandoned_ = true;
    }

    TUploadStatus Status() const {
        const std::lock_guard<std::mutex> lock(Mutex_);
        return Status_;
    }

    // Waits until run() is over or the time is up; true when it is over.
    // Not QThread::wait alone: the thread checker cannot see Qt's own
    // ordering, only this mutex's.
    bool WaitFinished(int ms) {
        std::unique_lock<std::mutex> lock(Mutex_);
        return Wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return Finished_; });
    }

protected:
    void run() override {
        Work();
        // The worker's last touch of this object, under the lock.
        const std::lock_guard<std::mutex> lock(Mutex_);
        Finished_ = true;
        Wake_.notify_all();
    }

private:
    enum class TWake { Stop, Settings, Nudge, Time };

    void Work();

    TWake Sleep(const QDeadlineTimer& until, bool wakeOnNudge, quint64 generation) {
        std::unique_lock<std::mutex> lock(Mutex_);
        for (;;) {
            if (Stopping_)
                return TWake::Stop;
            if (Generation_ != generation)
                return TWake::Settings;
            if (wakeOnNudge && Nudged_)
                return TWake::Nudge;
            if (until.hasExpired())
                return TWake::Time;
            if (until.isForever())
                Wake_.wait(lock);
            else
                Wake_.wait_for(lock, std::chrono::milliseconds(std::max<qint64>(1, until.remainingTime())));
        }
    }

    bool Interrupted(quint64 generation) const {
        const std::lock_guard<std::mutex> lock(Mutex_);
        return Stopping_ || Generation_ != generation;
    }

    // Told whenever it changes, and when force says so (the heartbeat).
    void Publish(const TUploadStatus& status, bool force) {
        const std::lock_guard<std::mutex> lock(Mutex_);
        if (Abandoned_ || (!force && Same(Status_, status)))
            return;
        Status_ = status;
        TLabUploader* owner = Owner_;
        QMetaObject::invokeMethod(
            owner, [owner, status] { emit owner->StatusChanged(status); }, Qt::QueuedConnection);
    }

    bool StatusIsOff() const {
        const std::lock_guard<std::mutex> lock(Mutex_);
        return Status_.State == TUploadStatus::Off;
    }

    // What waits, from the archive; a failure's reason beside it. identity:
    // the server's as checked on this connection, else empty (the last one
    // seen at the address counts then, and nothing is "sent" yet).
    TUploadStatus Current(TArchive* archive, const QString& address, const QString& identity,
                          bool refused, const QString& failure) const {
        TUploadStatus status;
        bool waiting = false;
        if (archive) {
            try {
                const TArchive::TBacklog backlog = archive->Backlog(
                    identity.isEmpty() ? archive->ServerIdentity(address) : identity);
                status.Backlog = backlog.Measurements;
                status.OldestUnsent = backlog.Oldest;
                waiting = backlog.Measurements > 0 || backlog.Changes > 0;
            } catch (const EArchiveError&) {
                waiting = true; // unknown: the next attempt tells
            }
        } else {
            waiting = !failure.isEmpty();
        }
        const bool checked = !identity.isEmpty() || !archive;
        status.State = refused   ? TUploadStatus::Refused
                       : waiting ? TUploadStatus::Unsent
                       : checked ? TUploadStatus::Sent
                                 : TUploadStatus::Unchecked;
        if (status.State != TUploadStatus::Sent)
            status.Reason = failure;
        return status;
    }

    void UploadAll(TArchive& archive, TLabServer& server, const QString& id, quint64 generation) {
        QElapsedTimer progress;
        progress.start();
        while (!Interrupted(generation)) {
            const TArchive::TUnsent batch = archive.Unsent(id, kBatch);
            if (batch.Measurements.empty() && batch.NameChanges.empty() && batch.Marks.empty())
                return;
            const TServerHold added = server.Upload(archive.RegisterId(), batch.Measurements,
                                                    batch.NameChanges, batch.Marks);
            // Only now: a batch the server did not commit is sent again.
            archive.MarkSent(id, batch.Upto, added);
            if (progress.elapsed() >= kProgressMs) {
                Publish(Current(&archive, QString(), id, false, QString()), false);
                progress.restart();
            }
        }
    }

    TLabUploader* const Owner_;
    const QString Folder_;
    // Used by the worker only, after the owner's thread made it.
    const std::shared_ptr<TRetryWait> Wait_;

    // Shared between the owner's thread (settings, nudges, the stop, the
    // status read) and the worker (the status written): all under Mutex_.
    // The standard ones, not Qt's: their waits are visible to the thread
    // checker, which reads Qt's condition wait as a lock never released.
    mutable std::mutex Mutex_;
    std::condition_variable Wake_;
    TLabSettings Settings_;
    quint64 Generation_ = 0; // counts Configure calls that changed something
    bool Nudged_ = false;
    bool Stopping_ = false;
    bool Abandoned_ = false;
    bool Finished_ = false;
    TUploadStatus Status_;
};

void TLabUploader::TWorker::Work() {
    // Both connections belong to this thread.
    std::unique_ptr<TArchive> archive;
    QByteArray archiveFile; // its FileIdentity when opened
    std::unique_ptr<TLabServer> server;
    QString identity; // the server's, checked on this connection
    TLabSettings settings;
    quint64 generation = 0;
    TRetryDelay delay;
    QDeadlineTimer retryAt; // expired: no failure to wait out
    bool refused = false;
    bool drop = false;
    QString failure;
    for (;;) {
        {
            const std::lock_guard<std::mutex> lock(Mutex_);
            if (Stopping_)
                break;
            if (Generation_ != generation) {
                generation = Generation_;
                settings = Settings_;
                drop = true; // a change reconnects
                delay.Succeeded();
                retryAt = QDeadlineTimer();
                refused = false;
                failure.clear();
            }
            Nudged_ = false;
        }
        if (drop) {
            // Not before the stop is checked: an abandoned worker leaves it
            // to the process's end.
            server.reset();
            identity.clear();
            drop = false;
        }
        // SQLite sees that the old file moved and leaves the journal at its
        // name, now the fresh archive's, alone when this closes.
        if (archive && FileIdentity(archive->Path()) != archiveFile)
            archive.reset();
        if (!settings.Configured()) {
            server.reset();
            archive.reset();
            Publish(TUploadStatus(), false);
            Sleep(QDeadlineTimer(QDeadlineTimer::Forever), false, generation);
            continue;
        }
        const QString address = settings.ServerId();
        if (!retryAt.hasExpired()) {
            Publish(Current(archive.get(), address, identity, refused, failure), true);
            const QDeadlineTimer beat(std::min(retryAt.remainingTime(), kHeartbeatMs));
            // A new measurement cuts the wait short; a refusal waits for a
            // new setting or its time, not to knock again at every measurement.
            if (Sleep(beat, !refused, generation) == TWake::Nudge)
                retryAt = QDeadlineTimer();
            continue;
        }
        if (!archive && !QFileInfo::exists(QDir(Folder_).filePath(TArchive::FileName))) {
            // Only the register makes the archive (it may be setting a
            // damaged one aside this moment); until then nothing waits.
            Publish(Current(nullptr, address, QString(), false, QString()), false);
            Sleep(QDeadlineTimer(kIdleCheckMs), true, generation);
            continue;
        }
        try {
            if (!archive) {
                archive = std::make_unique<TArchive>(Folder_, false);
                archiveFile = FileIdentity(archive->Path());
            }
            if (!server) {
                if (StatusIsOff())
                    Publish(Current(archive.get(), address, QString(), false, QString()), false);
                server = std::make_unique<TLabServer>(settings);
                identity = CheckServer(*archive, *server, address, true);
            } else {
                // Cheap: a dump restored under this connection is seen too.
                identity = CheckServer(*archive, *server, address, false);
            }
            UploadAll(*archive, *server, identity, generation);
            delay.Succeeded();
            refused = false;
            failure.clear();
            Publish(Current(archive.get(), address, identity, false, QString()), false);
            Sleep(QDeadlineTimer(kIdleCheckMs), true, generation);
            continue;
        } catch (const ELabServerError& e) {
            refused = e.Refused;
            failure = QString::fromStdString(e.what());
        } catch (const EArchiveError& e) {
            archive.reset();
            refused = false;
            failure = QString::fromStdString(e.what());
        }
        drop = true;
        identity.clear();
        const qint64 chosen = delay.Failed(refused);
        retryAt = QDeadlineTimer(Wait_ ? Wait_->WaitMs(chosen) : chosen);
    }
    bool abandoned = false;
    {
        const std::lock_guard<std::mutex> lock(Mutex_);
        abandoned = Abandoned_;
    }
    if (abandoned) {
        // The process is ending without us: Qt's connection list may be
        // gone already, so the connections are left to the process's end.
        (void)server.release();
        (void)archive.release();
    }
}

TLabUploader::TLabUploader(const QString& archiveFolder, QObject* parent,
                           std::shared_ptr<TRetryWait> wait)
    : QObject(parent), Worker_(std::make_unique<TWorker>(this, archiveFolder, std::move(wait))) {
    Worker_->start(QThread::LowPriority);
}

TLabUploader::~TLabUploader() {
    Worker_->Stop();
    if (Worker_->WaitFinished(kStopWaitMs) && Worker_->wait(QDeadlineTimer(kStopWaitMs)))
        return;
    // A connection attempt hangs past its own time-out (a name look-up,
    // say): the thread ends by itself later and is freed then.
    Worker_->Abandon();
    TWorker* worker = Worker_.release();
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
}

void TLabUploader::Configure(const TLabSettings& settings) {
    Worker_->Configure(settings);
}

TUploadStatus TLabUploader::Status() const {
    return Worker_->Status();
}

void TLabUploader::Nudge() {
    Worker_->Nudge();
}
