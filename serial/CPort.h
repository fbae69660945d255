#pragma once

#include "serial/CPortTypes.h"

#include <QString>

#include <memory>

class QSerialPort;

// One named serial port, opened with a set of line settings and then purged,
// written and read with bounded waits. Blocking: meant for one thread at a
// time. The QSerialPort behind it is created by Open and destroyed by Close on
// the calling thread, so the object itself can be built and configured on one
// thread and used on another while it is closed. Every failure raises
// EComPortExt.
//
// Setters store the value and, while the port is open, apply its group of
// settings at once; while closed, everything is applied by Open.
class TCustomComPort {
public:
    TCustomComPort();
    virtual ~TCustomComPort();
    TCustomComPort(const TCustomComPort&) = delete;
    TCustomComPort& operator=(const TCustomComPort&) = delete;

    void Open();
    void Close();
    void PurgeBuffers(bool input, bool output);
    // Returns as soon as count bytes have arrived, or after
    // count * ReadTotalMultiplier + ReadTotalConstant ms with what arrived
    // (possibly 0). The first byte of buf is set to 0xFF before waiting.
    qint32 Read(void* buf, qint32 count);
    qint32 Write(const void* buf, qint32 count);

    bool Connected() const { return connected_; }
    // Raises EComPortExt (read failed) when the open port's line is gone: a
    // pulled USB adapter or a closed pseudo-terminal hangs it up. Sends
    // nothing and does not wait.
    void CheckLine();
    // The system's reason for an error number, as the operator reads it.
    static QString ReasonText(qint32 osError);
    // What the operator can do about it, in Russian; empty when nothing useful
    // can be said.
    static QString HintText(qint32 osError);

    const QString& Port() const { return port_; }
    void SetPort(const QString& port);
    TBaudRate BaudRate() const { return baudRate_; }
    void SetBaudRate(TBaudRate rate);
    qint32 CustomBaudRate() const { return customBaudRate_; }
    TDataBits DataBits() const { return dataBits_; }
    void SetDataBits(TDataBits bits);
    TStopBits StopBits() const { return stopBits_; }
    void SetStopBits(TStopBits bits);
    const TComParity& Parity() const { return parity_; }
    void SetParity(const TComParity& parity);
    void SetParityBits(TParityBits bits);
    const TComFlowControl& FlowControl() const { return flowControl_; }
    void SetFlowControl(const TComFlowControl& flow);
    const TComBuffer& Buffer() const { return buffer_; }
    void SetBuffer(const TComBuffer& buffer);
    const TComTimeouts& Timeouts() const { return timeouts_; }
    void SetTimeouts(const TComTimeouts& timeouts);
    void SetReadTotalMultiplier(qint32 ms);
    void SetReadTotalConstant(qint32 ms);
    bool DiscardNull() const { return discardNull_; }
    void SetDiscardNull(bool discard);
    char EventChar() const { return eventChar_; }
    void SetEventChar(char ch);
    // Plain field: no event machinery is built, so it has no effect.
    TComEvents Events = AllComEvents;
    TSyncMethod SyncMethod = smThreadSync;

protected:
    virtual void CreateHandle();
    virtual void DestroyHandle();
    virtual void ApplySettings();
    void ApplyQueueSizes();
    void ApplyLineSettings();
    void ApplyTimeoutSettings();

private:
    [[noreturn]] void Fail(quint8 code) const;
    void ReadModemStatus();
    void ApplyControlLines();

    std::unique_ptr<QSerialPort> serial_;
    bool connected_ = false;
    QString port_ = QStringLiteral("COM1");
    TBaudRate baudRate_ = br9600;
    qint32 customBaudRate_ = 9600;
    TDataBits dataBits_ = dbEight;
    TStopBits stopBits_ = sbOneStopBit;
    TComParity parity_;
    TComFlowControl flowControl_;
    TComBuffer buffer_;
    TComTimeouts timeouts_;
    bool discardNull_ = false;
    char eventChar_ = 0;
};

class TComPort : public TCustomComPort {
public:
    TComPort() = default;
};
