#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// The analyser simulator (savro2-sim) as a child process: started with its
// arguments, its PORT line awaited, stdin lines sent, event lines awaited
// with a bound. Waits serve the event loop.
class TSimProcess {
public:
    TSimProcess();
    ~TSimProcess();
    TSimProcess(const TSimProcess&) = delete;
    TSimProcess& operator=(const TSimProcess&) = delete;

    static QString Program();

    // Starts and waits for the PORT line; false on failure or time-out.
    bool Start(const QStringList& args, int timeoutMs = 10000);
    QString PortPath() const { return port_; }

    void Send(const QString& line);
    // The first stdout line starting with prefix (searched from line index
    // from on), waiting up to timeoutMs; empty on time-out.
    QString WaitForLine(const QString& prefix, int timeoutMs = 10000, int from = 0);
    int CountLines(const QString& prefix);
    QStringList Lines() {
        Collect();
        return lines_;
    }

    void CloseStdin();
    bool WaitForExit(int timeoutMs = 10000);
    QProcess& Process() { return process_; }

private:
    void Collect();

    QProcess process_;
    QByteArray partial_;
    QStringList lines_;
    QString port_;
};
