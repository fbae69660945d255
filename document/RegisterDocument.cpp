#include "document/RegisterDocument.h"

#include "archive/ArchiveRows.h"
#include "config/Cp1251.h"
#include "resources/MyConsts.h"
#include "results/ResultsFile.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QScopeGuard>

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
    ArchiveRetry_.setSingleShot(true);
    ArchiveRetry_.setInterval(ArchiveRetryMs);
    connect(&ArchiveRetry_, &QTimer::timeout, this, [this] { RetryArchive(); });
    // Undone and pasted names go the way of typed ones.
    Names_.OnChanged = [this] {
        EditStarted();
        NameEdited();
    };
    connect(&Table_, &TResultsTable::modifiedChanged, this, [this] {
        if (OnModifiedChanged)
            OnModifiedChanged();
    });
    // Typed, pasted or restored: every change of a name cell reaches the
    // archive's history of that measurement.
    connect(&Table_, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex& topLeft, const QModelIndex& bottomRight) {
                if (topLeft.column() > 0 || bottomRight.column() < 0)
                    return;
                for (int row = topLeft.row(); row <= bottomRight.row(); ++row)
                    NoteRename(row + 1);
            });
}

TRegisterDocument::~TRegisterDocument() = default;

void TRegisterDocument::SetHeld(bool held) {
    if (held == Held_)
        return;
    Held_ = held;
    if (OnHeldChanged)
        OnHeldChanged();
}

void TRegisterDocument::Failed(const std::exception& e) {
    if (FailureTold_)
        return;
    FailureTold_ = true;
    if (!OnWriteFailed)
        return;
    if (dynamic_cast<const EArchiveError*>(&e))
        OnWriteFailed(QStringLiteral("Архив измерений не записывается:\n%1\n\n"
                                     "Новые измерения не подтверждаются прибору, пока их не "
                                     "удастся записать.")
                          .arg(Message(e)));
    else
        OnWriteFailed(QStringLiteral("Резервная копия несохранённых данных не записывается:\n%1\n\n"
                                     "Новые измерения не подтверждаются прибору, пока данные не "
                                     "удастся записать. Сохраните данные командой «Сохранить как» "
                                     "на другой диск.")
                          .arg(Message(e)));
}

