#include "analyser/OpSavro.h"
#include "app/Application.h"
#include "config/Cp1251.h"
#include "config/iniplus.h"
#include "controls/numedit.h"
#include "link/LabStatusView.h"
#include "register/ClGrid.h"
#include "register/LinkStatusBar.h"
#include "register/Unit1.h"
#include "results/ResultsTable.h"
#include "support/BoxAnswerer.h"
#include "support/FormHarness.h"
#include "support/TestFiles.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QtTest>

#include <memory>

namespace {

QString Title(const QString& name) {
    return QStringLiteral("Savro-2.Регистрация измерений(%1)").arg(name);
}

// Types into the first file dialog that shows up and accepts it, as an
// operator would: the dialog applies its own rules to the typed name.
class TDialogTyper : public QObject {
public:
    explicit TDialogTyper(QString typed) : typed_(std::move(typed)) {
        connect(&timer_, &QTimer::timeout, this, &TDialogTyper::Poll);
        timer_.start(10);
    }
    bool Seen = false;

private:
    void Poll() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<QFileDialog*>(w);
            if (!dialog || !dialog->isVisible())
                continue;
            auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            if (!edit)
                continue;
            Seen = true;
            timer_.stop();
            edit->clear();
            QTest::keyClicks(edit, typed_);
            QMetaObject::invokeMethod(dialog, "accept", Qt::DirectConnection);
            if (dialog->isVisible())
                dialog->reject(); // refused: the test sees the name unchanged
            return;
        }
    }

    QString typed_;
    QTimer timer_;
};

} // namespace

// Window details: the dialogs, the close, the fit, the size, the shortcuts.
class TstWindowDetails : public QObject {
    Q_OBJECT

    std::unique_ptr<TFormHarness> h_;

