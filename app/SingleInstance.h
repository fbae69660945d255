#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QLocalServer;
class QLocalSocket;
class QLockFile;

// One running copy per settings file. The copy that takes "<ini>.lock" keeps
// it for its whole life and answers on a local socket named after the INI
// and the user; a later copy on the same settings finds the lock taken, asks
// the running one to come forward and learns its results file.
class TSingleInstance {
public:
    enum class TState {
        First,      // the lock is ours
        Running,    // another live copy holds it
        Unavailable // no lock can be made there (read-only folder...)
    };

    explicit TSingleInstance(const QString& iniPath);
    ~TSingleInstance();
    TSingleInstance(const TSingleInstance&) = delete;
    TSingleInstance& operator=(const TSingleInstance&) = delete;

    // Takes the lock; one left by a dead process is taken over.
    TState Acquire();
    bool IsLocked() const;
    // Why the lock could not be made, for Unavailable.
    QString LockProblem() const;

    static QString LockPathFor(const QString& iniPath);
    static QString ServerNameFor(const QString& iniPath);

    // The running copy's side: answers later copies from now on. bringForward
    // is called for each of them, fileName gives the answer.
    bool Listen(std::function<void()> bringForward, std::function<QString()> fileName);

    // The later copy's side: asks the running copy to come forward and returns
    // its results file name; nullopt when nothing answers within timeoutMs
    // (it is still starting, or hung).
    std::optional<QString> AskRunning(int timeoutMs) const;

private:
    void Serve(QLocalSocket* socket);

    QString IniPath_;
    std::unique_ptr<QLockFile> Lock_;
    std::unique_ptr<QLocalServer> Server_;
    std::function<void()> BringForward_;
    std::function<QString()> FileName_;
};
