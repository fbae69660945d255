#pragma once

#include "analyser/DeviceReply.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class THandOver;
class TOpSavroThread;

// The poller: switches polling of the analyser on and off and raises its
// events on the thread it lives on (the main thread). Every event but
// OnStarting is handed over by the worker, which waits until it has run; an
// exception thrown by a handler ends polling.
//
// DeviceNumber, Port, Command and Reply are plain public fields, touched only
// on the main thread (handlers included).
class TOpSavro : public QObject {
    Q_OBJECT
public:
    using TNotifyEvent = std::function<void(TOpSavro* sender)>;

    explicit TOpSavro(QObject* parent = nullptr);
    // Stops the worker and waits for it, serving its hand-overs meanwhile;
    // OnStoping is raised during the wait.
    ~TOpSavro() override;

    quint16 DeviceNumber = 0;
    QString Port = QStringLiteral("COM1");
    quint8 Command = 0;
    TDeviceReply Reply;

    TNotifyEvent OnErrorOpenPort;
    TNotifyEvent OnStarting;
    TNotifyEvent OnStoping;
    TNotifyEvent OnGetNumber;
    TNotifyEvent OnPutResult;

    bool Active() const { return active_; }
    // Does nothing while Active.
    void Start();
    // Asks the worker to end and returns at once; nothing while not Active.
    void Stop();

    // Whether the exchange of the reply just handed over succeeded: false for
    // a command-6 reply of full length whose address tail is wrong, which must
    // not be taken as a record.
    bool ReplyDone() const { return replyDone_; }
    // Message of the port error that ended the last polling run during a turn;
    // empty when it ended by Stop, by an open failure or normally. Readable
    // in OnStoping.
    QString StopError() const { return stopError_; }
    // The system's reason why the port could not be opened; readable in
    // OnErrorOpenPort.
    QString OpenErrorReason() const { return openReason_; }
    qint32 OpenErrorCode() const { return openErrno_; }
    // Pause after a turn that sends nothing, cut short by Stop (default 100 ms).
    void SetIdleWait(int ms) { idleWaitMs_ = ms; }
    int IdleWait() const { return idleWaitMs_; }

protected:
    virtual void DoErrorOpenPort();
    virtual void DoStarting();
    virtual void DoStoping();
    virtual void DoGetNumber();
    virtual void DoPutResult();

private:
    // One polling run: its worker and the hand-over it uses.
    struct TRun;

    void WorkerEnded(const QString& stopError);
    void Reap(quint64 runId);
    static void Finish(TRun& run);

    bool active_ = false;
    bool replyDone_ = false;
    QString stopError_;
    QString openReason_;
    qint32 openErrno_ = 0;
    int idleWaitMs_ = 100;
    quint64 nextRunId_ = 1;
    std::unique_ptr<TRun> run_;
    // Runs that reported their end but whose thread may not have exited yet
    // (a handler of OnStoping that starts polling again).
    std::vector<std::unique_ptr<TRun>> retired_;
};
