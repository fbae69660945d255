#include "link/LinkSupervisor.h"

#include "analyser/OpSavro.h"
#include "archive/Archive.h"
#include "results/RecordCycle.h"
#include "serial/PortAlias.h"

TLinkSupervisor::TLinkSupervisor(TOpSavro& poller, const TRecordCycle& cycle,
                                 std::function<TArchive*()> archive)
    : Poller_(poller), Cycle_(cycle), Archive_(std::move(archive)) {
    RetryTimer.setObjectName(QStringLiteral("RetryTimer"));
    RetryTimer.setInterval(2000);
    Status.TimeText = [this](const QDateTime& when) { return Cycle_.TimeText(when); };
}

TLinkSupervisor::~TLinkSupervisor() {
    // The program ends: so does what it can tell of the link.
    if (Outage_) {
        Status.SwitchedOff();
        NoteOutage();
    }
}

void TLinkSupervisor::NoteOutage() {
    TArchive* archive = Archive_ ? Archive_() : nullptr;
    if (!archive)
        return;
    const TLinkState state = Status.State();
    const bool down = state == TLinkState::NoReply || state == TLinkState::PortLost;
    if (down == (Outage_ != 0))
        return;
    // The outage list explains gaps; failing to write it must not stop measuring.
    try {
        if (down) {
            Outage_ = archive->LinkLost(Cycle_.Now(), Status.Port(), Poller_.DeviceNumber,
                                        Status.StateText());
        } else {
            archive->LinkBack(Outage_, Cycle_.Now());
            Outage_ = 0;
        }
    } catch (const std::exception& e) {
        qWarning("%s", e.what());
    }
}

void TLinkSupervisor::Show() {
    NoteOutage();
    if (OnShow)
        OnShow();
}

void TLinkSupervisor::Starting(quint16 device) {
    if (RetryAttempt_)
        return;
    StopAsked_ = false;
    Status.Started(Poller_.Port, device);
    PortAlias_ = TPortAlias::Find(Poller_.Port, PortAliasFolder);
    ResumedQuiet_ = false;
    Show();
}

bool TLinkSupervisor::OpenFailed() {
    // Reopen tries fail quietly; the status bar counts them.
    if (RetryAttempt_)
        return false;
    Status.PortLost(false);
    Show();
    return true;
}

void TLinkSupervisor::Stop() {
    StopAsked_ = true;
    Poller_.Stop();
}

bool TLinkSupervisor::Stopped(const QString& error) {
    const bool quiet = ResumedQuiet_;
    if (RetryAttempt_) {
        // A reopen try that did not open; the tries go on unless stopped.
        RetryAttempt_ = false;
        if (Status.Retrying())
            return false;
    } else if (!error.isEmpty() && !StopAsked_) {
        // The port went away during polling: it is reopened by itself.
        Status.PortLost(true);
        Show();
        RetryTimer.start();
    } else if (Status.State() != TLinkState::PortLost) {
        Status.SwitchedOff();
        Show();
    }
    // A pulled cable must not end polling silently: the analyser would go on
    // measuring with nobody recording.
    return !error.isEmpty() && !quiet;
}

QDateTime TLinkSupervisor::NextRequestTime(quint8 command) const {
    const QDateTime last = Cycle_.LastRecordTime();
    if (command == 6 || !last.isValid())
        return QDateTime();
    return last.addMSecs(Cycle_.IntervalMs);
}

void TLinkSupervisor::TurnStarted() {
    if (RetryAttempt_) {
        // The first turn means the port opened: polling has resumed.
        RetryAttempt_ = false;
        ResumedQuiet_ = true;
        RetryTimer.stop();
        Status.Started(Poller_.Port, Poller_.DeviceNumber);
        PortAlias_ = TPortAlias::Find(Poller_.Port, PortAliasFolder);
        if (OnResumed)
            OnResumed();
    }
    Status.TurnStarted(Poller_.Command, Poller_.DeviceNumber);
    Status.SetNextRequest(NextRequestTime(Poller_.Command));
    Show();
}

void TLinkSupervisor::Replied(quint8 command, bool measured) {
    const bool complete =
        command != 6 || (Poller_.Reply.Status != 0xFF && Poller_.ReplyDone());
    Status.Replied(complete);
    if (complete)
        ResumedQuiet_ = false;
    if (measured)
        Status.MeasurementReceived(Cycle_.Now());
    Status.SetNextRequest(NextRequestTime(Poller_.Command));
    Show();
}

void TLinkSupervisor::RetryOpenPort() {
    if (!Status.Retrying() || Poller_.Active())
        return;
    // A USB adapter plugged back may have a new kernel name.
    const QString moved = TPortAlias::Resolve(PortAlias_, Poller_.Port);
    if (!moved.isEmpty() && moved != Poller_.Port) {
        Poller_.Port = moved;
        Status.SetPort(moved);
    }
    Status.RetryAttempted();
    Show();
    // A device file that is not there cannot open: no worker for that.
    if (TPortAlias::Missing(Poller_.Port))
        return;
    RetryAttempt_ = true;
    Poller_.Start();
}

void TLinkSupervisor::StopRetrying() {
    RetryTimer.stop();
    Status.SwitchedOff();
    Show();
    if (Poller_.Active())
        Poller_.Stop(); // a reopen try in flight; its end restores the look
    else if (OnSwitchedOff)
        OnSwitchedOff();
}

void TLinkSupervisor::ChoosePort(const QString& port) {
    Poller_.Port = port;
    // A port chosen during reopen tries is the one tried next.
    if (Status.Retrying())
        PortAlias_ = TPortAlias::Find(port, PortAliasFolder);
    Status.SetPort(port);
    // A failed open is old news once another port is chosen.
    if (!Poller_.Active() && Status.State() == TLinkState::PortLost && !Status.Retrying())
        Status.SwitchedOff();
    Show();
}

void TLinkSupervisor::SetDevice(quint16 device) {
    Status.SetDevice(device);
    Show();
}
