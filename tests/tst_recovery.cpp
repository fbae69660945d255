#include "config/Cp1251.h"
#include "measurement/RecordDecoder.h"
#include "measurement/ValueText.h"
#include "register/ClGrid.h"
#include "register/Unit1.h"
#include "results/ResultsFile.h"
#include "results/ResultsTable.h"
#include "support/BoxAnswerer.h"
#include "support/FormHarness.h"
#include "support/RecordReply.h"
#include "support/TestFiles.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

// Hands a record reply to the window as the poller would; the next command.
quint8 Measure(TForm1& form, double value) {
    return form.PutRecordReply(6, ReplyStatusComplete, RecordReply(value), true);
}

// Types text into the name cell of row without pressing Enter.
void TypeName(TForm1& form, int row, const QString& text) {
    TColorStringGrid* grid = form.MainGrid;
    const QModelIndex cell = grid->model()->index(row - 1, 0);
    grid->setCurrentIndex(cell);
    grid->edit(cell);
    auto* editor = qobject_cast<QLineEdit*>(grid->indexWidget(cell));
    QVERIFY(editor);
    editor->selectAll();
    // Key by key, as typed (keyClicks takes ASCII only).
    for (const QChar ch : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(ch));
        QApplication::sendEvent(editor, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(ch));
        QApplication::sendEvent(editor, &release);
    }
    QCOMPARE(editor->text(), text);
}

// Answers the next "Сохранить данные?" box through the keyboard or its
// title bar, noting its buttons.
class TBoxEscaper : public QObject {
public:
    explicit TBoxEscaper(bool closeInstead) : closeInstead_(closeInstead) {
        connect(&timer_, &QTimer::timeout, this, [this] { Check(); });
        timer_.start(10);
    }
    bool Seen = false;
    bool HasCancel = false;
    bool YesIsDefault = false;

private:
    void Check() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box || !box->isVisible())
                continue;
            Seen = true;
            HasCancel = box->button(QMessageBox::Cancel) != nullptr;
            YesIsDefault = static_cast<QAbstractButton*>(box->defaultButton()) ==
                           box->button(QMessageBox::Yes);
            if (closeInstead_)
                box->close();
            else
                QTest::keyClick(box, Qt::Key_Escape);
        }
    }
    bool closeInstead_ = false;
    QTimer timer_;
};

} // namespace

// Nothing the operator typed or the analyser measured is lost: open editors,
// stray keys, crashes (the window's side; the real program is killed in
// tst_crash).
class TstRecovery : public QObject {
    Q_OBJECT

    std::unique_ptr<TFormHarness> h_;

    std::unique_ptr<TForm1> ShownForm() {
        auto form = h_->MakeForm();
        form->show();
        if (!QTest::qWaitForWindowExposed(form.get()))
            qWarning("window not exposed");
        return form;
    }

    static QByteArray Name(const char* utf8) { return Cp1251::encode(QString::fromUtf8(utf8)); }

private slots:
    void init() {
        h_.reset();
        h_ = std::make_unique<TFormHarness>();
        QVERIFY(h_->IsValid());
    }
    void cleanup() { h_.reset(); }

    // The name typed without Enter is what the command saves or prints.
    void openEditorIsCommittedFirst_data() {
        QTest::addColumn<QString>("command");
        QTest::newRow("save") << "save";
        QTest::newRow("save as") << "saveas";
        QTest::newRow("new, answered Yes") << "new";
        QTest::newRow("open, answered Yes") << "open";
        QTest::newRow("close, answered Yes") << "close";
        QTest::newRow("print") << "print";
    }
    void openEditorIsCommittedFirst() {
        QFETCH(QString, command);
        auto form = ShownForm();
        const QString saved = h_->Path(QStringLiteral("Новый.txt"));
        form->SaveDialog1 = [&](const QString&) { return saved; };
        form->OpenDialog1 = [&](const QString&) { return h_->Path(QStringLiteral("other.txt")); };
        QByteArray printed;
        form->PrintCommand = [&] { printed = form->Table()->Cell(1, 1); };
        h_->Answer = QMessageBox::Yes;
        TypeName(*form, 1, QStringLiteral("Пиво светлое"));

        if (command == "save")
            form->actSave->trigger();
        else if (command == "saveas")
            form->actSaveAs->trigger();
        else if (command == "new")
            form->actNew->trigger();
        else if (command == "open")
            form->actOpenFile->trigger();
        else if (command == "close")
            QVERIFY(form->close());
        else
            form->actPrint->trigger();

        QVERIFY2(h_->Errors.isEmpty(), qPrintable(h_->Errors.join('\n')));
        if (command == "print") {
            QCOMPARE(printed, Name("Пиво светлое"));
            return;
        }
        QCOMPARE(ReadAll(saved).split('\t').value(0), Name("Пиво светлое"));
    }

