#include "document/RegisterDocument.h"
#include "measurement/RecordDecoder.h"
#include "results/ResultsFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <rapidcheck.h>

#include "support/RecordReply.h"

#include <map>
#include <memory>
#include <ostream>
#include <set>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

// The operator's verbs, the analyser's turns and the faults around them.
enum TKind {
    kMeasure,       // the analyser measures a new sample
    kTurn,          // a polling turn, everything arrives
    kTurnAckLost,   // command 9 never reaches the analyser
    kTurnEchoLost,  // the analyser takes command 9, its echo is lost
    kTurnInPrompt,  // a turn while a prompt about the table is open
    kEditName,
    kEditsWritten,  // the edit timer fires
    kNew,
    kOpen,
    kSave,
    kSaveAs,
    kCloseRestart,  // close (Yes / No / Cancel), the last hand-over, start again
    kCrashRestart,
    kSecondCopy,    // a second program on the same data starts and exits
    kDiskFull,
    kDiskBack,
    kKindCount
};

const char* const kKindNames[] = {"Measure", "Turn", "TurnAckLost", "TurnEchoLost",
                                  "TurnInPrompt", "EditName", "EditsWritten", "New",
                                  "Open", "Save", "SaveAs", "CloseRestart", "CrashRestart",
                                  "SecondCopy", "DiskFull", "DiskBack"};

struct TOp {
    int Kind = 0;
    int A = 0; // a file, a row or an answer
    int B = 0; // an answer
};

void showValue(const TOp& op, std::ostream& os) {
    os << kKindNames[op.Kind] << '(' << op.A << ',' << op.B << ')';
}

std::vector<int> ValuesOf(const TResultsTable& table) {
    std::vector<int> values;
    for (int row = 1; row < table.RowCount(); ++row)
        if (!table.CellView(5, row).isEmpty())
            values.push_back(int(table.Cell(5, row).toDouble()));
    return values;
}

std::vector<int> ValuesIn(const QString& path) {
    TResultsTable table;
    LoadResultsFile(table, path);
    return ValuesOf(table);
}

bool HasDuplicates(std::vector<int> values) {
    std::sort(values.begin(), values.end());
    return std::adjacent_find(values.begin(), values.end()) != values.end();
}

bool Contains(const std::vector<int>& values, int v) {
    return std::find(values.begin(), values.end(), v) != values.end();
}

// Every running program, the analyser and the disks of one sequence.
class TWorld {
public:
    TWorld(const QString& root, bool disk) : Root_(root), Disk_(disk) {
        for (const char* sub : {"disk/data", "other", "locks"})
            QDir().mkpath(Root_ + u'/' + QLatin1String(sub));
        Names_ = {Path("disk/a.txt"), Path("disk/b.txt"), Path("other/c.txt")};
        Config_ = Names_[0];
        Restart();
    }
    ~TWorld() { QFile::remove(Filler()); }

    void Run(const TOp& op) {
        // Between two things the operator does, the poller has run a few
        // idle turns (every 100 ms): a record made durable by the last one
        // has been asked for again by then.
        if (op.Kind >= kEditName && op.Kind <= kCloseRestart && op.Kind != kEditsWritten)
            Turn(kTurn, false);
        switch (op.Kind) {
        case kMeasure:
            Offered_ = Next_++;
            break;
        case kTurn:
        case kTurnAckLost:
        case kTurnEchoLost:
            Turn(op.Kind);
            break;
        case kTurnInPrompt:
            Doc_->SetAsking(true);
            Turn(kTurn);
            Doc_->SetAsking(false);
            break;
        case kEditName: {
            TResultsTable& table = Doc_->Table();
            Doc_->EditStarted();
            table.setData(table.index(op.A % (table.RowCount() - 1), 0),
                          QStringLiteral("проба %1").arg(Next_++));
            Doc_->NameEdited();
            break;
        }
        case kEditsWritten:
            Doc_->FlushEdits();
            break;
        case kNew:
            if (AskToSave(op.B % 3)) {
                Doc_->New();
                OfferCopies(op.A % 2 == 0, false);
            }
            break;
        case kOpen:
            if (AskToSave(op.B % 3)) {
                Try([&] { Doc_->Open(Names_[op.A % 3]); });
                OfferCopies(op.B % 2 == 0, false);
            }
            break;
        case kSave:
            Try([&] { Doc_->Save(); });
            break;
        case kSaveAs: {
            // The save dialog replaces a file without asking: its old rows
            // are the operator's to lose.
            const QString target = Names_[op.A % 3];
            const std::vector<int> replaced =
                QFileInfo::exists(target) ? ValuesIn(target) : std::vector<int>();
            try {
                Doc_->SaveAs(target);
                Release(replaced);
            } catch (const std::exception&) {
            }
            break;
        }
        case kCloseRestart:
            Close(op.A % 3);
            break;
        case kCrashRestart:
            Doc_.reset();
            Restart();
            break;
        case kSecondCopy:
            SecondCopy();
            break;
        case kDiskFull:
            FillDisk();
            break;
        case kDiskBack:
            QFile::remove(Filler());
            break;
        }
    }

