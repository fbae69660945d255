#include "register/RegisterDocument.h"

#include "register/ResultsFile.h"
#include "resources/MyConsts.h"

#include <QFileInfo>

#include <algorithm>

namespace {

QString Absolute(const QString& fileName) {
    return QFileInfo(fileName).absoluteFilePath();
}

QString Message(const std::exception& e) {
    return QString::fromUtf8(e.what());
}

} // namespace

TRegisterDocument::TRegisterDocument(const QString& dataFolder, const QString& lockFolder,
                                     QObject* parent)
    : QObject(parent), Recovery_(dataFolder, lockFolder),
      FileName_(MyConsts::sNew + QStringLiteral(".txt")) {
    EditTimer_.setSingleShot(true);
    EditTimer_.setInterval(RecoveryDelayMs);
    connect(&EditTimer_, &QTimer::timeout, this, [this] { FlushEdits(); });
}

TRegisterDocument::~TRegisterDocument() = default;

void TRegisterDocument::Changed() {
    if (OnChanged)
        OnChanged();
}

void TRegisterDocument::Failed(const std::exception& e) {
    if (FailureTold_)
        return;
    FailureTold_ = true;
    if (OnWriteFailed)
        OnWriteFailed(Message(e));
}

void TRegisterDocument::Succeeded() {
    FailureTold_ = false;
    if (Held_) {
        // Durable now: the record the analyser kept is asked for again and
        // acknowledged as the duplicate of its row.
        Held_ = false;
        ReaskNow_ = true;
        Changed();
    }
}

// ---- the analyser's side

void TRegisterDocument::SetLink(const QString& port, quint16 device) {
    Port_ = port;
    Device_ = device;
}

quint8 TRegisterDocument::CommandForTurn(quint8 command) {
    if (Asking_ || Closed_)
        return command == 6 ? 0 : command;
    if (Held_) {
        const QDateTime now = Cycle_.Now();
        if (!HeldTried_.isValid() || HeldTried_.msecsTo(now) >= HeldRetryMs ||
            now < HeldTried_) {
            HeldTried_ = now;
            WriteCopy();
        }
        if (Held_)
            return command == 6 ? 0 : command;
    }
    if (ReaskNow_) {
        ReaskNow_ = false;
        return 6;
    }
    return Cycle_.CommandForTurn(command);
}

quint8 TRegisterDocument::PutRecordReply(quint8 command, quint8 status, QByteArrayView data,
                                         bool replyDone) {
    if (command == 9) {
        SetPending({}, {}, 0, {});
        return Cycle_.PutResult(command, status, data, replyDone, Table_);
    }
    if (command != 6)
        return Cycle_.PutResult(command, status, data, replyDone, Table_);
    // While the operator decides which table is the current one, or after
    // the close decided, a record stays with the analyser: it is asked for
    // again at the idle rhythm, not back to back.
    if (Asking_ || Closed_)
        return 0;

    // A pending record of another port or device is not this one's twin.
    const QByteArray pending = Cycle_.PendingAck();
    const bool sameLink = AckPort_ == Port_ && AckDevice_ == Device_;
    if (!sameLink)
        Cycle_.SetPendingAck({});
    const int rows = Table_.RowCount();
    const quint8 next = Cycle_.PutResult(command, status, data, replyDone, Table_);
    if (next != 9) {
        Cycle_.SetPendingAck(pending);
        return next;
    }
    if (Table_.RowCount() != rows) {
        const QByteArray record = Cycle_.PendingAck();
        Cycle_.SetPendingAck(pending);
        SetPending(record, Port_, Device_, Absolute(FileName_));
        EditTimer_.stop(); // the append writes the names typed meanwhile too
        if (!AppendToCopy()) {
            Held_ = true;
            HeldTried_ = Cycle_.Now();
            Changed();
            return 0;
        }
        // After the row: a crash in between can double a row, never lose one.
        WriteAck();
        return 9;
    }
    if (!sameLink && Cycle_.PendingAck().isEmpty())
        Cycle_.SetPendingAck(pending);
    // The twin of a held record: acknowledged only once its row is on disk.
    if (Held_ && sameLink && !pending.isEmpty() && DecodeRecordBytes(data) == pending) {
        HeldTried_ = Cycle_.Now();
        if (!WriteCopy())
            return 0;
        WriteAck();
    }
    return 9;
}