    // Cancel, Escape or closing the box: table, name and Modified unchanged.
    void savePromptCancelChangesNothing_data() {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("how");
        for (const char* command : {"new", "open"}) {
            QTest::addRow("%s, Cancel", command) << command << "cancel";
            QTest::addRow("%s, Escape in the real box", command) << command << "escape";
            QTest::addRow("%s, real box closed", command) << command << "close";
        }
    }
    void savePromptCancelChangesNothing() {
        QFETCH(QString, command);
        QFETCH(QString, how);
        // Built by hand so that the real box can stay.
        auto form = std::make_unique<TForm1>(nullptr, h_->IniPath());
        const auto realBox = form->AskSaveData;
        h_->Hook(*form);
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        QCOMPARE(Measure(*form, 12.5), quint8(9));
        TypeName(*form, 1, QStringLiteral("Сок"));
        form->MainGrid->CommitEditor();
        QVERIFY(form->Table()->Modified());
        const QString name = form->CurrentFileName();
        const QString title = form->windowTitle();
        form->OpenDialog1 = [&](const QString&) { return h_->Path(QStringLiteral("other.txt")); };

        std::unique_ptr<TBoxEscaper> escaper;
        if (how == "cancel") {
            h_->Answer = QMessageBox::Cancel;
        } else {
            form->AskSaveData = realBox;
            escaper = std::make_unique<TBoxEscaper>(how == "close");
        }
        (command == "new" ? form->actNew : form->actOpenFile)->trigger();

        if (escaper) {
            QVERIFY(escaper->Seen);
            QVERIFY(escaper->HasCancel);
            QVERIFY(escaper->YesIsDefault);
        }
        QVERIFY(form->Table()->Modified());
        QCOMPARE(form->CurrentFileName(), name);
        QCOMPARE(form->windowTitle(), title);
        QCOMPARE(form->Table()->RowCount(), 3);
        QCOMPARE(form->Table()->Cell(1, 1), Name("Сок"));
        QCOMPARE(TValueText::Parse(form->Table()->CellView(5, 1)), std::optional(12.5));
        QVERIFY(form->Doc.Recovery().Exists());
        QVERIFY(!QFileInfo::exists(h_->Path(QStringLiteral("Новый.txt"))));
    }

    // Command 9 is answered only once the row is on disk, with the record's
    // bytes remembered until the analyser's echo.
    void measurementIsOnDiskBeforeAcknowledgement() {
        auto form = h_->MakeForm();
        QCOMPARE(Measure(*form, 12.5), quint8(9));
        TResultsTable copy;
        form->Doc.Recovery().Load(copy);
        QCOMPARE(copy.RowCount(), 3);
        QCOMPARE(TValueText::Parse(copy.CellView(5, 1)), std::optional(12.5));
        QCOMPARE(form->Doc.Recovery().ReadPendingAck().Record.size(), RecordSize);

        QCOMPARE(Measure(*form, 13.5), quint8(9));
        QCOMPARE(form->Doc.Recovery().Appends(), 1); // the second one only appended
        form->Doc.Recovery().Load(copy);
        QCOMPARE(copy.RowCount(), 4);
        QCOMPARE(TValueText::Parse(copy.CellView(5, 2)), std::optional(13.50));
        QCOMPARE(copy.Cell(0, 3), QByteArray("3"));

        QCOMPARE(form->PutRecordReply(9, ReplyStatusComplete, {}, true), quint8(0));
        QVERIFY(form->Doc.Recovery().ReadPendingAck().Record.isEmpty());
    }