    // The invariants of the register's data, over what is on disk now.
    void Check() const {
        std::map<QString, std::vector<int>> files; // results file -> values
        for (const char* folder : {"disk", "other"})
            for (const QFileInfo& f : QDir(Path(folder)).entryInfoList({"*.txt"}, QDir::Files))
                files[f.absoluteFilePath()] = ValuesIn(f.absoluteFilePath());
        std::map<QString, std::vector<int>> copies; // results file -> values of its copy
        const QDir data(Path("disk/data"));
        for (const QFileInfo& c : data.entryInfoList({"*.txt"}, QDir::Files)) {
            QFile name(data.filePath(c.completeBaseName() + ".name"));
            if (name.open(QIODevice::ReadOnly))
                copies[QString::fromUtf8(name.readAll())] = ValuesIn(c.absoluteFilePath());
        }
        for (const auto& [name, values] : files)
            RC_ASSERT_FALSE(HasDuplicates(values));
        for (const auto& [name, values] : copies) {
            RC_ASSERT_FALSE(HasDuplicates(values));
            // Saved rows are not offered again as unsaved rows of another file.
            for (const int v : values) {
                const auto own = files.find(name);
                if (own != files.end() && Contains(own->second, v))
                    continue;
                for (const auto& [file, saved] : files)
                    RC_ASSERT(!Contains(saved, v));
            }
        }
        // Nothing acknowledged is lost.
        for (const int v : Acked_) {
            if (Released_.count(v))
                continue;
            bool found = false;
            for (const auto* places : {&files, &copies})
                for (const auto& [name, values] : *places)
                    found = found || Contains(values, v);
            RC_ASSERT(found);
        }
        // Every acknowledged measurement is in the archive, once; a record
        // offered again is never a second entry.
        if (TArchive* archive = Doc_->Archive()) {
            std::vector<int> archived;
            for (const TArchivePoint& p : archive->Points({}, 0))
                archived.push_back(int(p.Value));
            RC_ASSERT_FALSE(HasDuplicates(archived));
            for (const int v : Acked_)
                RC_ASSERT(Contains(archived, v));
        }
        const std::vector<int> shown = ValuesOf(Doc_->Table());
        RC_ASSERT_FALSE(HasDuplicates(shown));
        const QString copy = Doc_->Recovery().Path();
        if (!Doc_->Modified()) {
            RC_ASSERT_FALSE(QFileInfo::exists(copy));
        } else if (!Doc_->Held() && QFileInfo::exists(copy)) {
            // The copy holds what Save would write (names may follow later).
            TResultsTable onDisk;
            LoadResultsFile(onDisk, copy);
            const TResultsTable& table = Doc_->Table();
            RC_ASSERT(onDisk.RowCount() == table.RowCount());
            for (int row = 1; row < table.RowCount(); ++row)
                for (int col = 2; col < TResultsTable::ColCount; ++col)
                    RC_ASSERT(onDisk.Cell(col, row) == table.Cell(col, row));
        }
    }

private:
    QString Path(const char* sub) const { return Root_ + u'/' + QLatin1String(sub); }
    QString Filler() const { return Path("disk/filler"); }

    std::unique_ptr<TRegisterDocument> MakeDoc() const {
        auto doc = std::make_unique<TRegisterDocument>(Path("disk/data"), Path("locks"));
        doc->Cycle().Now = [this] { return Now_; };
        doc->Cycle().Locale = QLocale::c();
        return doc;
    }

    static void Try(const std::function<void()>& command) {
        try {
            command();
        } catch (const std::exception&) {
            // shown to the operator; the model checks what it left
        }
    }

    void Restart() {
        Doc_ = MakeDoc();
        Doc_->OnFileNameChanged = [this] { Config_ = Doc_->FileName(); };
        Try([&] { Doc_->Start(Config_); });
        OfferCopies(Next_ % 2 == 0, true);
    }

    // later: the two minutes to the next request have passed.
    void Turn(int kind, bool later = true) {
        if (later)
            Now_ = Now_.addSecs(180);
        Doc_->SetLink(QStringLiteral("ttyS0"), 10);
        if (Doc_->CommandForTurn(0) != 6 || Offered_ == 0)
            return;
        if (Doc_->PutRecordReply(6, ReplyStatusComplete, RecordReply(Offered_), true) != 9 ||
            kind == kTurnAckLost)
            return;
        Acked_.insert(Offered_);
        Offered_ = 0;
        if (kind != kTurnEchoLost)
            Doc_->PutRecordReply(9, ReplyStatusComplete, {}, true);
    }

    // The operator declines the rows: they are no longer the register's to keep.
    void Release(const std::vector<int>& values) {
        for (const int v : values)
            if (Acked_.count(v))
                Released_.insert(v);
    }

