#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

// A raw pseudo-terminal pair for port-level tests: the code under test opens
// SlavePath() as its serial port, the test plays the device on the master.
// A slave descriptor of our own stays open, so the master sees no hang-up
// while the port is closed. Throws std::runtime_error when no pty is available.
class TPtyPair {
public:
    TPtyPair();
    ~TPtyPair();
    TPtyPair(const TPtyPair&) = delete;
    TPtyPair& operator=(const TPtyPair&) = delete;

    QString SlavePath() const { return slavePath_; }
    int MasterFd() const { return master_; }

    bool Write(QByteArrayView bytes);
    // Reads until count bytes came or timeoutMs passed.
    QByteArray Read(int count, int timeoutMs);
    // Hang-up: the slave side reads an error from now on.
    void CloseMaster();

private:
    int master_ = -1;
    int slave_ = -1;
    QString slavePath_;
};

// Plays a scripted device on the master side from a thread of its own: for
// every 5-byte request it records the frame and writes the next scripted
// reply (no reply once the script is used up).
class TPtyResponder {
public:
    struct TPart {
        QByteArray Bytes;
        int DelayMs = 0; // before this part
    };
    using TReply = std::vector<TPart>;

    explicit TPtyResponder(TPtyPair& pty);
    ~TPtyResponder();
    TPtyResponder(const TPtyResponder&) = delete;
    TPtyResponder& operator=(const TPtyResponder&) = delete;

    void Queue(const QByteArray& reply) { Queue(TReply{{reply, 0}}); }
    void Queue(TReply reply);
    // Hang up (close the master) after writing the next reply.
    void HangUpAfterNextReply() { hangUp_ = true; }
    QList<QByteArray> Frames() const;

private:
    void Run();

    TPtyPair& pty_;
    mutable std::mutex mutex_;
    std::deque<TReply> script_;
    QList<QByteArray> frames_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> hangUp_{false};
    std::thread thread_;
};