    // The analyser offers a record again while its acknowledgement is not
    // confirmed: acknowledged, no second row or archive entry, on whatever
    // port the analyser comes back after a crash. After a confirmed one,
    // equal bytes are a new measurement (two water blanks in a row).
    void identicalRecords_data() {
        QTest::addColumn<QString>("between");
        QTest::addColumn<int>("measurements");
        QTest::newRow("acknowledged") << "echo" << 2;
        QTest::newRow("command 9 or its echo lost") << "" << 1;
        QTest::newRow("crash, adapter back as ttyUSB1") << "crash" << 1;
        QTest::newRow("acknowledged, restart on ttyUSB1") << "echo crash" << 2;
    }

    void identicalRecords() {
        QFETCH(QString, between);
        QFETCH(int, measurements);
        auto form = h_->MakeForm();
        form->Doc.SetLink(QStringLiteral("ttyUSB0"), 10);
        QCOMPARE(Measure(*form, 0.0), quint8(9));
        if (between.contains(QLatin1String("echo")))
            QCOMPARE(form->PutRecordReply(9, ReplyStatusComplete, {}, true), quint8(0));
        if (between.contains(QLatin1String("crash"))) {
            form.reset(); // its copy and pending record stay; restored at start
            const TBoxAnswerer restore(QMessageBox::Yes);
            form = h_->MakeForm();
            form->Doc.SetLink(QStringLiteral("ttyUSB1"), 10);
        }
        QCOMPARE(Measure(*form, 0.0), quint8(9));
        QCOMPARE(form->PutRecordReply(9, ReplyStatusComplete, {}, true), quint8(0));
        QCOMPARE(form->Table()->RowCount(), measurements + 2);
        QVERIFY(form->Doc.Archive());
        QCOMPARE(form->Doc.Archive()->Count({}), measurements);
    }

    // The record goes into its slot before its row goes anywhere: when the
    // slot cannot be written nothing of the row is on disk either, so a
    // crash then cannot leave a row whose record, offered again, becomes a
    // second row.
    void recordIsWrittenBeforeItsRow() {
        auto form = h_->MakeForm();
        const QString slot = form->Doc.Recovery().AckPath();
        QVERIFY(QFile::remove(slot));
        QVERIFY(QDir().mkpath(slot)); // a folder in its place cannot be written
        QCOMPARE(Measure(*form, 7.25), quint8(0)); // shown, held with the analyser
        QVERIFY(!QFileInfo::exists(form->Doc.Recovery().Path()));
        QCOMPARE(form->Doc.Archive()->Count({}), 0);

        form.reset(); // a crash
        QVERIFY(QDir(slot).removeRecursively());
        form = h_->MakeForm();
        QVERIFY(!h_->Asked.contains(QStringLiteral("restore")));
        QCOMPARE(Measure(*form, 7.25), quint8(9));
        QCOMPARE(form->PutRecordReply(9, ReplyStatusComplete, {}, true), quint8(0));
        QCOMPARE(form->Table()->RowCount(), 3);
        QCOMPARE(form->Doc.Archive()->Count({}), 1);
    }

