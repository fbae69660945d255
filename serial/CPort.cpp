#include "serial/CPort.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QSerialPort>

#include <cerrno>
#include <cstring>
#include <limits>

#ifdef Q_OS_UNIX
#include <poll.h>
#endif

namespace {

// QSerialPort reports kinds of failure, not errno values; the OS error number
// is given by meaning so that callers can still tell "missing" from "in use".
qint32 OsErrorOf(const QSerialPort* serial) {
    const int saved = errno;
    if (!serial)
        return saved;
    switch (serial->error()) {
    case QSerialPort::DeviceNotFoundError:
        return ENOENT;
    case QSerialPort::PermissionError:
        return EACCES;
    case QSerialPort::OpenError:
        return EBUSY;
    case QSerialPort::ResourceError:
        return EIO;
    case QSerialPort::UnsupportedOperationError:
        return ENOTTY;
    case QSerialPort::TimeoutError:
        return ETIMEDOUT;
    default:
        return saved != 0 ? saved : EIO;
    }
}

// Pseudo-terminals and some USB adapters have no modem lines; that is not a
// failure of the port.
bool Unsupported(const QSerialPort& serial) {
    const auto e = serial.error();
    return e == QSerialPort::NoError || e == QSerialPort::UnsupportedOperationError;
}

// A wait that ended without data is a time-out, not a failure.
bool TimedOut(const QSerialPort& serial) {
    const auto e = serial.error();
    return e == QSerialPort::NoError || e == QSerialPort::TimeoutError;
}

int TimeoutMs(qint64 count, qint32 multiplier, qint32 constant) {
    const qint64 ms = count * qMax(multiplier, 0) + qMax(constant, 0);
    return static_cast<int>(qMin<qint64>(ms, std::numeric_limits<int>::max()));
}

} // namespace

TCustomComPort::TCustomComPort() = default;

TCustomComPort::~TCustomComPort() {
    try {
        Close();
    } catch (...) {
        // Destruction must not throw; the handle is released below anyway.
    }
    serial_.reset();
}

void TCustomComPort::Fail(quint8 code) const {
    throw EComPortExt(code, OsErrorOf(serial_.get()), port_);
}

void TCustomComPort::Open() {
    if (connected_)
        return;
    CreateHandle();
    connected_ = true;
    try {
        ApplySettings();
    } catch (...) {
        DestroyHandle();
        connected_ = false;
        throw;
    }
    ReadModemStatus();
}

void TCustomComPort::CreateHandle() {
    auto serial = std::make_unique<QSerialPort>();
    serial->setPortName(port_);
    errno = 0;
    if (!serial->open(QIODevice::ReadWrite)) {
        const qint32 os = OsErrorOf(serial.get());
        const QString path = port_.startsWith(QLatin1Char('/')) ? port_ : "/dev/" + port_;
        qDebug().noquote() << "CreateFile" << path;
        throw EComPortExt(CE_OpenFailed, os, port_);
    }
    serial_ = std::move(serial);
}

void TCustomComPort::DestroyHandle() {
    if (serial_)
        serial_->close();
    serial_.reset();
}

void TCustomComPort::Close() {
    if (!connected_)
        return;
    if (serial_) {
        // Nothing is pending between calls: every transfer here completes
        // before it returns, so there is nothing to abort.
        serial_->clearError();
    }
    DestroyHandle();
    connected_ = false;
}

void TCustomComPort::ApplySettings() {
    ApplyQueueSizes();
    ApplyLineSettings();
    ApplyTimeoutSettings();
}

void TCustomComPort::ApplyQueueSizes() {
    // The driver's queues have no counterpart to size here; QSerialPort's own
    // buffer grows as needed, so nothing is applied.
}