    // "Сохранить данные?": 0 Yes, 1 No, 2 Cancel; false when the command stops.
    bool AskToSave(int answer) {
        if (!Doc_->Modified())
            return true;
        if (answer == 0) {
            try {
                Doc_->Save();
            } catch (const std::exception&) {
                return false;
            }
            return true;
        }
        if (answer == 1) {
            Release(ValuesOf(Doc_->Table()));
            Doc_->Discard();
            return true;
        }
        return false;
    }

    void OfferCopies(bool restore, bool others) {
        Try([&] {
            if (Doc_->CopyToOffer()) {
                if (restore)
                    return Doc_->RestoreCopy();
                Release(ValuesIn(Doc_->Recovery().Path()));
                Doc_->DeclineCopy();
            }
            if (!others)
                return;
            for (const QString& other : Doc_->OtherCopies()) {
                if (!Doc_->CopyToOffer(other))
                    continue;
                if (restore)
                    return Doc_->RestoreCopy(other);
                TRecoveryFile copy(Path("disk/data"), Path("locks"));
                copy.SetResultsFile(other);
                Release(ValuesIn(copy.Path()));
                Doc_->DeclineCopy(other);
            }
        });
    }

    void Close(int answer) {
        if (!AskToSave(answer))
            return;
        Doc_->Close();
        // The worker's last hand-over comes after the answer.
        Turn(kTurn);
        if (answer == 0)
            RC_ASSERT_FALSE(Doc_->Modified());
        Doc_.reset();
        Restart();
    }

    void SecondCopy() {
        auto second = MakeDoc();
        try {
            second->Start(Config_);
        } catch (const std::exception&) {
        }
        const QString mine = QFileInfo(Doc_->FileName()).absoluteFilePath();
        RC_ASSERT(QFileInfo(second->FileName()).absoluteFilePath() != mine);
        RC_ASSERT_FALSE(second->OtherCopies().contains(mine));
        RC_ASSERT_FALSE(second->CopyToOffer(mine).has_value());
        bool refused = false;
        try {
            second->SaveAs(mine);
        } catch (const ERegisterError&) {
            refused = true;
        } catch (const std::exception&) {
            refused = true; // the disk, not the lock; nothing was written either way
        }
        RC_ASSERT(refused);
    }

    void FillDisk() {
        if (!Disk_)
            return;
        QFile filler(Filler());
        if (!filler.open(QIODevice::Append))
            return;
        const QByteArray block(4096, 'x');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
    }

    QString Root_;
    bool Disk_ = false; // a small file system of its own that can be filled
    QStringList Names_;
    QString Config_; // the results file the settings name
    std::unique_ptr<TRegisterDocument> Doc_;
    QDateTime Now_ = QDateTime(QDate(2026, 12, 9), QTime(8, 0));
    int Next_ = 1;
    int Offered_ = 0; // the analyser's unacknowledged measurement, 0 for none
    std::set<int> Acked_;
    std::set<int> Released_;
};

} // namespace

// Random sequences of the register's operations and faults against the real
// document class with real files, checking the invariants after every step.
// The suite runs it from four fixed seeds; RC_PARAMS="max_success=10000"
// (scripts/model) runs the long version.
class TstRegisterModel : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    bool disk_ = false;

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        const QByteArray disk = QFile::encodeName(dir_.filePath("disk"));
        QVERIFY(QDir().mkpath(dir_.filePath("disk")));
        // A private mount namespace: the small disk vanishes with the process.
        disk_ = ::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0 &&
                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                ::mount("tmpfs", disk.constData(), "tmpfs", 0, "size=8m") == 0;
        if (!disk_)
            qWarning("no file system of its own (needs root): the full disk is left out");
        if (!qEnvironmentVariableIsSet("RC_PARAMS"))
            // A fixed seed keeps the test command repeatable; scripts/model
            // draws new sequences each run.
            qputenv("RC_PARAMS", "max_success=150 seed=1 verbose_progress=0");
    }

    void cleanupTestCase() {
        if (disk_)
            ::umount2(QFile::encodeName(dir_.filePath("disk")).constData(), MNT_DETACH);
    }

    void invariantsHoldAfterEveryStep() {
        const auto op = rc::gen::map(
            rc::gen::tuple(rc::gen::inRange(0, int(kKindCount)), rc::gen::inRange(0, 3),
                           rc::gen::inRange(0, 3)),
            [](const std::tuple<int, int, int>& t) {
                return TOp{std::get<0>(t), std::get<1>(t), std::get<2>(t)};
            });
        const bool ok = rc::check("the register's data", [&] {
            const auto ops = *rc::gen::container<std::vector<TOp>>(op);
            // A fresh world per sequence, on the same small disk (whose
            // mount point itself stays).
            for (const char* sub : {"disk", "other", "locks"})
                QDir(dir_.filePath(QLatin1String(sub))).removeRecursively();
            TWorld world(dir_.path(), disk_);
            world.Check();
            for (const TOp& step : ops) {
                world.Run(step);
                world.Check();
            }
        });
        QVERIFY(ok);
    }
};

QTEST_GUILESS_MAIN(TstRegisterModel)
#include "tst_registermodel.moc"