void TRegisterDocument::SetPending(const QByteArray& record, const QString& port, quint16 device,
                                   const QString& owner) {
    const QString oldOwner = AckOwner_;
    Cycle_.SetPendingAck(record);
    AckPort_ = port;
    AckDevice_ = device;
    AckOwner_ = owner;
    if (record.isEmpty() && !oldOwner.isEmpty())
        RemoveAckOf(oldOwner);
}

void TRegisterDocument::RemoveAckOf(const QString& owner) {
    try {
        if (owner == Absolute(FileName_)) {
            Recovery_.WritePendingAck({});
        } else {
            TRecoveryFile other(Recovery_.Folder(), Recovery_.LockFolder());
            other.SetResultsFile(owner);
            other.WritePendingAck({});
        }
    } catch (const std::exception& e) {
        Failed(e);
    }
}

void TRegisterDocument::WriteAck() {
    if (AckOwner_ != Absolute(FileName_))
        return;
    try {
        Recovery_.WritePendingAck({Cycle_.PendingAck(), AckPort_, AckDevice_, AckOwner_});
    } catch (const std::exception& e) {
        Failed(e);
    }
}

void TRegisterDocument::AdoptAck(bool anyFile) {
    if (!Cycle_.PendingAck().isEmpty())
        return;
    TRecoveryFile::TPendingAck ack = Recovery_.ReadPendingAck();
    if (ack.Record.isEmpty() && anyFile)
        ack = Recovery_.NewestUnheldPendingAck();
    if (!ack.Record.isEmpty())
        SetPending(ack.Record, ack.Port, ack.Device, ack.Owner);
}

void TRegisterDocument::DropAckOfCurrent() {
    if (AckOwner_ == Absolute(FileName_))
        SetPending({}, {}, 0, {});
    else
        RemoveAckOf(Absolute(FileName_));
}

bool TRegisterDocument::AppendToCopy() {
    try {
        Recovery_.AppendMeasurement(Table_);
    } catch (const std::exception& e) {
        Failed(e);
        return false;
    }
    Succeeded();
    return true;
}

bool TRegisterDocument::WriteCopy() {
    try {
        Recovery_.Write(Table_);
    } catch (const std::exception& e) {
        Failed(e);
        return false;
    }
    Succeeded();
    return true;
}

// ---- the operator's side

void TRegisterDocument::EditStarted() {
    Table_.SetModified(true);
}

void TRegisterDocument::NameEdited() {
    // A burst of edits gives one write, at most RecoveryDelayMs after the first.
    if (!EditTimer_.isActive())
        EditTimer_.start();
}

void TRegisterDocument::FlushEdits() {
    EditTimer_.stop();
    if (Table_.Modified())
        WriteCopy();
}

void TRegisterDocument::SwitchTo(const QString& fileName) {
    EditTimer_.stop();
    FileName_ = fileName;
    Recovery_.SetResultsFile(fileName);
    Recovery_.Hold();
    Changed();
}

void TRegisterDocument::RefuseHeld(const QString& fileName) const {
    if (Absolute(fileName) != Absolute(FileName_) && Recovery_.HeldByAnyone(fileName))
        throw ERegisterError(
            QStringLiteral("Файл «%1» открыт в другой копии программы.").arg(fileName).toStdString());
}

QString TRegisterDocument::NextNewName() const {
    // The folder as stored, up to its last separator: C:\data\ from the
    // Windows build, "/" at the root.
    const qsizetype cut = std::max(FileName_.lastIndexOf(u'/'), FileName_.lastIndexOf(u'\\'));
    const QString folder = FileName_.left(cut + 1);
    for (int n = 1;; ++n) {
        const QString candidate =
            folder + MyConsts::sNew + QString::number(n) + QStringLiteral(".txt");
        // Another running copy's new table is not on disk yet but is taken.
        if (!QFileInfo::exists(candidate) && !Recovery_.HeldByAnyone(candidate))
            return candidate;
    }
}

void TRegisterDocument::Start(const QString& fileName) {
    if (Recovery_.HeldByAnyone(fileName)) {
        SwitchTo(fileName);
        SwitchTo(NextNewName());
        throw ERegisterError(QStringLiteral("Файл «%1» открыт в другой копии программы; "
                                            "начата новая таблица «%2».")
                                 .arg(fileName, FileName_)
                                 .toStdString());
    }
    SwitchTo(fileName);
    // The last run may have died while another file's record was pending.
    AdoptAck(true);
    LoadResultsFile(Table_, fileName);
}

