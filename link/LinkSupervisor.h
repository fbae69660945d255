#pragma once

#include "link/LinkStatus.h"

#include <QDateTime>
#include <QString>
#include <QTimer>

#include <functional>

class TArchive;
class TOpSavro;
class TRecordCycle;

// Watches the line to the analyser for the window: keeps the status shown in
// the status bar and reopens a port lost during polling until it opens or the
// operator stops. No widgets; the window shows what it is told.
class TLinkSupervisor {
public:
    // archive: where the link's outages are kept (may give nullptr).
    TLinkSupervisor(TOpSavro& poller, const TRecordCycle& cycle,
                    std::function<TArchive*()> archive = {});
    ~TLinkSupervisor();
    TLinkSupervisor(const TLinkSupervisor&) = delete;
    TLinkSupervisor& operator=(const TLinkSupervisor&) = delete;

    TLinkStatus Status;
    // Where the stable names of USB adapters are looked up.
    QString PortAliasFolder = QStringLiteral("/dev/serial/by-id");
    // Every 2 s while the tries go on; its timeout belongs to RetryOpenPort.
    QTimer RetryTimer;

    // The status changed and wants showing.
    std::function<void()> OnShow;
    // The tries ended by the button: the button shows "off" again.
    std::function<void()> OnSwitchedOff;
    // A reopen try opened the port: polling has resumed.
    std::function<void()> OnResumed;

    // Polling has started, by the operator or by a reopen try.
    void Starting(quint16 device);
    // The port did not open; true when the operator is to be told.
    bool OpenFailed();
    // The run ended; error: the port error that ended it (empty for none).
    // True when that error is to be told.
    bool Stopped(const QString& error);
    // The operator's Stop of a running poll: a port error ending this run
    // starts no reopen tries.
    void Stop();
    void TurnStarted();
    // A reply to command was handed over; measured: a new row came with it.
    void Replied(quint8 command, bool measured);
    void RetryOpenPort();
    void StopRetrying();
    void ChoosePort(const QString& port);
    void SetDevice(quint16 device);

private:
    QDateTime NextRequestTime(quint8 command) const;
    void Show();
    // An outage starts when the link goes silent or its port is lost, and
    // ends when it answers again or polling is switched off.
    void NoteOutage();

    TOpSavro& Poller_;
    const TRecordCycle& Cycle_;
    // The adapter's stable name, found when polling started on its port.
    QString PortAlias_;
    // The running start is a reopen after a lost port: its failures are quiet.
    bool RetryAttempt_ = false;
    // Reopened, and no complete reply yet: a port error now is not told again.
    bool ResumedQuiet_ = false;
    // The operator stopped this run: it ends as switched off, whatever ends it.
    bool StopAsked_ = false;
    std::function<TArchive*()> Archive_;
    qint64 Outage_ = 0; // the archive's open outage, 0 for none
};
