#include "analyser/OpSavro.h"

#include "analyser/HandOver.h"
#include "analyser/OpSavroThread.h"

#include <algorithm>
#include <exception>

struct TOpSavro::TRun {
    quint64 Id = 0;
    std::unique_ptr<THandOver> HandOver;
    std::unique_ptr<TOpSavroThread> Worker;
    ~TRun() {
        // Worker first: its destructor waits for the thread, which uses the
        // hand-over until its last action.
        Worker.reset();
        HandOver.reset();
    }
};

TOpSavro::TOpSavro(QObject* parent) : QObject(parent) {}

TOpSavro::~TOpSavro() {
    if (active_ && run_)
        run_->Worker->Terminate();
    // A worker may be blocked in a hand-over; serving them (the end
    // notification included) is what lets it finish.
    if (run_)
        Finish(*run_);
    for (auto& run : retired_)
        Finish(*run);
}

void TOpSavro::Finish(TRun& run) {
    run.HandOver->ServeUntilExited();
    // Past its exit mark the thread has only its own epilogue left.
    run.Worker->wait();
}

void TOpSavro::Reap(quint64 runId) {
    if (run_ && run_->Id == runId) {
        Finish(*run_);
        run_.reset();
        return;
    }
    const auto it = std::find_if(retired_.begin(), retired_.end(),
                                 [runId](const auto& run) { return run->Id == runId; });
    if (it != retired_.end()) {
        Finish(**it);
        retired_.erase(it);
    }
}

void TOpSavro::Start() {
    if (active_)
        return;
    active_ = true;
    std::exception_ptr startingError;
    try {
        DoStarting();
    } catch (...) {
        startingError = std::current_exception();
    }
    if (run_)
        retired_.push_back(std::move(run_));
    stopError_.clear();
    auto run = std::make_unique<TRun>();
    run->Id = nextRunId_++;
    run->HandOver = std::make_unique<THandOver>();
    run->Worker = std::make_unique<TOpSavroThread>(Port, run->HandOver.get());
    TOpSavroThread* worker = run->Worker.get();
    worker->SetIdleWait(idleWaitMs_);
    worker->DoErrorOpenPort = [this] { DoErrorOpenPort(); };
    worker->DoGetNumber = [this] { DoGetNumber(); };
    worker->DoPutResult = [this] { DoPutResult(); };
    worker->WorkerEnded = [this](const QString& stopError) { WorkerEnded(stopError); };
    // finished comes after the worker's exit mark, so reaping never blocks.
    connect(worker, &QThread::finished, this, [this, id = run->Id] { Reap(id); },
            Qt::QueuedConnection);
    run_ = std::move(run);
    worker->start();
    if (startingError)
        std::rethrow_exception(startingError);
}

void TOpSavro::Stop() {
    if (active_ && run_)
        run_->Worker->Terminate();
}

void TOpSavro::WorkerEnded(const QString& stopError) {
    stopError_ = stopError;
    active_ = false;
    DoStoping();
}

void TOpSavro::DoErrorOpenPort() {
    if (run_) {
        openReason_ = run_->Worker->OpenErrorReason();
        openErrno_ = run_->Worker->OpenErrorCode();
    }
    if (OnErrorOpenPort)
        OnErrorOpenPort(this);
}

void TOpSavro::DoStarting() {
    if (OnStarting)
        OnStarting(this);
}

void TOpSavro::DoStoping() {
    if (OnStoping)
        OnStoping(this);
}

void TOpSavro::DoGetNumber() {
    if (OnGetNumber)
        OnGetNumber(this);
    if (!run_)
        return;
    run_->Worker->SetAddress(DeviceNumber);
    run_->Worker->PendingCommand = Command;
}

void TOpSavro::DoPutResult() {
    if (!run_)
        return;
    Reply = run_->Worker->Reply();
    replyDone_ = run_->Worker->LastExchangeDone();
    if (OnPutResult) {
        OnPutResult(this);
        run_->Worker->PendingCommand = Command;
    }
}
