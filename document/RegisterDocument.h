#pragma once

#include "archive/Archive.h"
#include "document/NameEdits.h"
#include "document/RecoveryFile.h"
#include "results/RecordCycle.h"
#include "results/ResultsTable.h"
#include "results/TextEncoding.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

// A command on the register's data that cannot be done; the message is for
// the operator.
class ERegisterError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The register's data and the only code that changes it: the results table,
// the results file name, Modified, the recovery copy, the lock on the results
// file and the pending acknowledgement. The window asks the operator and
// calls one operation with the answer; it keeps no copy of this state.
//
// Invariants, checked by the model-based test after every step:
// - every measurement acknowledged with command 9 is in exactly one place the
//   operator will find it: this table (with its recovery copy on disk) or a
//   results file it was saved to;
// - a recovery copy belongs to exactly one results file name and one running
//   copy of the program (the holder of that name's lock), and is offered only
//   when no running copy holds it;
// - the pending acknowledgement belongs to the copy (and the port and device
//   number) whose row holds it: declining or discarding that copy discards it
//   too, so a re-offered record becomes a row again;
// - command 9 goes out only after the measurement is on disk. While nothing
//   can be written the row is shown, the record is held (not acknowledged;
//   the analyser keeps it), the operator is told once, and it is
//   acknowledged as soon as a write succeeds.
class TRegisterDocument : public QObject {
    Q_OBJECT
public:
    struct TCopyInfo {
        QString ResultsFile;
        int Rows = 0;
        QDateTime Time;

        // Whether to restore it, as the operator is asked.
        QString Question() const;
    };

    // dataFolder: where the recovery copies live (empty: the user's default);
    // lockFolder: where running copies lock their results files, shared by
    // every profile (empty: beside the default folder).
    explicit TRegisterDocument(const QString& dataFolder = QString(),
                               const QString& lockFolder = QString(), QObject* parent = nullptr);
    ~TRegisterDocument() override;

    static constexpr int RecoveryDelayMs = 2000; // edits reach the copy within this
    static constexpr qint64 HeldRetryMs = 10000; // a held record's copy is retried this often
    // The window waits no longer than this for another connection's write
    // to the archive (an import); past it the measurement is held instead.
    static constexpr int ArchiveBusyTimeoutMs = 50;
    // An archive write that found the archive busy is tried again this often.
    static constexpr int ArchiveRetryMs = 1000;
    // The operator is told once the archive stays busy this long.
    static constexpr qint64 ArchiveBusyTellMs = 60000;

    TResultsTable& Table() { return Table_; }
    // Ctrl+Z and pasted names; emptied when another table is shown.
    TNameEdits& Names() { return Names_; }
    const TResultsTable& Table() const { return Table_; }
    TRecordCycle& Cycle() { return Cycle_; }
    const TRecordCycle& Cycle() const { return Cycle_; }
    const QString& FileName() const { return FileName_; }
    // What the current file is read with; code page 1251 once saved, as the
    // register writes nothing else. Kept in the settings with the name.
    TTextEncoding FileEncoding() const { return Encoding_; }
    const TRecoveryFile& Recovery() const { return Recovery_; }
    TRecoveryFile& Recovery() { return Recovery_; }
    bool Modified() const { return Table_.Modified(); }
    // A measurement is shown but could not be written anywhere durable.
    bool Held() const { return Held_; }
    // Held only because the archive was busy: its row and record are on disk.
    bool HeldForArchive() const { return Held_ && HeldForArchive_; }
    const QByteArray& PendingAck() const { return Pending_.Record; }

    // Told once per run of failed writes, with the text for the operator (a
    // queued box is the window's business).
    std::function<void(const QString& message)> OnWriteFailed;
    // The results file or its encoding changed: title and settings.
    std::function<void()> OnFileNameChanged;
    // Modified() changed: the title.
    std::function<void()> OnModifiedChanged;
    // Held() changed: the status bar.
    std::function<void()> OnHeldChanged;
    // The archive was set aside as damaged, or cannot be opened: the
    // operator is told; measuring goes on.
    std::function<void(const QString& message)> OnArchiveProblem;

    // A measurement or name change reached the archive: the lab server's
    // uploader may look.
    std::function<void()> OnArchived;

    // The profile's archive, opened by Start(); nullptr when it could not be
    // opened (the next write tries again).
    TArchive* Archive() { return Archive_.get(); }

    // --- the analyser's side (main thread, inside the poller's hand-overs)
    // The port and device number the next turns talk to.
    void SetLink(const QString& port, quint16 device);
    quint8 CommandForTurn(quint8 command);
    // A reply to command arrived; returns the next command. A new
    // measurement is on disk before this returns 9.
    quint8 PutRecordReply(quint8 command, quint8 status, QByteArrayView data, bool replyDone);
    // While a prompt about the table is open, or the window is closing,
    // records stay with the analyser.
    void SetAsking(bool asking) { Asking_ = asking; }
    bool Asking() const { return Asking_; }

    // --- the operator's side
    // A cell editor was opened (Modified, as the register always did).
    void EditStarted();
    // A name was committed; the copy follows within RecoveryDelayMs.
    void NameEdited();
    // Writes a pending edit to the copy now.
    void FlushEdits();

