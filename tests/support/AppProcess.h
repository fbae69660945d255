#pragma once

#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// The real program as a child process, with the operator played by the
// preloaded driver (tests/driver): its stdout lines awaited with a bound,
// commands written to its stdin, SIGKILL at the end unless it exited.
class TAppProcess {
public:
    TAppProcess();
    ~TAppProcess();
    TAppProcess(const TAppProcess&) = delete;
    TAppProcess& operator=(const TAppProcess&) = delete;

    // Offscreen, the driver preloaded, the user's folders below root.
    static QProcessEnvironment Environment(const QString& root, const QString& driver, bool poll);

    bool Start(const QString& program, const QStringList& args, const QProcessEnvironment& env,
               const QString& workDir = QString());

    // The first line starting with prefix at index from or later; empty on
    // time-out or once the program has ended without it.
    QString WaitForLine(const QString& prefix, int from = 0, int timeoutMs = 30000);
    int LineCount();
    QStringList Lines();
    void Send(const QByteArray& line);
    // Sends command and waits for the answer line starting with prefix.
    QString Ask(const QByteArray& command, const QString& prefix);
    // The table's rows below the titles, each split into its 32 cells.
    QList<QStringList> Dump();

    bool IsRunning() const { return process_.state() != QProcess::NotRunning; }
    // Normal exit within timeoutMs; its code in ExitCode.
    bool WaitForExit(int timeoutMs = 30000);
    int ExitCode() const { return process_.exitCode(); }
    bool Kill();

private:
    void Collect();

    QProcess process_;
    QByteArray partial_;
    QStringList lines_;
};