void TRegisterDocument::Released() {
    if (Held_) {
        // Durable now: the record the analyser kept is asked for again and
        // acknowledged as the duplicate of its row.
        ReaskNow_ = true;
        SetHeld(false);
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
            if (MakeDurable(false))
                Released();
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
    if (command == 9)
        ClearPending();
    if (command != 6)
        return Cycle_.PutResult(command, status, data, replyDone, Table_);
    // While the operator decides which table is the current one, or after
    // the close decided, a record stays with the analyser: it is asked for
    // again at the idle rhythm, not back to back.
    if (Asking_ || Closed_)
        return 0;

    // Only a pending record of this analyser is this one's twin, on
    // whatever port it comes back (a USB adapter renamed after a crash);
    // one whose row was given up becomes a row again.
    const bool sameAnalyser = !Pending_.Record.isEmpty() && Pending_.Device == Device_;
    const QByteArray twin =
        sameAnalyser && !Pending_.Owner.isEmpty() ? Pending_.Record : QByteArray();
    Cycle_.SetPendingAck(twin);
    const int rows = Table_.RowCount();
    const quint8 next = Cycle_.PutResult(command, status, data, replyDone, Table_);
    if (next != 9)
        return next;
    if (Table_.RowCount() != rows) {
        TArchiveMeasurement entry =
            TArchive::FromRecord(Cycle_.PendingAck(), Cycle_.LastRecordTime(), Device_, Port_);
        // The measurement's key is given here, once: offered again before
        // the analyser confirmed it, the record is this entry, never a
        // second one, even when its first row was given up.
        if (sameAnalyser && Pending_.Record == Cycle_.PendingAck() && !Pending_.Uid.isEmpty())
            entry.Uid = Pending_.Uid;
        Pending_ = {Cycle_.PendingAck(), Port_, Device_, Absolute(FileName_), false, {}, entry.Uid};
        entry.ResultsFile = Pending_.Owner;
        entry.SampleName = Cp1251::decode(Table_.CellView(1, Table_.RowCount() - 2));
        // The row knows its entry: a name typed later finds it by the key.
        Table_.SetRowKey(Table_.RowCount() - 2, entry.Uid);
        Unarchived_ = std::move(entry);
        EditTimer_.stop(); // the append writes the names typed meanwhile too
        if (!MakeDurable(true)) {
            HeldTried_ = Cycle_.Now();
            SetHeld(true);
            return 0;
        }
        return 9;
    }
    // The twin of a held record (or of one the archive lacks): acknowledged
    // only once its row is on disk.
    if ((Held_ || Unarchived_) && !twin.isEmpty() && DecodeRecordBytes(data) == twin) {
        HeldTried_ = Cycle_.Now();
        if (!(Held_ ? MakeDurable(false) : WriteToArchive())) {
            SetHeld(true);
            return 0;
        }
        SetHeld(false);
    }
    return 9;
}

void TRegisterDocument::ClearPending() {
    Pending_ = {};
    Unarchived_.reset();
    WriteAck();
}

void TRegisterDocument::GiveUpPendingRow() {
    // Offered again, it becomes a row again, under the same key.
    Pending_.Owner.clear();
    Pending_.Saved = false;
    Pending_.AlsoIn.clear();
    WriteAck();
}

TRecoveryFile TRegisterDocument::CopyOf(const QString& fileName) const {
    TRecoveryFile copy(Recovery_.Folder(), Recovery_.LockFolder());
    copy.SetResultsFile(fileName);
    return copy;
}

bool TRegisterDocument::WriteAck() {
    try {
        Recovery_.WritePendingAck(Pending_);
    } catch (const std::exception& e) {
        Failed(e);
        return false;
    }
    return true;
}

bool TRegisterDocument::MakeDurable(bool append) {
    // The record first, then its row: a record found without its row after
    // a crash gives its row up (AdoptAck), so nothing is lost or doubled.
    // A table without unsaved changes is its results file: no copy is due
    // (a copy of it would be offered back later as unsaved data).
    const bool inResultsFile = !append && !Table_.Modified();
    HeldForArchive_ = false;
    if (!WriteAck() || !(inResultsFile || WriteToCopy(append)))
        return false;
    HeldForArchive_ = true;
    return WriteToArchive();
}

bool TRegisterDocument::WriteToArchive() {
    if (!Unarchived_ && RenamesLeft_.empty())
        return true;
    if (!OpenArchive())
        return ArchiveTooNew_;
    try {
        if (Unarchived_)
            Archive_->Add(*Unarchived_);
        Unarchived_.reset();
        while (!RenamesLeft_.empty()) {
            const TRename& r = RenamesLeft_.front();
            Archive_->Rename(r.Uid, r.Name, TArchive::ThisUser(), r.When);
            RenamesLeft_.erase(RenamesLeft_.begin());
        }
    } catch (const EArchiveBusy& e) {
        ArchiveBusy(e);
        return !Unarchived_;
    } catch (const std::exception& e) {
        TellSetAside();
        Failed(e);
        return !Unarchived_;
    }
    ArchiveBusyFor_.invalidate();
    TellSetAside();
    if (OnArchived)
        OnArchived();
    return true;
}

void TRegisterDocument::ArchiveBusy(const std::exception& e) {
    // Another connection writes (an import batch, another program): no box
    // for a moment's wait, only for one that lasts.
    if (!ArchiveBusyFor_.isValid())
        ArchiveBusyFor_.start();
    else if (ArchiveBusyFor_.elapsed() > ArchiveBusyTellMs)
        Failed(e);
    ArchiveRetry_.start();
}

void TRegisterDocument::RetryArchive() {
    // A record held for a failed copy or ack slot waits for the turns' retry.
    if (Held_ && !HeldForArchive_)
        return;
    if (WriteToArchive())
        Released();
}

void TRegisterDocument::NoteRename(int row) {
    if (row < 1 || row >= Table_.RowCount() - 1 || !Archive_)
        return;
    std::optional<QString> uid;
    if (Unarchived_ && Unarchived_->Uid == Table_.RowKey(row)) {
        uid = Unarchived_->Uid; // the archive takes the entry and then its name
    } else {
        if (!Reader_)
            Reader_ = std::make_unique<ControlChart::TDateTimeReader>(Cycle_.Locale);
        try {
            uid = Archive_->FindRow(Table_.RowAt(row), *Reader_);
        } catch (const std::exception& e) {
            qWarning("%s", e.what());
            return;
        }
    }
    if (!uid)
        return;
    Table_.SetRowKey(row, *uid);
    // Kept until the archive takes it; the name itself is in the table and its copy.
    RenamesLeft_.push_back(
        {*uid, Cp1251::decode(Table_.CellView(1, row)), QDateTime::currentDateTime()});
    WriteToArchive();
}

void TRegisterDocument::AdoptAck() {
    const TRecoveryFile::TPendingAck ack = Recovery_.ReadPendingAck();
    if (ack.Record.isEmpty())
        return;
    Pending_ = ack;
    // The record is written before its row: without the row (a crash in
    // between, or the row given up) it is no twin, and offered again it
    // becomes the row.
    if (ack.Owner.isEmpty() || !HoldsRow(ack)) {
        GiveUpPendingRow();
        return;
    }
    // The run may have died between the copy and the archive.
    Unarchived_ = ArchiveEntryOf(ack);
    WriteToArchive();
}

int TRegisterDocument::RowOf(const TResultsTable& table, const QByteArray& recordBytes) const {
    TMeasurementRecord record;
    if (!DecodeRecord(ReplyStatusComplete, EncodeCarriers(recordBytes), record))
        return -1;
    const auto values = TRecordCycle::Values(record);
    // Date and time are those of its receipt, unknown here.
    for (int r = 1; r < table.RowCount(); ++r)
        if (TRecordCycle::Shows(table.RowAt(r), record.Calibration, values))
            return r;
    return -1;
}

bool TRegisterDocument::HoldsRow(const TRecoveryFile::TPendingAck& ack) const {
    return ArchiveEntryOf(ack).has_value();
}

std::optional<TArchiveMeasurement> TRegisterDocument::ArchiveEntryOf(
    const TRecoveryFile::TPendingAck& ack) const {
    // What a start offers for the owner: its copy, else its results file.
    TResultsTable loaded;
    const TResultsTable* content = &loaded;
    try {
        const TRecoveryFile copy = CopyOf(ack.Owner);
        if (copy.Exists())
            copy.Load(loaded);
        else if (ack.Owner == Absolute(FileName_))
            content = &Table_;
        else
            LoadResultsFile(loaded, ack.Owner);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    const int row = RowOf(*content, ack.Record);
    if (row < 0)
        return std::nullopt;
    ControlChart::TDateTimeReader reader(Cycle_.Locale);
    const std::optional<qint64> when =
        reader.When(content->CellView(2, row), content->CellView(3, row));
    TArchiveMeasurement entry = TArchive::FromRecord(
        ack.Record, when ? QDateTime::fromMSecsSinceEpoch(*when) : Cycle_.Now(), ack.Device, ack.Port);
    if (!ack.Uid.isEmpty()) {
        entry.Uid = ack.Uid;
    } else if (Archive_) {
        // A slot an older program wrote has no key: the entry it may have
        // stored is found by its row.
        try {
            if (const std::optional<QString> uid = Archive_->FindRow(content->RowAt(row), reader))
                entry.Uid = *uid;
        } catch (const std::exception& e) {
            qWarning("%s", e.what());
        }
    }
    entry.ResultsFile = ack.Owner;
    entry.SampleName = Cp1251::decode(content->CellView(1, row));
    return entry;
}

void TRegisterDocument::DropAckOfCurrent() {
    if (!Pending_.Record.isEmpty() && Pending_.Owner == Absolute(FileName_) && !Pending_.Saved)
        GiveUpPendingRow();
}

bool TRegisterDocument::WriteToCopy(bool append) {
    try {
        if (append)
            Recovery_.AppendMeasurement(Table_);
        else
            Recovery_.Write(Table_);
    } catch (const std::exception& e) {
        Failed(e);
        return false;
    }
    FailureTold_ = false;
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
    if (Table_.Modified() && (Held_ ? MakeDurable(false) : WriteToCopy(false)))
        Released();
}

void TRegisterDocument::SwitchTo(const QString& fileName, TTextEncoding encoding) {
    EditTimer_.stop();

    FileName_ = fileName;
    Encoding_ = encoding;
    Recovery_.SetResultsFile(fileName);
    Recovery_.Hold();
    if (OnFileNameChanged)
        OnFileNameChanged();
}

void TRegisterDocument::RefuseHeld(const QString& fileName) const {
    if (Absolute(fileName) != Absolute(FileName_) && Recovery_.HeldByAnyone(fileName))
        throw ERegisterError(
            QStringLiteral("Файл «%1» открыт в другой копии программы.").arg(fileName).toStdString());
}

QString TRegisterDocument::NextNewName(const QString& beside) const {
    // The folder as stored, up to its last separator: C:\data\ from the
    // Windows build, "/" at the root.
    const qsizetype cut = std::max(beside.lastIndexOf(u'/'), beside.lastIndexOf(u'\\'));
    const QString folder = beside.left(cut + 1);
    for (int n = 1;; ++n) {
        const QString candidate =
            folder + MyConsts::sNew + QString::number(n) + QStringLiteral(".txt");
        // Another running copy's new table is not on disk yet but is taken.
        if (!QFileInfo::exists(candidate) && !Recovery_.HeldByAnyone(candidate))
            return candidate;
    }
}

void TRegisterDocument::Start(const QString& fileName, TTextEncoding chosen) {
    // Made while the disk has room, so a full disk later still takes the record.
    try {
        Recovery_.PrepareAckSlot();
    } catch (const std::exception& e) {
        Failed(e);
    }
    OpenArchive();
    if (Recovery_.HeldByAnyone(fileName)) {
        SwitchTo(NextNewName(fileName));
        AdoptAck();
        throw ERegisterError(QStringLiteral("Файл «%1» открыт в другой копии программы; "
                                            "начата новая таблица «%2».")
                                 .arg(fileName, FileName_)
                                 .toStdString());
    }
    // Code page 1251 names can be valid UTF-8 too ("Т°20"): the bytes alone
    // decide nothing.
    const bool utf8 =
        StartsWithUtf8Bom(fileName) ||
        (chosen == TTextEncoding::Utf8 && DetectFileEncoding(fileName) == TTextEncoding::Utf8);
    SwitchTo(fileName, utf8 ? TTextEncoding::Utf8 : TTextEncoding::Cp1251);
    // The last run may have died with a record pending, for this file or another.
    const auto adopt = qScopeGuard([this] { AdoptAck(); });
    Load(fileName, Encoding_);
}

void TRegisterDocument::Load(const QString& fileName, TTextEncoding encoding) {
    LoadResultsFile(Table_, fileName, encoding);
    if (encoding == TTextEncoding::Utf8)
        Table_.SetModified(true);
}

bool TRegisterDocument::OpenArchive() {
    if (Archive_)
        return true;
    try {
        Archive_ = std::make_unique<TArchive>(Recovery_.Folder(), true, ArchiveBusyTimeoutMs);
    } catch (const EArchiveBusy& e) {
        ArchiveBusy(e); // a new or older archive being made by another connection
        return false;
    } catch (const EArchiveTooNew& e) {
        ArchiveTooNew_ = true;
        if (!ArchiveFailureTold_ && OnArchiveProblem)
            OnArchiveProblem(Message(e) + QStringLiteral(" Измерения записываются без архива."));
        ArchiveFailureTold_ = true;
        return false;
    } catch (const std::exception& e) {
        if (!ArchiveFailureTold_ && OnArchiveProblem)
            OnArchiveProblem(Message(e));
        ArchiveFailureTold_ = true;
        return false;
    }
    ArchiveFailureTold_ = false;
    TellSetAside();
    return true;
}

void TRegisterDocument::TellSetAside() {
    if (!Archive_ || Archive_->SetAside().isEmpty() || Archive_->SetAside() == SetAsideTold_)
        return;
    SetAsideTold_ = Archive_->SetAside();
    if (OnArchiveProblem)
        OnArchiveProblem(QStringLiteral("Файл архива был повреждён и перенесён в «%1». "
                                        "Начат новый архив; измерения продолжаются.")
                             .arg(QDir::toNativeSeparators(SetAsideTold_)));
}

void TRegisterDocument::New() {
    Names_.Clear();
    Table_.ClearTable();
    SwitchTo(NextNewName(FileName_));
}

void TRegisterDocument::Open(const QString& fileName, TTextEncoding encoding) {
    RefuseHeld(fileName);
    SwitchTo(fileName, encoding);
    Names_.Clear();
    Load(fileName, encoding);
}

void TRegisterDocument::Save() {
    EditTimer_.stop();
    SaveResultsFile(Table_, FileName_);
    try {
        Recovery_.Remove();
    } catch (const std::exception& e) {
        Failed(e);
    }
    MarkPendingSaved();
    Released();
    if (Encoding_ != TTextEncoding::Cp1251)
        SwitchTo(FileName_); // written in code page 1251: the settings forget UTF-8
}

void TRegisterDocument::TrackSavedRow(const QString& file, bool hasRow) {
    // The saved row of the pending record may be in several files: replacing
    // one of them moves the record to another, and only the last one's
    // replacement makes a re-offered record a row again.
    Pending_.AlsoIn.removeAll(file);
    if (hasRow) {
        if (file != Pending_.Owner)
            Pending_.AlsoIn << file;
    } else if (file == Pending_.Owner) {
        if (Pending_.AlsoIn.isEmpty())
            return GiveUpPendingRow();
        Pending_.Owner = Pending_.AlsoIn.takeFirst();
    }
    WriteAck();
}

void TRegisterDocument::MarkPendingSaved() {
    // Its row is in the results file now: discarding later edits leaves it there.
    if (Pending_.Record.isEmpty() || Pending_.Owner != Absolute(FileName_) || Pending_.Saved)
        return;
    Pending_.Saved = true;
    WriteAck();
}

void TRegisterDocument::SaveAs(const QString& fileName) {
    RefuseHeld(fileName);
    EditTimer_.stop();
    // Replacing the file whose row holds the pending record: once the row is
    // gone, a re-offered record must become a row again.
    const bool hasRow = !Pending_.Record.isEmpty() && RowOf(Table_, Pending_.Record) >= 0;
    SaveResultsFile(Table_, fileName);
    if (!Pending_.Record.isEmpty() && Pending_.Saved)
        TrackSavedRow(Absolute(fileName), hasRow);
    // The new file is durable: the old name's copy is done with, and the
    // pending acknowledgement moves with the rows unless the old file keeps
    // its row.
    const bool ackMoves = !Pending_.Record.isEmpty() && Pending_.Owner == Absolute(FileName_) &&
                          !Pending_.Saved;
    try {
        Recovery_.Remove();
    } catch (const std::exception& e) {
        Failed(e);
    }
    if (ackMoves)
        Pending_.Owner = Absolute(fileName);
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
    } else if (fileName != FileName_ || Encoding_ != TTextEncoding::Cp1251) {
        // The same file: it takes the name as chosen (a full path for the
        // start's relative "Новый.txt") and is code page 1251 now; its copy,
        // lock and pending acknowledgement stay its own.
        SwitchTo(fileName);
    }
    MarkPendingSaved();
    Released();
}

void TRegisterDocument::Discard() {
    EditTimer_.stop();
    // A held row goes with the table; the analyser still has its record.
    SetHeld(false);
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

QString TRegisterDocument::TCopyInfo::Question() const {
    return QStringLiteral("Найдены несохранённые данные файла «%1» (строк: %2, записаны %3).\n\n"
                          "Восстановить несохранённые данные?")
        .arg(QFileInfo(ResultsFile).fileName())
        .arg(Rows)
        .arg(QLocale::system().toString(Time, QLocale::ShortFormat));
}

std::optional<TRegisterDocument::TCopyInfo> TRegisterDocument::CopyToOffer(
    const QString& other) const {
    if (other.isEmpty() || Absolute(other) == Absolute(FileName_)) {
        if (!Recovery_.Exists())
            return std::nullopt;
        const TRecoveryFile::TInfo info = Recovery_.Inspect();
        return TCopyInfo{FileName_, info.Rows, info.Time};
    }
    const TRecoveryFile copy = CopyOf(other);
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
    }
    Names_.Clear();
    Recovery_.Load(Table_);
}

void TRegisterDocument::DeclineCopy(const QString& other) {
    if (other.isEmpty() || Absolute(other) == Absolute(FileName_)) {
        EditTimer_.stop();
        Recovery_.SetAside();
        DropAckOfCurrent();
        return;
    }
    TRecoveryFile copy = CopyOf(other);
    if (!copy.Hold() || !copy.Exists())
        return; // a running copy took it meanwhile
    copy.SetAside();
    if (!Pending_.Record.isEmpty() && Pending_.Owner == Absolute(other) && !Pending_.Saved)
        GiveUpPendingRow();
}

void TRegisterDocument::NewFromArchive(const std::vector<TArchiveMeasurement>& rows) {
    New();
    TArchiveRows::FillTable(Table_, rows, Cycle_, std::nullopt);
}