    // A record that arrives while a prompt about the table is open waits
    // with the analyser (no acknowledgement) and lands after the answer.
    void recordWaitsForThePrompt_data() {
        QTest::addColumn<QString>("prompt");
        QTest::newRow("save, on New") << "save";
        QTest::newRow("restore, on Open") << "restore";
        QTest::newRow("close") << "close";
    }
    void recordWaitsForThePrompt() {
        QFETCH(QString, prompt);
        const QString day = h_->Path(QStringLiteral("day.txt"));
        // Another run, with settings of its own, has a copy of day.txt.
        auto earlier = std::make_unique<TForm1>(nullptr, h_->Path(QStringLiteral("earlier.ini")));
        h_->Hook(*earlier);
        earlier->SaveDialog1 = [&](const QString&) { return day; };
        earlier->actSaveAs->trigger();
        Measure(*earlier, 3.5);
        auto form = h_->MakeForm(); // not offered: a running program holds it
        earlier.reset();            // died: its copy stays, its lock goes
        Measure(*form, 4.5);
        form->PutRecordReply(9, ReplyStatusComplete, {}, true);
        int rowsMeanwhile = -1;
        quint8 meanwhile = 0;
        const auto arrive = [&] {
            meanwhile = Measure(*form, 5.5);
            rowsMeanwhile = form->Table()->RowCount();
        };
        form->AskSaveData = [&] {
            arrive();
            return QMessageBox::No;
        };
        form->AskRestore = [&](const QString&) {
            arrive();
            return QMessageBox::Yes;
        };
        form->AskSaveOnClose = [&] {
            arrive();
            return QMessageBox::Cancel;
        };
        form->OpenDialog1 = [&](const QString&) { return day; };
        const int rowsBefore = form->Table()->RowCount();
        if (prompt == "save")
            form->actNew->trigger();
        else if (prompt == "restore")
            form->actOpenFile->trigger();
        else
            QVERIFY(!form->close());
        QCOMPARE(meanwhile, quint8(0)); // asked for again at the idle rhythm
        QCOMPARE(rowsMeanwhile, prompt == "save" ? rowsBefore : rowsMeanwhile);
        const int rowsAfter = form->Table()->RowCount();
        QCOMPARE(Measure(*form, 5.5), quint8(9));
        QCOMPARE(form->Table()->RowCount(), rowsAfter + 1);
        if (prompt == "restore") // into the restored table, and into its copy
            QCOMPARE(TValueText::Parse(form->Table()->CellView(5, 1)), std::optional(3.50));
        TResultsTable copy;
        form->Doc.Recovery().Load(copy);
        QCOMPARE(TValueText::Parse(copy.CellView(5, copy.RowCount() - 2)), std::optional(5.50));
    }

    // Edits reach the copy through a timer: a burst gives one write.
    void editsAreCoalescedIntoOneWrite() {
        auto form = ShownForm();
        Measure(*form, 1.0);
        Measure(*form, 2.0);
        const int writes = form->Doc.Recovery().FullWrites();
        for (int row = 1; row <= 3; ++row) {
            TypeName(*form, row, QStringLiteral("проба %1").arg(row));
            QTest::keyClick(form->MainGrid->indexWidget(form->MainGrid->currentIndex()),
                            Qt::Key_Return);
        }
        const auto written = [&] {
            TResultsTable copy;
            form->Doc.Recovery().Load(copy);
            for (int row = 1; row <= 3; ++row)
                if (copy.Cell(1, row) != Cp1251::encode(QStringLiteral("проба %1").arg(row)))
                    return false;
            return true;
        };
        QTRY_VERIFY_WITH_TIMEOUT(written(), 10000);
        // One write for the burst (two if a slow machine spread it over the
        // delay); written on every commit it would be three.
        QVERIFY(form->Doc.Recovery().FullWrites() - writes < 3);
    }

