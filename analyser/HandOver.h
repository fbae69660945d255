#pragma once

#include <QObject>

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>

// Runs a call of the worker thread on the thread this object lives on (the
// main thread) and blocks the worker until it has run; an exception thrown
// there is carried back and rethrown in the worker.
//
// The pending call, its result and the exit mark are guarded by a std::mutex
// and a std::condition_variable, not by Qt's own primitives, so that
// ThreadSanitizer sees every hand-over as synchronisation. The queued wake-up
// posted to the main thread carries no data.
class THandOver : public QObject {
    Q_OBJECT
public:
    explicit THandOver(QObject* parent = nullptr);

    // Worker side: runs fn on the main thread and waits for it.
    void Call(std::function<void()> fn);
    // Worker side, its very last action: nothing more will be handed over.
    void MarkExited();

    // Main side: serve hand-overs until the worker has marked its exit.
    void ServeUntilExited();
    // Main side: run the pending call, if any.
    Q_INVOKABLE void Serve();

private:
    void RunPending(std::unique_lock<std::mutex>& lock);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::function<void()> pending_;
    std::exception_ptr error_;
    bool done_ = false;
    bool exited_ = false;
};