void TCustomComPort::ApplyLineSettings() {
    if (!connected_ || !serial_)
        return;
    QSerialPort& s = *serial_;
    s.clearError();
    static const QSerialPort::DataBits dataBits[] = {QSerialPort::Data5, QSerialPort::Data6,
                                                     QSerialPort::Data7, QSerialPort::Data8};
    static const QSerialPort::StopBits stopBits[] = {
        QSerialPort::OneStop, QSerialPort::OneAndHalfStop, QSerialPort::TwoStop};
    static const QSerialPort::Parity parities[] = {QSerialPort::NoParity, QSerialPort::OddParity,
                                                   QSerialPort::EvenParity, QSerialPort::MarkParity,
                                                   QSerialPort::SpaceParity};
    QSerialPort::FlowControl flow = QSerialPort::NoFlowControl;
    if (flowControl_.OutCTSFlow || flowControl_.ControlRTS == rtsHandshake)
        flow = QSerialPort::HardwareControl;
    else if (flowControl_.XonXoffIn || flowControl_.XonXoffOut)
        flow = QSerialPort::SoftwareControl;

    const bool ok = s.setBaudRate(BaudRateValue(baudRate_, customBaudRate_)) &&
                    s.setDataBits(dataBits[qBound(0, int(dataBits_), 3)]) &&
                    s.setParity(parities[qBound(0, int(parity_.Bits), 4)]) &&
                    s.setStopBits(stopBits[qBound(0, int(stopBits_), 2)]) &&
                    s.setFlowControl(flow);
    if (!ok)
        Fail(CE_SetStateFailed);
    ApplyControlLines();
}

void TCustomComPort::ApplyControlLines() {
    QSerialPort& s = *serial_;
    if (flowControl_.ControlDTR != dtrHandshake) {
        s.clearError();
        if (!s.setDataTerminalReady(flowControl_.ControlDTR == dtrEnable) && !Unsupported(s))
            Fail(CE_SetStateFailed);
    }
    if (flowControl_.ControlRTS == rtsDisable || flowControl_.ControlRTS == rtsEnable) {
        s.clearError();
        if (!s.setRequestToSend(flowControl_.ControlRTS == rtsEnable) && !Unsupported(s))
            Fail(CE_SetStateFailed);
    }
    s.clearError();
}

void TCustomComPort::ApplyTimeoutSettings() {
    // Read and Write compute their bounds from the time-outs on every call.
}

void TCustomComPort::ReadModemStatus() {
    QSerialPort& s = *serial_;
    s.clearError();
    // The three status reads of CTS, DSR and RLSD come from one query here.
    s.pinoutSignals();
    if (!Unsupported(s))
        Fail(CE_ModemStatFailed);
    s.clearError();
}

void TCustomComPort::PurgeBuffers(bool input, bool output) {
    if (!serial_)
        Fail(CE_PurgeFailed);
    QSerialPort::Directions dirs;
    if (input)
        dirs |= QSerialPort::Input;
    if (output)
        dirs |= QSerialPort::Output;
    if (!dirs)
        return;
    serial_->clearError();
    if (!serial_->clear(dirs))
        Fail(CE_PurgeFailed);
}

qint32 TCustomComPort::Read(void* buf, qint32 count) {
    if (!serial_)
        Fail(CE_ReadFailed);
    if (count <= 0 || !buf)
        return 0;
    char* dest = static_cast<char*>(buf);
    dest[0] = static_cast<char>(0xFF);
    QSerialPort& s = *serial_;
    const QDeadlineTimer deadline(
        TimeoutMs(count, timeouts_.ReadTotalMultiplier, timeouts_.ReadTotalConstant));
    qint32 got = 0;
    for (;;) {
        const qint64 n = s.read(dest + got, count - got);
        if (n < 0)
            Fail(CE_ReadFailed);
        got += static_cast<qint32>(n);
        if (got >= count)
            break;
        const int left = static_cast<int>(deadline.remainingTime());
        s.clearError();
        if (!s.waitForReadyRead(left)) {
            if (!TimedOut(s))
                Fail(CE_ReadFailed);
            if (deadline.hasExpired())
                break;
        }
    }
    return got;
}

qint32 TCustomComPort::Write(const void* buf, qint32 count) {
    if (!serial_)
        Fail(CE_WriteFailed);
    if (count <= 0 || !buf)
        return 0;
    QSerialPort& s = *serial_;
    s.clearError();
    const qint64 n = s.write(static_cast<const char*>(buf), count);
    if (n < 0)
        Fail(CE_WriteFailed);
    const int limit =
        TimeoutMs(count, timeouts_.WriteTotalMultiplier, timeouts_.WriteTotalConstant);
    const QDeadlineTimer deadline(limit);
    while (s.bytesToWrite() > 0 && !deadline.hasExpired()) {
        s.clearError();
        if (!s.waitForBytesWritten(static_cast<int>(deadline.remainingTime())) && !TimedOut(s))
            Fail(CE_WriteFailed);
    }
    return static_cast<qint32>(n - s.bytesToWrite());
}

