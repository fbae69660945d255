#pragma once

#include "analyser/DeviceReply.h"
#include "serial/CPort.h"

#include <QString>
#include <QThread>

#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class THandOver;

// The polling worker: owns the serial port while polling is on, runs the turns
// and hands every event over to the main thread.
//
// Cross-thread values: the address bytes, the pending command, the reply and
// the last exchange result are written by the worker outside hand-overs and
// by the main thread only inside them (while the worker is blocked in
// THandOver::Call, whose mutex orders both sides). The terminate request is
// atomic and is also set under waitMutex_ so that an idle wait cannot miss it.
class TOpSavroThread : public QThread {
    Q_OBJECT
public:
    // Configures the port for the analyser line; a failure here is kept and
    // makes the worker end without opening.
    TOpSavroThread(const QString& portName, THandOver* handOver);
    ~TOpSavroThread() override;

    // Address bytes of a device number: 0x9n, 0xAn, 0xAn, 0xAn, low group first.
    static std::array<quint8, 4> AddressBytes(quint16 number);
    void SetAddress(quint16 number);
    const std::array<quint8, 4>& Address() const { return address_; }

    // One request/reply exchange on the open port with the current address.
    // Commands 6 and 7 fill Reply(). Worker thread only (or any one thread
    // that opened Port(), as tests do). Port errors propagate.
    bool Exchange(quint8 command);

    TComPort& Port() { return *port_; }
    bool ConfigurationFailed() const { return configFailed_; }
    const TDeviceReply& Reply() const { return reply_; }
    bool LastExchangeDone() const { return lastDone_; }
    // The system's reason why Open failed; read during DoErrorOpenPort.
    const QString& OpenErrorReason() const { return openReason_; }
    // The system's error number of the failed open; 0 when it has none.
    qint32 OpenErrorCode() const { return openErrno_; }

    quint8 PendingCommand = 0;

    // Bound by the poller before start; each runs on the main thread.
    std::function<void()> DoErrorOpenPort;
    std::function<void()> DoGetNumber;
    std::function<void()> DoPutResult;
    // The end notification; stopError is the message of the port error that
    // ended a turn, empty otherwise.
    std::function<void(const QString& stopError)> WorkerEnded;

    // Any thread: ask the loop to end; cuts an idle wait short.
    void Terminate();
    bool TerminateRequested() const { return terminate_.load(); }
    // Pause after a turn that sent nothing (0 for none). Set before start.
    void SetIdleWait(int ms) { idleWaitMs_ = ms; }

protected:
    void run() override;

private:
    void Execute();
    bool RunExchange(quint8 command);
    void Sync(const std::function<void()>& fn);
    void IdleWait();
    void WatchLine();

    bool configFailed_ = false;
    std::unique_ptr<TComPort> port_;
    std::array<quint8, 4> address_{0x90, 0xA0, 0xA0, 0xA0};
    std::array<quint8, 5> frame_{};
    TDeviceReply reply_;
    bool lastDone_ = false;
    QString stopError_;
    QString openReason_;
    qint32 openErrno_ = 0;
    THandOver* handOver_ = nullptr;
    int idleWaitMs_ = 100;

    std::atomic<bool> terminate_{false};
    std::mutex waitMutex_;
    std::condition_variable waitCv_;
};