    QString Path(const QString& name) const { return h_->Path(name); }

private slots:
    void initTestCase() { QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs); }

    void init() {
        h_.reset();
        h_ = std::make_unique<TFormHarness>();
        QVERIFY(h_->IsValid());
    }

    void openDialogTakesAnyName_data() {
        QTest::addColumn<QString>("existing");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("opened");
        QTest::addColumn<QByteArray>("firstName");
        QTest::newRow("a name that does not exist") << QString() << "nosuch.txt" << "nosuch.txt"
                                                    << QByteArray();
        QTest::newRow("the suffix is added") << "foo.txt" << "foo" << "foo.txt" << QByteArray("beer");
    }
    void openDialogTakesAnyName() {
        QFETCH(QString, existing);
        QFETCH(QString, typed);
        QFETCH(QString, opened);
        QFETCH(QByteArray, firstName);
        if (!existing.isEmpty())
            QVERIFY(WriteAll(Path(existing), "beer\r\n\r\n"));
        auto form = std::make_unique<TForm1>(nullptr, h_->IniPath());
        const auto realDialog = form->OpenDialog1;
        h_->Hook(*form);
        form->OpenDialog1 = realDialog;
        const TBoxAnswerer boxes; // a refusal box must not hang the test
        TDialogTyper typer(typed);
        form->actOpenFile->trigger();
        QVERIFY(typer.Seen);
        QCOMPARE(form->CurrentFileName(), Path(opened));
        QCOMPARE(form->windowTitle(), Title(Path(opened)));
        QCOMPARE(form->Table()->Cell(1, 1), firstName);
        QVERIFY2(h_->Errors.isEmpty(), qPrintable(h_->Errors.join(u'\n')));
    }

    // Closed while another window is active (task bar, log-out): no focus
    // change commits the typed number, the close does it.
    void typedNumberIsSavedWhenClosedInactive_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("stored");
        QTest::newRow("a new number") << "4321" << 4321;
        QTest::newRow("nothing typed keeps the value") << QString() << 17;
    }
    void typedNumberIsSavedWhenClosedInactive() {
        QFETCH(QString, typed);
        QFETCH(int, stored);
        {
            auto form = h_->MakeForm();
            form->NumberEdit1->SetValue(17);
            QVERIFY(!form->isActiveWindow());
            if (!typed.isEmpty()) {
                form->NumberEdit1->selectAll();
                QTest::keyClicks(form->NumberEdit1, typed);
                QCOMPARE(form->NumberEdit1->text(), typed);
            }
            QVERIFY(form->close());
        }
        QCOMPARE(TIniPlus(h_->IniPath()).ReadNumber("Config", "DeviceNumber", -1), stored);
    }

    // Any fit, a height-only one too, puts back a width the operator dragged.
    void fitPutsBackDraggedWidths_data() {
        QTest::addColumn<int>("column");
        QTest::addColumn<QSize>("grow");
        QTest::newRow("sample name, height only") << 1 << QSize(0, 40);
        QTest::newRow("indicator, height only") << 5 << QSize(0, 40);
        QTest::newRow("date, both") << 2 << QSize(8, 8);
    }
    void fitPutsBackDraggedWidths() {
        QFETCH(int, column);
        QFETCH(QSize, grow);
        auto form = h_->MakeForm();
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        QHeaderView* header = form->MainGrid->horizontalHeader();
        const int section = column - 1; // the view's column 0 is the table's column 1
        header->resizeSection(section, header->sectionSize(section) + 100);
        const QSize before = form->size();
        form->resize(before + grow);
        QTRY_COMPARE(form->size(), before + grow);
        const int expected = form->Table()->ColWidth(column);
        QTRY_COMPARE(header->sectionSize(section), expected);
    }

    // A FileName naming a folder loads as "no such file"; Save then fails
    // with the usual error and keeps the edits unsaved.
    void folderAsResultsFile() {
        QVERIFY(QDir().mkdir(Path("folder.txt")));
        {
            TIniPlus ini(h_->IniPath());
            QVERIFY(WriteAll(h_->IniPath(), ReadAll(QStringLiteral(":/Savro2.Ini.default"))));
            ini.WriteText("Config", "FileName", Path("folder.txt"));
        }
        auto form = h_->MakeForm();
        QVERIFY2(h_->Errors.isEmpty(), qPrintable(h_->Errors.join(u'\n')));
        QCOMPARE(form->windowTitle(), Title(Path("folder.txt")));
        QCOMPARE(form->Table()->RowCount(), 2);
        QCOMPARE(form->Table()->Cell(0, 1), QByteArray("1"));
        form->Table()->SetCell(1, 1, "ale");
        form->Table()->SetModified(true);
        form->actSave->trigger();
        QCOMPARE(h_->Errors.size(), 1);
        QVERIFY2(h_->Errors[0].endsWith(QStringLiteral("|File access denied.")), qPrintable(h_->Errors[0]));
        QVERIFY(form->Table()->Modified());
    }

    // 756 by 527 with the menu bar, the 41-pixel tool bar, the table and the
    // status bar inside.
    void clientAreaAtStart() {
        auto form = h_->MakeForm();
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        QCOMPARE(form->size(), QSize(756, 527));
        const int menuHeight = form->menuBar()->height();
        const QWidget* status = form->statusBar();
        const int statusHeight = status->isVisible() ? status->height() : 0;
        QCOMPARE(form->ToolBar1->geometry(), QRect(0, menuHeight, 756, 41));
        QCOMPARE(form->MainGrid->geometry(),
                 QRect(0, menuHeight + 41, 756, 527 - menuHeight - 41 - statusHeight));
        if (statusHeight > 0)
            QCOMPARE(status->geometry().bottom(), 527 - 1);
    }

    // At the window's first width, with the lab server's line and a notice
    // shown: port, device, state and last measurement whole, nothing drawn
    // over anything.
    void statusBarKeepsTheLinkWhole() {
        auto form = h_->MakeForm();
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        TLinkStatusBar* bar = form->StatusBar1;
        bar->PortLabel->setText(QStringLiteral("Порт /dev/ttyUSB0"));
        bar->DeviceLabel->setText(QStringLiteral("Прибор №301"));
        bar->StateLabel->setText(QStringLiteral("Нет ответа прибора"));
        bar->LastLabel->setText(QStringLiteral("Последнее измерение 14:28:11"));
        bar->NextLabel->setText(QStringLiteral("Следующий запрос 14:30:11"));
        TLabStatusView lab;
        lab.Visible = true;
        lab.Text = QStringLiteral("Сервер лаборатории: не отправлено 12 измерений, повтор в 14:31");
        bar->ShowLab(lab);
        bar->ShowNotice(QStringLiteral("Опрос возобновлён: программа была завершена аварийно "
                                       "во время опроса"),
                        60000);
        QList<QLabel*> labels{bar->PortLabel, bar->DeviceLabel, bar->StateLabel, bar->LastLabel,
                              bar->NextLabel, bar->NoticeLabel, bar->LabLabel};
        QTRY_VERIFY_WITH_TIMEOUT(bar->LabLabel->isVisible(), 5000);
        QApplication::processEvents();
        for (QLabel* whole : {bar->PortLabel, bar->DeviceLabel, bar->StateLabel, bar->LastLabel}) {
            QVERIFY2(whole->isVisible(), qPrintable(whole->objectName()));
            QVERIFY2(whole->width() >= whole->sizeHint().width(), qPrintable(whole->objectName()));
        }
        for (int i = 0; i < labels.size(); ++i)
            for (int j = i + 1; j < labels.size(); ++j)
                if (labels[i]->isVisible() && labels[j]->isVisible())
                    QVERIFY2(!labels[i]->geometry().intersects(labels[j]->geometry()),
                             qPrintable(labels[i]->objectName() + u' ' + labels[j]->objectName()));
        QVERIFY(bar->currentMessage().isEmpty());
    }

    // With several analysers on one machine the title names this one and
    // follows a change of port.
    void titleNamesTheAnalyser() {
        auto form = h_->MakeForm();
        const QString plain = form->windowTitle();
        form->NameAnalyserInTitle(true);
        form->Link.SetPort(QStringLiteral("/dev/ttyUSB3"));
        form->Link.SetDevice(301);
        form->Supervisor.OnShow();
        QCOMPARE(form->windowTitle(), plain + QStringLiteral(" — Прибор №301, Порт /dev/ttyUSB3"));
        form->NameAnalyserInTitle(false);
        QCOMPARE(form->windowTitle(), plain);
    }

    // New keeps the folder of the current name exactly as stored.
    void newKeepsTheFolder_data() {
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("created");
        QTest::newRow("Windows folder") << "C:\\data\\x.txt" << "C:\\data\\Новый1.txt";
        QTest::newRow("root") << "/x.txt" << "/Новый1.txt";
        QTest::newRow("no folder") << "x.txt" << "Новый1.txt";
        QTest::newRow("relative folder") << "day/x.txt" << "day/Новый1.txt";
    }
    void newKeepsTheFolder() {
        QFETCH(QString, current);
        QFETCH(QString, created);
        auto form = h_->MakeForm();
        form->OpenDialog1 = [&](const QString&) { return current; };
        form->actOpenFile->trigger();
        QCOMPARE(form->CurrentFileName(), current);
        form->actNew->trigger();
        QCOMPARE(form->CurrentFileName(), created);
        QCOMPARE(form->windowTitle(), Title(created));
    }

    void shortcuts_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("standard");
        QTest::newRow("Ctrl+N") << "actNew" << int(Qt::Key_N) << int(QKeySequence::New);
        QTest::newRow("Ctrl+O") << "actOpenFile" << int(Qt::Key_O) << int(QKeySequence::Open);
        QTest::newRow("Ctrl+S") << "actSave" << int(Qt::Key_S) << int(QKeySequence::Save);
        QTest::newRow("Ctrl+P") << "actPrint" << int(Qt::Key_P) << int(QKeySequence::Print);
    }
    void shortcuts() {
        QFETCH(QString, action);
        QFETCH(int, key);
        QFETCH(int, standard);
        auto form = h_->MakeForm();
        form->PrintCommand = [] {};
        QAction* command = action == "actNew"        ? form->actNew
                           : action == "actOpenFile" ? form->actOpenFile
                           : action == "actSave"     ? form->actSave
                                                     : form->actPrint;
        QCOMPARE(command->shortcut(), QKeySequence(QKeySequence::StandardKey(standard)));
        const QString caption = command->text();
        QVERIFY(!caption.contains(u'&'));
        form->show();
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        QSignalSpy triggered(command, &QAction::triggered);
        QTest::keyClick(form.get(), Qt::Key(key), Qt::ControlModifier);
        QTRY_COMPARE(triggered.count(), 1);
        QCOMPARE(command->text(), caption);
    }

    // The generic error box adds a full stop only after a character that
    // sorts after "." in code page 1251.
    void errorBoxText_data() {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::newRow("letter") << "File not found" << "File not found.";
        QTest::newRow("digit") << "I/O error 28" << "I/O error 28.";
        QTest::newRow("Cyrillic") << "Ошибка" << "Ошибка.";
        QTest::newRow("slash sorts after") << "a/" << "a/.";
        QTest::newRow("full stop already") << "Unable to write." << "Unable to write.";
        QTest::newRow("closing parenthesis") << "Cannot create file (x)" << "Cannot create file (x)";
        QTest::newRow("comma") << "a," << "a,";
        QTest::newRow("empty") << QString() << QString();
    }
    void errorBoxText() {
        QFETCH(QString, message);
        QFETCH(QString, shown);
        QCOMPARE(GenericErrorText(message), shown);
    }

    // A UTF-8 file is read as such only when the operator says so, asked
    // before anything else changes; Cancel leaves the table as it was.
    void openAsksBeforeReadingUtf8_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QStringList>("asked");
        QTest::addColumn<QByteArray>("name"); // row 1 after the Open
        const QByteArray utf8 = QStringLiteral("Пиво").toUtf8();
        const QByteArray cp1251 = Cp1251::encode(u"Пиво");
        QTest::newRow("yes: UTF-8")
            << utf8 << int(QMessageBox::Yes) << QStringList{"utf-8", "save"} << cp1251;
        QTest::newRow("no: code page 1251")
            << utf8 << int(QMessageBox::No) << QStringList{"utf-8", "save"} << utf8;
        QTest::newRow("cancel: not opened")
            << utf8 << int(QMessageBox::Cancel) << QStringList{"utf-8"} << QByteArray("edited");
        QTest::newRow("code page 1251: not asked")
            << cp1251 << int(QMessageBox::Cancel) << QStringList{"save"} << cp1251;
    }
    void openAsksBeforeReadingUtf8() {
        QFETCH(QByteArray, bytes);
        QFETCH(int, answer);
        QFETCH(QStringList, asked);
        QFETCH(QByteArray, name);
        QVERIFY(WriteAll(Path("lims.txt"), bytes + "\t\r\n"));
        auto form = h_->MakeForm();
        form->Table()->SetCell(1, 1, "edited");
        form->Table()->SetModified(true);
        h_->Utf8Answer = QMessageBox::StandardButton(answer);
        form->OpenDialog1 = [&](const QString&) { return Path("lims.txt"); };
        form->actOpenFile->trigger();
        QCOMPARE(h_->Asked, asked);
        QCOMPARE(form->Table()->Cell(1, 1), name);
        const bool opened = answer != QMessageBox::Cancel || !asked.contains("utf-8");
        QCOMPARE(form->CurrentFileName(), opened ? Path("lims.txt") : QStringLiteral("Новый.txt"));
        // Read as UTF-8 it is saved in code page 1251: unsaved until then.
        QCOMPARE(form->Table()->Modified(), !opened || answer == QMessageBox::Yes);
    }

    // At start the file last worked on is code page 1251 unless the operator
    // chose UTF-8 for it at Open (kept beside its name) or it starts with a
    // byte order mark: a 1251 name that happens to be valid UTF-8 stays.
    void encodingAtStart_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("kept");    // [Config] FileEncoding
        QTest::addColumn<QByteArray>("name"); // row 1
        QTest::addColumn<bool>("modified");
        const QByteArray utf8 = QStringLiteral("Пиво").toUtf8();
        const QByteArray cp1251 = Cp1251::encode(u"Пиво");
        const QByteArray degrees = Cp1251::encode(u"Т°20"); // D2 B0 32 30: valid UTF-8
        QTest::newRow("1251 that is valid UTF-8") << degrees << QString() << degrees << false;
        QTest::newRow("UTF-8 not chosen") << utf8 << QString() << utf8 << false;
        QTest::newRow("UTF-8 chosen at Open") << utf8 << "UTF-8" << cp1251 << true;
        QTest::newRow("chosen, no longer UTF-8") << cp1251 << "UTF-8" << cp1251 << false;
        QTest::newRow("unknown value") << utf8 << "KOI8-R" << utf8 << false;
        QTest::newRow("byte order mark") << "\xEF\xBB\xBF" + utf8 << QString() << cp1251 << true;
    }
    void encodingAtStart() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, kept);
        QFETCH(QByteArray, name);
        QFETCH(bool, modified);
        QVERIFY(WriteAll(Path("lims.txt"), bytes + "\t\r\n"));
        QVERIFY(WriteAll(h_->IniPath(), ReadAll(QStringLiteral(":/Savro2.Ini.default"))));
        TIniPlus ini(h_->IniPath());
        ini.WriteText("Config", "FileName", Path("lims.txt"));
        if (!kept.isEmpty())
            ini.WriteText("Config", "FileEncoding", kept);
        auto form = h_->MakeForm();
        QCOMPARE(form->Table()->Cell(1, 1), name);
        QCOMPARE(form->Table()->Modified(), modified);
        QVERIFY(h_->Asked.isEmpty());
    }

    // UTF-8 chosen at Open holds across a restart until the table is saved,
    // in code page 1251 from then on.
    void utf8ChoiceLastsUntilSaved() {
        QVERIFY(WriteAll(Path("lims.txt"), QStringLiteral("Пиво\t\r\n").toUtf8()));
        const QByteArray cp1251 = Cp1251::encode(u"Пиво");
        const auto kept = [this] {
            return TIniPlus(h_->IniPath()).ReadText("Config", "FileEncoding", "-");
        };
        {
            auto form = h_->MakeForm();
            form->OpenDialog1 = [&](const QString&) { return Path("lims.txt"); };
            form->actOpenFile->trigger();
            QCOMPARE(kept(), QStringLiteral("UTF-8"));
            h_->Answer = QMessageBox::No;
            QVERIFY(form->close());
        }
        auto form = h_->MakeForm();
        QCOMPARE(form->Table()->Cell(1, 1), cp1251);
        form->actSaveExecute();
        QCOMPARE(kept(), QString());
        QCOMPARE(ReadAll(Path("lims.txt")).left(4), cp1251);
    }

    // Open with unsaved edits: Yes saves them to the current file, never to
    // the file being opened.
    void openOffersToSaveToTheCurrentFile_data() {
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("saved");
        QTest::newRow("yes") << int(QMessageBox::Yes) << true;
        QTest::newRow("no") << int(QMessageBox::No) << false;
    }
    void openOffersToSaveToTheCurrentFile() {
        QFETCH(int, answer);
        QFETCH(bool, saved);
        const QByteArray chosen = "chosen" + QByteArray(30, '\t') + "\r\n";
        QVERIFY(WriteAll(Path("chosen.txt"), chosen));
        auto form = h_->MakeForm();
        form->Table()->SetCell(1, 1, "edited");
        form->Table()->SetModified(true);
        h_->Answer = QMessageBox::StandardButton(answer);
        form->OpenDialog1 = [&](const QString&) { return Path("chosen.txt"); };
        form->actOpenFile->trigger();
        QCOMPARE(h_->Asked, QStringList{"save"});
        QVERIFY2(h_->Errors.isEmpty(), qPrintable(h_->Errors.join(u'\n')));
        QCOMPARE(ReadAll(Path("chosen.txt")), chosen);
        QCOMPARE(QFile::exists(Path("Новый.txt")), saved);
        if (saved)
            QCOMPARE(ReadAll(Path("Новый.txt")), "edited" + QByteArray(30, '\t') + "\r\n");
        QCOMPARE(form->Table()->Cell(1, 1), QByteArray("chosen"));
        QCOMPARE(form->windowTitle(), Title(Path("chosen.txt")));
        QVERIFY(!form->Table()->Modified());
    }
};

QTEST_MAIN(TstWindowDetails)
#include "tst_windowdetails.moc"