void TCustomComPort::CheckLine() {
    if (!serial_)
        Fail(CE_ReadFailed);
#ifdef Q_OS_UNIX
    // No events asked for: poll() reports only a hang-up or an error.
    pollfd p{static_cast<int>(serial_->handle()), 0, 0};
    if (p.fd < 0)
        throw EComPortExt(CE_ReadFailed, EBADF, port_);
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
        throw EComPortExt(CE_ReadFailed, (p.revents & POLLNVAL) ? EBADF : EIO, port_);
#else
    if (serial_->error() == QSerialPort::ResourceError)
        Fail(CE_ReadFailed);
#endif
}

QString TCustomComPort::ReasonText(qint32 osError) {
    switch (osError) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return QStringLiteral("Порт не найден");
    case EACCES:
    case EPERM:
        return QStringLiteral("Нет доступа к порту");
    case EBUSY:
        return QStringLiteral("Порт занят другой программой");
    default:
        break;
    }
    return QString::fromLocal8Bit(std::strerror(osError));
}

QString TCustomComPort::HintText(qint32 osError) {
    switch (osError) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return QStringLiteral("Проверьте, что адаптер прибора подключён, и выберите его порт "
                              "в меню кнопки опроса.");
    case EACCES:
    case EPERM:
        return QStringLiteral("Работать с портом может член группы dialout: администратор "
                              "добавит пользователя (sudo usermod -aG dialout ИМЯ), затем "
                              "нужно войти в систему заново.");
    case EBUSY:
        return QStringLiteral("Закройте другую программу, которая держит этот порт, "
                              "или выберите другой порт.");
    case ENOTTY:
    case EINVAL:
        return QStringLiteral("Это не последовательный порт: выберите порт прибора в меню "
                              "кнопки опроса.");
    case EIO:
        return QStringLiteral("Адаптер не отвечает: отключите его и подключите снова.");
    default:
        break;
    }
    return QString();
}

void TCustomComPort::SetPort(const QString& port) {
    if (port == port_)
        return;
    port_ = port;
    if (connected_) {
        Close();
        Open();
    }
}

void TCustomComPort::SetBaudRate(TBaudRate rate) {
    if (rate == baudRate_)
        return;
    baudRate_ = rate;
    ApplyLineSettings();
}

void TCustomComPort::SetDataBits(TDataBits bits) {
    if (bits == dataBits_)
        return;
    dataBits_ = bits;
    ApplyLineSettings();
}

void TCustomComPort::SetStopBits(TStopBits bits) {
    if (bits == stopBits_)
        return;
    stopBits_ = bits;
    ApplyLineSettings();
}

void TCustomComPort::SetParity(const TComParity& parity) {
    if (parity == parity_)
        return;
    parity_ = parity;
    ApplyLineSettings();
}

void TCustomComPort::SetParityBits(TParityBits bits) {
    TComParity p = parity_;
    p.Bits = bits;
    SetParity(p);
}

void TCustomComPort::SetFlowControl(const TComFlowControl& flow) {
    if (flow == flowControl_)
        return;
    flowControl_ = flow;
    ApplyLineSettings();
}

void TCustomComPort::SetBuffer(const TComBuffer& buffer) {
    TComBuffer b = buffer;
    // Sizes stay even.
    if (b.InputSize > 0 && b.InputSize % 2)
        --b.InputSize;
    if (b.OutputSize > 0 && b.OutputSize % 2)
        --b.OutputSize;
    if (b == buffer_)
        return;
    buffer_ = b;
    ApplyQueueSizes();
}

void TCustomComPort::SetTimeouts(const TComTimeouts& timeouts) {
    if (timeouts == timeouts_)
        return;
    timeouts_ = timeouts;
    ApplyTimeoutSettings();
}

void TCustomComPort::SetReadTotalMultiplier(qint32 ms) {
    TComTimeouts t = timeouts_;
    t.ReadTotalMultiplier = ms;
    SetTimeouts(t);
}

void TCustomComPort::SetReadTotalConstant(qint32 ms) {
    TComTimeouts t = timeouts_;
    t.ReadTotalConstant = ms;
    SetTimeouts(t);
}

void TCustomComPort::SetDiscardNull(bool discard) {
    if (discard == discardNull_)
        return;
    discardNull_ = discard;
    ApplyLineSettings();
}

void TCustomComPort::SetEventChar(char ch) {
    if (ch == eventChar_)
        return;
    eventChar_ = ch;
    ApplyLineSettings();
}
