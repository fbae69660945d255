#include "link/LinkStatus.h"

void TLinkStatus::Started(const QString& port, quint16 device) {
    state_ = TLinkState::Polling;
    port_ = port;
    device_ = device;
    misses_ = 0;
    sentThisTurn_ = false;
    answeredThisTurn_ = false;
    retrying_ = false;
    retries_ = 0;
    nextRequest_ = QDateTime();
    Changed();
}

void TLinkStatus::TurnStarted(quint8 command, quint16 device) {
    SetDevice(device);
    // A command 9 without its echo is not handed over: only the next turn
    // shows that the last one went unanswered.
    if (sentThisTurn_ && !answeredThisTurn_)
        Miss();
    sentThisTurn_ = command != 0;
    answeredThisTurn_ = false;
}

void TLinkStatus::Replied(bool complete) {
    answeredThisTurn_ = true;
    if (!complete) {
        Miss();
        return;
    }
    misses_ = 0;
    if (state_ == TLinkState::NoReply) {
        state_ = TLinkState::Polling;
        Changed();
    }
}

void TLinkStatus::Miss() {
    ++misses_;
    if (misses_ >= MissesForNoReply && state_ == TLinkState::Polling) {
        state_ = TLinkState::NoReply;
        Changed();
    }
}

void TLinkStatus::MeasurementReceived(const QDateTime& when) {
    lastMeasurement_ = when;
    Changed();
}

void TLinkStatus::SetNextRequest(const QDateTime& when) {
    if (when == nextRequest_) // invalid times compare equal to each other only
        return;
    nextRequest_ = when;
    Changed();
}

void TLinkStatus::PortLost(bool retrying) {
    state_ = TLinkState::PortLost;
    retrying_ = retrying;
    retries_ = 0;
    sentThisTurn_ = false;
    Changed();
}

void TLinkStatus::RetryAttempted() {
    ++retries_;
    Changed();
}

void TLinkStatus::SwitchedOff() {
    state_ = TLinkState::Off;
    retrying_ = false;
    retries_ = 0;
    misses_ = 0;
    sentThisTurn_ = false;
    Changed();
}

void TLinkStatus::SetPort(const QString& port) {
    if (port == port_)
        return;
    port_ = port;
    Changed();
}

void TLinkStatus::SetDevice(quint16 device) {
    if (device == device_)
        return;
    device_ = device;
    Changed();
}

TLinkColour TLinkStatus::Colour() const {
    switch (state_) {
    case TLinkState::Polling:
        return TLinkColour::Green;
    case TLinkState::NoReply:
        return TLinkColour::Amber;
    case TLinkState::PortLost:
        return TLinkColour::Red;
    case TLinkState::Off:
        break;
    }
    return TLinkColour::Plain;
}

QString TLinkStatus::StateText() const {
    switch (state_) {
    case TLinkState::Polling:
        return QStringLiteral("Опрос");
    case TLinkState::NoReply:
        return QStringLiteral("Нет ответа от прибора №%1").arg(device_);
    case TLinkState::PortLost:
        if (retrying_)
            return QStringLiteral("Порт недоступен, попыток открыть: %1").arg(retries_);
        return QStringLiteral("Порт недоступен");
    case TLinkState::Off:
        break;
    }
    return QStringLiteral("Опрос выключен");
}

QString TLinkStatus::PortText() const {
    return QStringLiteral("Порт ") + port_;
}

QString TLinkStatus::DeviceText() const {
    return QStringLiteral("Прибор №%1").arg(device_);
}

QString TLinkStatus::LastMeasurementText() const {
    return QStringLiteral("Последнее измерение ") +
           (lastMeasurement_.isValid() ? TimeText(lastMeasurement_) : QStringLiteral("нет"));
}

QString TLinkStatus::NextRequestText() const {
    if (state_ != TLinkState::Polling && state_ != TLinkState::NoReply)
        return QString();
    return QStringLiteral("Следующий запрос ") +
           (nextRequest_.isValid() ? TimeText(nextRequest_) : QStringLiteral("сейчас"));
}