    // A name typed ahead into the entry row reaches the copy; the measurement
    // then written over that line carries it, once.
    void nameTypedAheadStaysWithItsMeasurement() {
        auto form = ShownForm();
        Measure(*form, 1.0);
        const int writes = form->Doc.Recovery().FullWrites();
        TypeName(*form, 2, QStringLiteral("ahead"));
        QTest::keyClick(form->MainGrid->indexWidget(form->MainGrid->currentIndex()),
                        Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(form->Doc.Recovery().FullWrites(), writes + 1, 10000);
        Measure(*form, 2.0);
        QCOMPARE(form->Doc.Recovery().FullWrites(), writes + 1); // appended
        TResultsTable copy;
        form->Doc.Recovery().Load(copy);
        QCOMPARE(copy.RowCount(), 4);
        QCOMPARE(copy.Cell(1, 2), QByteArray("ahead"));
        QCOMPARE(TValueText::Parse(copy.CellView(5, 2)), std::optional(2.00));
        QCOMPARE(copy.Cell(1, 3), QByteArray());
        QCOMPARE(copy.Cell(5, 3), QByteArray());
        // Byte for byte what Save writes.
        const QByteArray recovered = ReadAll(form->Doc.Recovery().Path());
        form->actSave->trigger();
        QCOMPARE(recovered, ReadAll(h_->Path(QStringLiteral("Новый.txt"))));
    }

    // Saved, or dropped with No: the copy goes.
    void copyIsRemoved_data() {
        QTest::addColumn<QString>("command");
        QTest::newRow("save") << "save";
        QTest::newRow("new, answered No") << "new";
        QTest::newRow("open, answered No") << "open";
        QTest::newRow("close, answered No") << "close";
    }
    void copyIsRemoved() {
        QFETCH(QString, command);
        auto form = h_->MakeForm();
        form->OpenDialog1 = [&](const QString&) { return h_->Path(QStringLiteral("other.txt")); };
        Measure(*form, 4.5);
        const QString copy = form->Doc.Recovery().Path();
        QVERIFY(QFileInfo::exists(copy));
        h_->Answer = QMessageBox::No;
        if (command == "save")
            form->actSave->trigger();
        else if (command == "new")
            form->actNew->trigger();
        else if (command == "open")
            form->actOpenFile->trigger();
        else
            QVERIFY(form->close());
        QVERIFY(!QFileInfo::exists(copy));
        QVERIFY(h_->Errors.isEmpty());
    }

    // At start-up: Yes restores the rows (unsaved, the results file
    // untouched); No keeps the copy aside under a dated name.
    void startUpOffersTheCopy_data() {
        QTest::addColumn<bool>("restore");
        QTest::newRow("Yes") << true;
        QTest::newRow("No") << false;
    }
    void startUpOffersTheCopy() {
        QFETCH(bool, restore);
        QString copy;
        {
            auto crashed = h_->MakeForm();
            Measure(*crashed, 12.5);
            Measure(*crashed, 13.5);
            copy = crashed->Doc.Recovery().Path();
        } // gone without closing, as in a crash
        QVERIFY(QFileInfo::exists(copy));

        std::unique_ptr<TForm1> form;
        {
            TBoxAnswerer answer(restore ? QMessageBox::Yes : QMessageBox::No);
            form = h_->MakeForm();
            QCOMPARE(answer.Texts.size(), 1);
            QVERIFY2(answer.Texts[0].contains(QStringLiteral("Восстановить несохранённые данные?")),
                     qPrintable(answer.Texts[0]));
            QVERIFY2(answer.Texts[0].contains(QStringLiteral("«Новый.txt»")),
                     qPrintable(answer.Texts[0]));
            QVERIFY2(answer.Texts[0].contains(QStringLiteral("строк: 2")),
                     qPrintable(answer.Texts[0]));
        }
        QVERIFY(!QFileInfo::exists(h_->Path(QStringLiteral("Новый.txt"))));
        if (restore) {
            QCOMPARE(form->Table()->RowCount(), 4);
            QCOMPARE(TValueText::Parse(form->Table()->CellView(5, 2)), std::optional(13.50));
            QVERIFY(form->Table()->Modified());
            QVERIFY(QFileInfo::exists(copy));
            return;
        }
        QCOMPARE(form->Table()->RowCount(), 2);
        QVERIFY(!QFileInfo::exists(copy));
        const QFileInfo info(copy);
        const QStringList aside = info.dir().entryList(
            {info.completeBaseName() + QStringLiteral("-20*.txt")}, QDir::Files);
        QCOMPARE(aside.size(), 1);
        TResultsTable kept;
        LoadResultsFile(kept, info.dir().filePath(aside[0]));
        QCOMPARE(TValueText::Parse(kept.CellView(5, 2)), std::optional(13.50));
    }

    // New, measured, killed: the configuration still names the file of the
    // last clean close, and the copy of the new file is offered after it.
    void startUpOffersACopyOfAnotherFile_data() {
        QTest::addColumn<bool>("restore");
        QTest::newRow("Yes") << true;
        QTest::newRow("No") << false;
    }
    void startUpOffersACopyOfAnotherFile() {
        QFETCH(bool, restore);
        {
            auto crashed = h_->MakeForm();
            crashed->actNew->trigger();
            QCOMPARE(QFileInfo(crashed->CurrentFileName()).fileName(),
                     QStringLiteral("Новый1.txt"));
            Measure(*crashed, 21.5);
        }
        std::unique_ptr<TForm1> form;
        {
            TBoxAnswerer answer(restore ? QMessageBox::Yes : QMessageBox::No);
            form = h_->MakeForm();
            QCOMPARE(answer.Texts.size(), 1);
            QVERIFY2(answer.Texts[0].contains(QStringLiteral("«Новый1.txt»")),
                     qPrintable(answer.Texts[0]));
        }
        if (restore) {
            QCOMPARE(QFileInfo(form->CurrentFileName()).fileName(), QStringLiteral("Новый1.txt"));
            QVERIFY(form->windowTitle().endsWith(QStringLiteral("Новый1.txt)")));
            QCOMPARE(TValueText::Parse(form->Table()->CellView(5, 1)), std::optional(21.50));
            QVERIFY(form->Table()->Modified());
            form->actSave->trigger();
            QVERIFY(QFileInfo::exists(h_->Path(QStringLiteral("Новый1.txt"))));
        } else {
            // The settings named the new file as soon as New made it.
            QCOMPARE(QFileInfo(form->CurrentFileName()).fileName(), QStringLiteral("Новый1.txt"));
            QCOMPARE(form->Table()->RowCount(), 2);
        }
        // Offered once: restored and saved, or put aside.
        form.reset();
        TBoxAnswerer none(QMessageBox::No);
        auto next = h_->MakeForm();
        QVERIFY(none.Texts.isEmpty());
    }

    void openOffersTheCopyOfThatFile() {
        const QString day = h_->Path(QStringLiteral("day.txt"));
        auto form = h_->MakeForm();
        form->SaveDialog1 = [&](const QString&) { return day; };
        form->OpenDialog1 = [&](const QString&) { return day; };
        form->actSaveAs->trigger();
        Measure(*form, 8.75);
        h_->Answer = QMessageBox::Cancel;
        form->actOpenFile->trigger(); // same file again, but cancelled
        QVERIFY(h_->RestoreTexts.isEmpty());

        // Another run (settings of its own) opens it once the first has died.
        auto other = std::make_unique<TForm1>(nullptr, h_->Path(QStringLiteral("other.ini")));
        h_->Hook(*other);
        form.reset();
        other->OpenDialog1 = [&](const QString&) { return day; };
        other->actOpenFile->trigger();
        QCOMPARE(h_->RestoreTexts.size(), 1);
        QVERIFY(h_->RestoreTexts[0].contains(QStringLiteral("«day.txt»")));
        QCOMPARE(TValueText::Parse(other->Table()->CellView(5, 1)), std::optional(8.75));
        QVERIFY(other->Table()->Modified());
    }

    // A folder that cannot be written is told once; the rows are shown but
    // not acknowledged until a write succeeds (here Save as elsewhere).
    void unwritableFolderIsToldOnce() {
        auto form = h_->MakeForm();
        const QString blocked = h_->Path(QStringLiteral("blocked"));
        QFile file(blocked);
        QVERIFY(file.open(QIODevice::WriteOnly)); // a file where the folder should be
        file.close();
        form->Doc.Recovery().SetFolder(blocked + QStringLiteral("/Savro2"));
        QCOMPARE(Measure(*form, 1.5), quint8(0));
        QCOMPARE(Measure(*form, 2.5), quint8(0));
        QCOMPARE(form->Table()->RowCount(), 4);
        QVERIFY(form->Doc.Held());
        QTRY_COMPARE_WITH_TIMEOUT(h_->Errors.size(), 1, 10000);
        QVERIFY2(h_->Errors[0].startsWith(QStringLiteral("Ошибка|Резервная копия")),
                 qPrintable(h_->Errors[0]));
        QVERIFY(h_->Errors[0].contains(QStringLiteral("не подтверждаются")));
        form->SaveDialog1 = [&](const QString&) { return h_->Path(QStringLiteral("other.txt")); };
        form->actSaveAs->trigger();
        QVERIFY(!form->Doc.Held());
        QCOMPARE(form->Doc.CommandForTurn(0), quint8(6));
        QCOMPARE(Measure(*form, 2.5), quint8(9)); // its twin: acknowledged, no new row
        QCOMPARE(form->Table()->RowCount(), 4);
    }
};

QTEST_MAIN(TstRecovery)
#include "tst_recovery.moc"
