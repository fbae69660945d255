#pragma once

#include <QString>
#include <QtGlobal>

#include <stdexcept>
#include <string>

// Settings types and errors of the serial port component.

enum TBaudRate {
    brCustom,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};
enum TDataBits { dbFive, dbSix, dbSeven, dbEight };
enum TStopBits { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TParityBits { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TComEvent {
    evRxChar,
    evTxEmpty,
    evRxFlag,
    evRing,
    evBreak,
    evCTS,
    evDSR,
    evError,
    evRLSD,
    evRx80Full
};
enum TSyncMethod { smThreadSync, smWindowSync, smNone, smDisableEvents };

// A set of TComEvent members, bit n for the member of ordinal n.
using TComEvents = quint16;
constexpr TComEvents AllComEvents = 0x3FF;

// Bits per second for a baud rate member; customRate for brCustom.
qint32 BaudRateValue(TBaudRate rate, qint32 customRate);

struct TComParity {
    TParityBits Bits = prNone;
    bool Check = false;
    bool Replace = false;
    char ReplaceChar = 0;
    bool operator==(const TComParity& o) const {
        return Bits == o.Bits && Check == o.Check && Replace == o.Replace &&
               ReplaceChar == o.ReplaceChar;
    }
    bool operator!=(const TComParity& o) const { return !(*this == o); }
};

struct TComBuffer {
    qint32 InputSize = 1024;
    qint32 OutputSize = 1024;
    bool operator==(const TComBuffer& o) const {
        return InputSize == o.InputSize && OutputSize == o.OutputSize;
    }
    bool operator!=(const TComBuffer& o) const { return !(*this == o); }
};

// Milliseconds; -1 in ReadInterval stands for "no interval limit".
struct TComTimeouts {
    qint32 ReadInterval = -1;
    qint32 ReadTotalMultiplier = 0;
    qint32 ReadTotalConstant = 0;
    qint32 WriteTotalMultiplier = 100;
    qint32 WriteTotalConstant = 1000;
    bool operator==(const TComTimeouts& o) const {
        return ReadInterval == o.ReadInterval && ReadTotalMultiplier == o.ReadTotalMultiplier &&
               ReadTotalConstant == o.ReadTotalConstant &&
               WriteTotalMultiplier == o.WriteTotalMultiplier &&
               WriteTotalConstant == o.WriteTotalConstant;
    }
    bool operator!=(const TComTimeouts& o) const { return !(*this == o); }
};

struct TComFlowControl {
    bool OutCTSFlow = false;
    bool OutDSRFlow = false;
    bool XonXoffOut = false;
    bool XonXoffIn = false;
    bool DSRSensitivity = false;
    bool TxContinueOnXoff = false;
    TDTRFlowControl ControlDTR = dtrDisable;
    TRTSFlowControl ControlRTS = rtsDisable;
    char XonChar = 0x11;
    char XoffChar = 0x13;
    bool operator==(const TComFlowControl& o) const {
        return OutCTSFlow == o.OutCTSFlow && OutDSRFlow == o.OutDSRFlow &&
               XonXoffOut == o.XonXoffOut && XonXoffIn == o.XonXoffIn &&
               DSRSensitivity == o.DSRSensitivity && TxContinueOnXoff == o.TxContinueOnXoff &&
               ControlDTR == o.ControlDTR && ControlRTS == o.ControlRTS &&
               XonChar == o.XonChar && XoffChar == o.XoffChar;
    }
    bool operator!=(const TComFlowControl& o) const { return !(*this == o); }
};

// Component error codes.
enum : quint8 {
    CE_OpenFailed = 1,
    CE_WriteFailed = 2,
    CE_ReadFailed = 3,
    CE_InvalidAsync = 4,
    CE_PurgeFailed = 5,
    CE_AsyncCheck = 6,
    CE_SetStateFailed = 7,
    CE_TimeoutsFailed = 8,
    CE_SetupComFailed = 9,
    CE_ClearComFailed = 10,
    CE_ModemStatFailed = 11,
    CE_EscapeComFailed = 12,
    CE_TransmitFailed = 13,
    CE_ConnChangeProp = 14,
    CE_EnumPortsFailed = 15,
    CE_StoreFailed = 16,
    CE_LoadFailed = 17,
    CE_RegFailed = 18,
    CE_LedStateFailed = 19,
    CE_ThreadCreated = 20,
    CE_WaitFailed = 21,
    CE_HasLink = 22,
    CE_RegError = 23
};

// The fixed English text of an error code; "Unknown Error #N" outside 1..23.
QString ComErrorText(int code);

class EComPort : public std::runtime_error {
public:
    EComPort(quint8 code, const QString& portName);
    quint8 ErrorCode() const { return code_; }
    QString Message() const { return QString::fromUtf8(what()); }

private:
    quint8 code_ = 0;
};

class EComPortExt : public EComPort {
public:
    EComPortExt(quint8 code, qint32 osError, const QString& portName);
    qint32 OsError() const { return osError_; }

private:
    qint32 osError_ = 0;
};
