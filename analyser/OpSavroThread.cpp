#include "analyser/OpSavroThread.h"

#include "analyser/HandOver.h"

#include <QDebug>

#include <algorithm>
#include <chrono>

namespace {

constexpr int RecordReplyLength = 234;
constexpr int LongShortReplyLength = 92;
constexpr int ShortReplyLength = 76;
constexpr quint8 StatusComplete = 0x40;
constexpr quint8 StatusCompleteLong = 0x41;
constexpr quint8 StatusIncomplete = 0xFF;

// Closes the port on every way out of the worker's body.
class TPortCloser {
public:
    explicit TPortCloser(TComPort& port) : port_(port) {}
    ~TPortCloser() {
        try {
            port_.Close();
        } catch (const std::exception& e) {
            qDebug() << "Closing the port failed:" << e.what();
        }
    }
    TPortCloser(const TPortCloser&) = delete;
    TPortCloser& operator=(const TPortCloser&) = delete;

private:
    TComPort& port_;
};

} // namespace

TOpSavroThread::TOpSavroThread(const QString& portName, THandOver* handOver)
    : handOver_(handOver) {
    try {
        port_ = std::make_unique<TComPort>();
        port_->SetPort(portName);
        port_->SetBaudRate(br9600);
        port_->SetParityBits(prOdd);
        port_->Events = 0;
        port_->SetReadTotalMultiplier(1);
        port_->SetReadTotalConstant(50);
    } catch (const std::exception& e) {
        qDebug() << "Port configuration failed:" << e.what();
        configFailed_ = true;
    }
}

TOpSavroThread::~TOpSavroThread() {
    Terminate();
    wait();
}

std::array<quint8, 4> TOpSavroThread::AddressBytes(quint16 number) {
    return {static_cast<quint8>(0x90 | (number & 0xF)),
            static_cast<quint8>(0xA0 | ((number >> 4) & 0xF)),
            static_cast<quint8>(0xA0 | ((number >> 8) & 0xF)),
            static_cast<quint8>(0xA0 | ((number >> 12) & 0xF))};
}

void TOpSavroThread::SetAddress(quint16 number) {
    address_ = AddressBytes(number);
}

bool TOpSavroThread::Exchange(quint8 command) {
    std::copy(address_.begin(), address_.end(), frame_.begin());
    frame_[4] = command;
    TComPort& port = *port_;

    if (command != 6 && command != 7) {
        port.PurgeBuffers(true, true);
        std::array<quint8, 4> echo{};
        port.Write(frame_.data(), static_cast<qint32>(frame_.size()));
        const qint32 n = port.Read(echo.data(), static_cast<qint32>(echo.size()));
        lastDone_ = n == 4 && echo == address_;
        return lastDone_;
    }

    const int length = command == 6 ? RecordReplyLength : LongShortReplyLength;
    reply_.Data.fill(0);
    port.PurgeBuffers(true, true);
    port.Write(frame_.data(), static_cast<qint32>(frame_.size()));
    reply_.Count = 0;
    // Every read asks for the full length (so each has the time-out of a
    // full-length request) into a scratch buffer; only what fits is kept, so a
    // device that sends more than Data holds cannot overrun it.
    std::array<quint8, RecordReplyLength> chunk{};
    while (reply_.Count < length) {
        chunk[0] = 0xFF;
        const qint32 n = port.Read(chunk.data(), length);
        if (n <= 0) {
            if (reply_.Count < RecordReplyLength)
                reply_.Data[reply_.Count] = chunk[0];
            break;
        }
        const qint32 room = RecordReplyLength - reply_.Count;
        std::copy_n(chunk.begin(), std::min(n, room), reply_.Data.begin() + reply_.Count);
        reply_.Count += std::min(n, room);
    }
    if (command == 6)
        reply_.Status = reply_.Count == RecordReplyLength ? StatusComplete : StatusIncomplete;
    else if (reply_.Count == ShortReplyLength)
        reply_.Status = StatusComplete;
    else if (reply_.Count == LongShortReplyLength)
        reply_.Status = StatusCompleteLong;
    else
        reply_.Status = StatusIncomplete;

    lastDone_ = reply_.Status != StatusIncomplete &&
                std::equal(address_.begin(), address_.end(),
                           reply_.Data.begin() + (reply_.Count - 4));
    return lastDone_;
}

void TOpSavroThread::Terminate() {
    {
        std::lock_guard lock(waitMutex_);
        terminate_ = true;
    }
    waitCv_.notify_all();
}

void TOpSavroThread::IdleWait() {
    if (idleWaitMs_ <= 0)
        return;
    std::unique_lock lock(waitMutex_);
    waitCv_.wait_for(lock, std::chrono::milliseconds(idleWaitMs_),
                     [this] { return terminate_.load(); });
}

void TOpSavroThread::Sync(const std::function<void()>& fn) {
    if (fn)
        handOver_->Call(fn);
}

bool TOpSavroThread::RunExchange(quint8 command) {
    try {
        return Exchange(command);
    } catch (const EComPort& e) {
        // Kept for the end notification: the operator must learn why polling
        // stopped while the analyser may still be measuring.
        stopError_ = e.Message();
        throw;
    }
}

void TOpSavroThread::WatchLine() {
    // Idle turns send nothing, so without this a pulled adapter would be
    // noticed only at the next request, minutes later.
    try {
        port_->CheckLine();
    } catch (const EComPort& e) {
        stopError_ = e.Message();
        throw;
    }
}

void TOpSavroThread::Execute() {
    if (configFailed_)
        return;
    TPortCloser closer(*port_);
    try {
        port_->Open();
    } catch (const std::exception& e) {
        const auto* portError = dynamic_cast<const EComPortExt*>(&e);
        openReason_ = portError ? TCustomComPort::ReasonText(portError->OsError())
                                : QString::fromUtf8(e.what());
        openErrno_ = portError ? portError->OsError() : 0;
        Sync(DoErrorOpenPort);
        Terminate();
    }
    while (!terminate_) {
        Sync(DoGetNumber);
        bool sent = false;
        if (PendingCommand == 4) {
            sent = true;
            if (RunExchange(4))
                Sync(DoPutResult);
        }
        if (PendingCommand == 6) {
            sent = true;
            RunExchange(6);
            Sync(DoPutResult);
        }
        if (PendingCommand == 7) {
            sent = true;
            if (RunExchange(7))
                Sync(DoPutResult);
        }
        if (PendingCommand == 9) {
            sent = true;
            if (RunExchange(9))
                Sync(DoPutResult);
        }
        // Without a pause an idle loop would keep both threads busy.
        if (!sent) {
            WatchLine();
            IdleWait();
        }
    }
}

void TOpSavroThread::run() {
    if (!terminate_) {
        try {
            Execute();
        } catch (const std::exception& e) {
            qDebug() << "Polling ended:" << e.what();
        } catch (...) {
            qDebug() << "Polling ended by an unknown exception";
        }
    }
    try {
        const QString stopError = stopError_;
        Sync([this, stopError] {
            if (WorkerEnded)
                WorkerEnded(stopError);
        });
    } catch (...) {
        // An exception of the end handler has nowhere to go from here.
    }
    handOver_->MarkExited();
}
