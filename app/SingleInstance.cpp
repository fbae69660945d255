#include "app/SingleInstance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>
#include <QTimer>

#include <limits>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

const QByteArray kRaise = "raise\n";
// A later copy that connects and says nothing does not keep its socket.
constexpr int kClientTimeoutMs = 5000;
// Between tries while the running copy has its lock but no server yet.
constexpr unsigned long kRetryMs = 50;

QString UserKey() {
#ifdef Q_OS_UNIX
    return QString::number(::geteuid());
#else
    return qEnvironmentVariable("USERNAME");
#endif
}

} // namespace

TSingleInstance::TSingleInstance(const QString& iniPath) : IniPath_(iniPath) {}

// The server goes before the lock: a later copy never finds the lock free
// while this one still answers.
TSingleInstance::~TSingleInstance() {
    Server_.reset();
    Lock_.reset();
}

QString TSingleInstance::LockPathFor(const QString& iniPath) {
    return iniPath + QStringLiteral(".lock");
}

QString TSingleInstance::ServerNameFor(const QString& iniPath) {
    const QByteArray key = (UserKey() + u'\n' + iniPath).toUtf8();
    return QStringLiteral("Savro2-")
           + QString::fromLatin1(
               QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex().left(24));
}

TSingleInstance::TState TSingleInstance::Acquire() {
    auto lock = std::make_unique<QLockFile>(LockPathFor(IniPath_));
    // Age alone never makes a live holder's lock stale; a dead holder's is
    // taken over by its process id.
    lock->setStaleLockTime(std::numeric_limits<int>::max());
    if (lock->tryLock(0)) {
        Lock_ = std::move(lock);
        return TState::First;
    }
    const QLockFile::LockError error = lock->error();
    Lock_ = std::move(lock);
    return error == QLockFile::LockFailedError ? TState::Running : TState::Unavailable;
}

bool TSingleInstance::IsLocked() const {
    return Lock_ && Lock_->isLocked();
}

QString TSingleInstance::LockProblem() const {
    if (!Lock_)
        return {};
    switch (Lock_->error()) {
    case QLockFile::NoError:
    case QLockFile::LockFailedError:
        return {};
    case QLockFile::PermissionError:
        return QStringLiteral("нет прав на запись в папку настроек");
    case QLockFile::UnknownError:
        break;
    }
    return QStringLiteral("не удалось создать файл блокировки");
}

bool TSingleInstance::Listen(std::function<void()> bringForward,
                             std::function<QString()> fileName) {
    BringForward_ = std::move(bringForward);
    FileName_ = std::move(fileName);
    const QString name = ServerNameFor(IniPath_);
    Server_ = std::make_unique<QLocalServer>();
    Server_->setSocketOptions(QLocalServer::UserAccessOption);
    // A socket left by a killed copy of these settings: ours now, as the lock is.
    QLocalServer::removeServer(name);
    if (!Server_->listen(name)) {
        Server_.reset();
        return false;
    }
    QObject::connect(Server_.get(), &QLocalServer::newConnection, Server_.get(), [this] {
        while (QLocalSocket* socket = Server_->nextPendingConnection())
            Serve(socket);
    });
    return true;
}

void TSingleInstance::Serve(QLocalSocket* socket) {
    // The server owns its sockets; each goes once its answer is out.
    QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(kClientTimeoutMs, socket, [socket] { socket->abort(); });
    QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
        if (!socket->canReadLine())
            return;
        if (socket->readLine() == kRaise) {
            if (BringForward_)
                BringForward_();
            const QString name = FileName_ ? FileName_() : QString();
            socket->write(name.toUtf8() + '\n');
        }
        socket->disconnectFromServer();
    });
}

std::optional<QString> TSingleInstance::AskRunning(int timeoutMs) const {
    const QDeadlineTimer deadline(timeoutMs);
    const QString name = ServerNameFor(IniPath_);
    QLocalSocket socket;
    for (;;) {
        socket.connectToServer(name);
        if (socket.waitForConnected(int(qMax<qint64>(deadline.remainingTime(), 0))))
            break;
        if (deadline.hasExpired())
            return std::nullopt;
        // The running copy takes the lock before it listens.
        QThread::msleep(kRetryMs);
    }
    socket.write(kRaise);
    QByteArray answer;
    for (;;) {
        answer += socket.readAll();
        if (answer.endsWith('\n'))
            break;
        if (deadline.hasExpired() || socket.state() == QLocalSocket::UnconnectedState)
            return std::nullopt;
        socket.waitForReadyRead(int(qMax<qint64>(deadline.remainingTime(), 0)));
    }
    answer.chop(1);
    return QString::fromUtf8(answer);
}
