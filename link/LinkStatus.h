#pragma once

#include <QDateTime>
#include <QString>

#include <functional>

enum class TLinkState { Off, Polling, NoReply, PortLost };
enum class TLinkColour { Plain, Green, Amber, Red };

// What the line to the analyser is doing, as the status bar shows it. Fed on
// the main thread by the window from the poller's events; no widgets, so the
// transitions are tested without a window.
class TLinkStatus {
public:
    // Turns in a row that sent a request and brought no complete reply
    // before the analyser counts as silent.
    static constexpr int MissesForNoReply = 3;

    // Formats the times shown; the window gives the locale's time format.
    std::function<QString(const QDateTime&)> TimeText = [](const QDateTime& t) {
        return t.toString(QStringLiteral("HH:mm:ss"));
    };

    // Polling switched on, by the operator or by a reopen that succeeded.
    void Started(const QString& port, quint16 device);
    // Start of a turn: the command this turn sends (0: none). A turn that
    // sent a request and got no reply at all counts as a miss here.
    void TurnStarted(quint8 command, quint16 device);
    // A reply was handed over; complete: full length, matching address.
    void Replied(bool complete);
    void MeasurementReceived(const QDateTime& when);
    // Invalid: the record is being asked for now.
    void SetNextRequest(const QDateTime& when);
    // The port is gone or cannot be opened; retrying: it is reopened by itself.
    void PortLost(bool retrying);
    void RetryAttempted();
    // Polling off, retries stopped.
    void SwitchedOff();
    void SetPort(const QString& port);
    void SetDevice(quint16 device);

    TLinkState State() const { return state_; }
    bool Retrying() const { return retrying_; }
    int RetryCount() const { return retries_; }
    int Misses() const { return misses_; }
    const QString& Port() const { return port_; }
    quint16 Device() const { return device_; }
    // Grows with every change of what is shown.
    quint64 Revision() const { return revision_; }

    TLinkColour Colour() const;
    QString StateText() const;
    QString PortText() const;
    QString DeviceText() const;
    QString LastMeasurementText() const;
    QString NextRequestText() const;

private:
    void Miss();
    void Changed() { ++revision_; }

    TLinkState state_ = TLinkState::Off;
    QString port_;
    quint16 device_ = 0;
    int misses_ = 0;
    bool sentThisTurn_ = false;
    bool answeredThisTurn_ = false;
    bool retrying_ = false;
    int retries_ = 0;
    QDateTime lastMeasurement_;
    QDateTime nextRequest_;
    quint64 revision_ = 1;
};