    // Start-up: the name from the settings; loads it (a missing file is an
    // empty table). Read as code page 1251, whatever its bytes look like,
    // unless it starts with UTF-8's byte order mark or the operator chose
    // UTF-8 for it at Open (chosen, kept in the settings) and it still is
    // UTF-8. Throws EInOutError after taking the name, as a failed load
    // always did.
    void Start(const QString& fileName, TTextEncoding chosen = TTextEncoding::Cp1251);
    // New: the next free "Новый<N>.txt" beside the current file.
    void New();
    // Open: throws ERegisterError when another running copy holds name. Read
    // as UTF-8 the table is unsaved: the file is code page 1251 once saved.
    void Open(const QString& fileName, TTextEncoding encoding = TTextEncoding::Cp1251);
    void Save();
    // The old name's copy goes only after the new file is durable; a name
    // another running copy holds is refused. On failure nothing changes.
    // The file name is fileName afterwards, also for the same file named
    // otherwise.
    void SaveAs(const QString& fileName);
    // The operator declined to save (No): the unsaved rows and their copy
    // (and the acknowledgement pending for them) are gone.
    void Discard();
    // The window is closing (after Save or Discard as answered): no record
    // is taken any more, so none is acknowledged after the save.
    void Close();
    bool Closed() const { return Closed_; }
    // The close was abandoned.
    void Reopen() { Closed_ = false; }

    // The copy of the current file (or of other), when there is one to offer.
    std::optional<TCopyInfo> CopyToOffer(const QString& other = QString()) const;
    // Copies of other results files that no running copy holds, newest first.
    QStringList OtherCopies() const;
    // Yes: the copy (of the current file, or of other) becomes the table.
    void RestoreCopy(const QString& other = QString());
    // No: the copy is kept aside under a dated name; its pending record goes.
    void DeclineCopy(const QString& other = QString());

    // New, then rows as the register writes measurements (two decimals),
    // unsaved.
    void NewFromArchive(const std::vector<TArchiveMeasurement>& rows);

private:
    void SwitchTo(const QString& fileName, TTextEncoding encoding = TTextEncoding::Cp1251);
    void Load(const QString& fileName, TTextEncoding encoding);
    void RefuseHeld(const QString& fileName) const;
    // The next free "Новый<N>.txt" in the folder of beside.
    QString NextNewName(const QString& beside) const;
    // The recovery copy of another results file, for offering or setting aside.
    TRecoveryFile CopyOf(const QString& fileName) const;
    // Appends the new measurement or writes the whole table; false when
    // nothing reached the disk.
    bool WriteToCopy(bool append);
    void SetHeld(bool held);
    // The analyser confirmed the record: offered again, equal bytes are a
    // new measurement.
    void ClearPending();
    // No table holds the pending record's row any more (declined,
    // discarded, replaced): offered again it becomes a row again, still the
    // same measurement.
    void GiveUpPendingRow();
    // False when nothing reached the disk.
    bool WriteAck();
    // The row and its record on disk: only then may command 9 go out.
    bool MakeDurable(bool append);
    // At start: takes over the pending acknowledgement the last run left,
    // where its row is.
    void AdoptAck();
    // Whether the owner's table (its copy, else its file) has ack's row.
    bool HoldsRow(const TRecoveryFile::TPendingAck& ack) const;
    // The row of table holding the record's measurement, or -1.
    int RowOf(const TResultsTable& table, const QByteArray& recordBytes) const;
    // The archive entry of ack's row as it stands in the owner's table.
    std::optional<TArchiveMeasurement> ArchiveEntryOf(const TRecoveryFile::TPendingAck& ack) const;
    // Discarding or declining the current table's rows: the pending record
    // goes unless its row is in the results file too.
    void DropAckOfCurrent();
    void MarkPendingSaved();
    // file was just written by Save as, with or without the pending record's row.
    void TrackSavedRow(const QString& file, bool hasRow);
    void Failed(const std::exception& e);
    // The held record is durable now (its row saved, or row and record in
    // the copy): it is asked for again and acknowledged.
    void Released();

    // Opens the archive when it is not open; false when it cannot be.
    bool OpenArchive();
    void TellSetAside();
    // The new measurement into the archive; false when it could not be
    // written (it is then held like a failed copy).
    bool WriteToArchive();
    // The archive was busy: tried again soon, told when it lasts.
    void ArchiveBusy(const std::exception& e);
    void RetryArchive();
    // A row's sample name changed: its archive entry's name history.
    void NoteRename(int row);

    TResultsTable Table_;
    TNameEdits Names_{Table_};
    TRecordCycle Cycle_;
    std::unique_ptr<TArchive> Archive_;
    QString SetAsideTold_;
    // A newer program's archive: measuring goes on without one.
    bool ArchiveTooNew_ = false;
    // The new measurement until the archive has it; goes with its pending
    // record.
    std::optional<TArchiveMeasurement> Unarchived_;
    // Name changes the archive could not take yet: uid, name, when.
    struct TRename {
        QString Uid;
        QString Name;
        QDateTime When;
    };
    std::vector<TRename> RenamesLeft_;
    std::unique_ptr<ControlChart::TDateTimeReader> Reader_; // reads rows for the archive
    TRecoveryFile Recovery_;
    QString FileName_;
    TTextEncoding Encoding_ = TTextEncoding::Cp1251;
    QString Port_;
    quint16 Device_ = 0;
    // The record whose command 9 is not confirmed, its port and device, and
    // the results file whose row holds it.
    TRecoveryFile::TPendingAck Pending_;
    bool Held_ = false;
    bool HeldForArchive_ = false; // the last MakeDurable failed at the archive only
    bool ReaskNow_ = false; // a held record became durable
    QDateTime HeldTried_;
    bool FailureTold_ = false;
    bool ArchiveFailureTold_ = false;
    bool Asking_ = false;
    bool Closed_ = false;
    QTimer EditTimer_;
    QTimer ArchiveRetry_;
    QElapsedTimer ArchiveBusyFor_; // since the first busy write of a run of them
};