void TRegisterDocument::New() {
    Table_.ClearTable();
    SwitchTo(NextNewName());
    AdoptAck();
}

void TRegisterDocument::Open(const QString& fileName) {
    RefuseHeld(fileName);
    SwitchTo(fileName);
    AdoptAck();
    LoadResultsFile(Table_, fileName);
}

void TRegisterDocument::Save() {
    EditTimer_.stop();
    SaveResultsFile(Table_, FileName_);
    try {
        Recovery_.Remove();
    } catch (const std::exception& e) {
        Failed(e);
    }
    Succeeded();
}

void TRegisterDocument::SaveAs(const QString& fileName) {
    RefuseHeld(fileName);
    EditTimer_.stop();
    // Replacing the file whose row holds the pending record: once the row is
    // gone, a re-offered record must become a row again.
    const bool ackReplaced = !Cycle_.PendingAck().isEmpty() &&
                             AckOwner_ == Absolute(fileName) && AckOwner_ != Absolute(FileName_);
    SaveResultsFile(Table_, fileName);
    if (ackReplaced)
        SetPending({}, {}, 0, {});
    // The new file is durable: the old name's copy is done with, and the
    // pending acknowledgement moves with the rows.
    const bool ackMoves = !Cycle_.PendingAck().isEmpty() && AckOwner_ == Absolute(FileName_);
    try {
        Recovery_.Remove();
        if (ackMoves)
            Recovery_.WritePendingAck({});
    } catch (const std::exception& e) {
        Failed(e);
    }
    if (Absolute(fileName) != Absolute(FileName_)) {
        SwitchTo(fileName);
        // A copy under the new name from an earlier run is older than this
        // file; kept aside, not offered.
        try {
            if (Recovery_.Exists())
                Recovery_.SetAside();
        } catch (const std::exception& e) {
            Failed(e);
        }
    }
    if (ackMoves) {
        AckOwner_ = Absolute(FileName_);
        WriteAck();
    }
    Succeeded();
}

void TRegisterDocument::Discard() {
    EditTimer_.stop();
    try {
        Recovery_.Remove();
    } catch (const std::exception& e) {
        Failed(e);
    }
    DropAckOfCurrent();
}

void TRegisterDocument::Close() {
    EditTimer_.stop();
    Closed_ = true;
}

std::optional<TRegisterDocument::TCopyInfo> TRegisterDocument::CopyToOffer(
    const QString& other) const {
    if (other.isEmpty() || Absolute(other) == Absolute(FileName_)) {
        if (!Recovery_.Exists())
            return std::nullopt;
        const TRecoveryFile::TInfo info = Recovery_.Inspect();
        return TCopyInfo{FileName_, info.Rows, info.Time};
    }
    TRecoveryFile copy(Recovery_.Folder(), Recovery_.LockFolder());
    copy.SetResultsFile(other);
    if (!copy.Exists() || copy.HeldByAnyone(other))
        return std::nullopt;
    const TRecoveryFile::TInfo info = copy.Inspect();
    return TCopyInfo{other, info.Rows, info.Time};
}

QStringList TRegisterDocument::OtherCopies() const {
    return Recovery_.OtherResultsFiles();
}

void TRegisterDocument::RestoreCopy(const QString& other) {
    if (!other.isEmpty() && Absolute(other) != Absolute(FileName_)) {
        RefuseHeld(other);
        SwitchTo(other);
        AdoptAck();
    }
    Recovery_.Load(Table_);
}

void TRegisterDocument::DeclineCopy(const QString& other) {
    if (other.isEmpty() || Absolute(other) == Absolute(FileName_)) {
        EditTimer_.stop();
        Recovery_.SetAside();
        DropAckOfCurrent();
        return;
    }
    TRecoveryFile copy(Recovery_.Folder(), Recovery_.LockFolder());
    copy.SetResultsFile(other);
    if (!copy.Hold() || !copy.Exists())
        return; // a running copy took it meanwhile
    copy.SetAside();
    if (AckOwner_ == Absolute(other))
        SetPending({}, {}, 0, {});
    copy.WritePendingAck({});
}
