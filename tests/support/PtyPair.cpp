#include "support/PtyPair.h"

#include <QDeadlineTimer>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

TPtyPair::TPtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 || !ptsname(master_)) {
        if (master_ >= 0)
            ::close(master_);
        throw std::runtime_error("no pseudo-terminal available");
    }
    slavePath_ = QString::fromLocal8Bit(ptsname(master_));
    slave_ = ::open(ptsname(master_), O_RDWR | O_NOCTTY);
    if (slave_ < 0) {
        ::close(master_);
        throw std::runtime_error("cannot open the pseudo-terminal slave");
    }
    termios t{};
    if (tcgetattr(slave_, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

TPtyPair::~TPtyPair() {
    CloseMaster();
}

void TPtyPair::CloseMaster() {
    if (slave_ >= 0)
        ::close(slave_);
    if (master_ >= 0)
        ::close(master_);
    slave_ = master_ = -1;
}

bool TPtyPair::Write(QByteArrayView bytes) {
    qsizetype done = 0;
    while (master_ >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += n;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{master_, POLLOUT, 0};
            ::poll(&p, 1, 50);
        } else {
            return false;
        }
    }
    return done == bytes.size();
}

QByteArray TPtyPair::Read(int count, int timeoutMs) {
    QByteArray got;
    const QDeadlineTimer deadline(timeoutMs);
    while (master_ >= 0 && got.size() < count) {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(deadline.remainingTime())) <= 0)
            break;
        char buf[512];
        const ssize_t n = ::read(master_, buf, std::min<qsizetype>(sizeof buf, count - got.size()));
        if (n <= 0)
            break;
        got.append(buf, n);
    }
    return got;
}

TPtyResponder::TPtyResponder(TPtyPair& pty) : pty_(pty), thread_([this] { Run(); }) {}

TPtyResponder::~TPtyResponder() {
    stop_ = true;
    thread_.join();
}

void TPtyResponder::Queue(TReply reply) {
    std::lock_guard lock(mutex_);
    script_.push_back(std::move(reply));
}

QList<QByteArray> TPtyResponder::Frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
}

void TPtyResponder::Run() {
    QByteArray input;
    while (!stop_ && pty_.MasterFd() >= 0) {
        pollfd p{pty_.MasterFd(), POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        char buf[256];
        const ssize_t n = ::read(pty_.MasterFd(), buf, sizeof buf);
        if (n <= 0)
            continue;
        input.append(buf, n);
        while (input.size() >= 5) {
            TReply reply;
            {
                std::lock_guard lock(mutex_);
                frames_.append(input.left(5));
                if (!script_.empty()) {
                    reply = std::move(script_.front());
                    script_.pop_front();
                }
            }
            input.remove(0, 5);
            for (const TPart& part : reply) {
                if (part.DelayMs > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(part.DelayMs));
                pty_.Write(part.Bytes);
            }
            if (hangUp_) {
                pty_.CloseMaster();
                return;
            }
        }
    }
}
