#include "analyser/HandOver.h"

#include <QMetaObject>

#include <utility>

THandOver::THandOver(QObject* parent) : QObject(parent) {}

void THandOver::Call(std::function<void()> fn) {
    std::unique_lock lock(mutex_);
    pending_ = std::move(fn);
    done_ = false;
    error_ = nullptr;
    changed_.notify_all();
    lock.unlock();
    // The wake-up only makes the main loop call Serve; the call itself is
    // taken from pending_ under the mutex.
    QMetaObject::invokeMethod(this, "Serve", Qt::QueuedConnection);
    lock.lock();
    changed_.wait(lock, [this] { return done_; });
    std::exception_ptr error = std::exchange(error_, nullptr);
    lock.unlock();
    if (error)
        std::rethrow_exception(error);
}

void THandOver::MarkExited() {
    std::lock_guard lock(mutex_);
    exited_ = true;
    changed_.notify_all();
}

void THandOver::Serve() {
    std::unique_lock lock(mutex_);
    RunPending(lock);
}

void THandOver::ServeUntilExited() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return pending_ || exited_; });
        if (pending_)
            RunPending(lock);
        else
            return;
    }
}

void THandOver::RunPending(std::unique_lock<std::mutex>& lock) {
    if (!pending_)
        return;
    std::function<void()> fn = std::move(pending_);
    pending_ = nullptr;
    // The call runs unlocked: it may take its time (a message box) and the
    // worker is blocked on done_ meanwhile.
    lock.unlock();
    std::exception_ptr error;
    try {
        fn();
    } catch (...) {
        error = std::current_exception();
    }
    lock.lock();
    error_ = error;
    done_ = true;
    changed_.notify_all();
}
