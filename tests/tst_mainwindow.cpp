#include "analyser/OpSavro.h"
#include "config/Cp1251.h"
#include "config/iniplus.h"
#include "controls/numedit.h"
#include "register/ClGrid.h"
#include "register/LinkStatusBar.h"
#include "register/RegisterToolBar.h"
#include "register/Unit1.h"
#include "results/ResultsTable.h"
#include "serial/CPort.h"
#include "support/BoxAnswerer.h"
#include "support/FormHarness.h"
#include "support/TestFiles.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QtTest>

#include <cerrno>

#include <memory>

namespace {

QByteArray DefaultIni() {
    return ReadAll(QStringLiteral(":/Savro2.Ini.default"));
}

} // namespace

// The window with its prompts answered by the test.
class TstMainWindow : public QObject {
    Q_OBJECT

    std::unique_ptr<TFormHarness> h_;

    std::unique_ptr<TForm1> MakeForm() { return h_->MakeForm(); }
    QString Path(const QString& name) const { return h_->Path(name); }

private slots:
    void init() {
        h_.reset(); // the old folder is left before the new one is entered
        h_ = std::make_unique<TFormHarness>();
        QVERIFY(h_->IsValid());
    }

    void firstRunSeedsConfigurationAndShowsEmptyTable() {
        auto form = MakeForm();
        QCOMPARE(ReadAll(h_->IniPath()), DefaultIni());
        QCOMPARE(form->windowTitle(), QStringLiteral("Savro-2.Регистрация измерений(Новый.txt)"));
        QCOMPARE(form->OpSavro1->Port, QStringLiteral("COM1"));
        QCOMPARE(form->NumberEdit1->Value(), 0.0);
        QCOMPARE(form->Table()->RowCount(), 2);
        QCOMPARE(form->Table()->Cell(0, 1), QByteArray("1"));
        QCOMPARE(form->Table()->Cell(1, 0), QByteArray("\xcf\xf0\xee\xe1\xe0")); // Проба
        for (int c = 5; c < TResultsTable::ColCount; ++c)
            QCOMPARE(form->Table()->ColVisible(c), c == 5 || c == 6 || c == 7 || c == 9);
        // The 27 indicator entries, a divider and "График".
        QCOMPARE(form->mnView->actions().size(), 29);
        QCOMPARE(form->mnView->actions().last(), form->actChart);
        QCOMPARE(form->actChart->text(), QStringLiteral("График"));
        // Titles are shown without their trailing blanks.
        QCOMPARE(form->mnView->actions()[1]->text(), QStringLiteral("Спирт,%"));
        QVERIFY(h_->Errors.isEmpty());
    }

    void closeWritesConfigurationBack() {
        {
            auto form = MakeForm();
            form->OpSavro1->Port = "ttyUSB3";
            form->NumberEdit1->SetValue(300.5); // halves go to the even neighbour
            form->mnView->actions()[0]->trigger(); // hide column 5
            form->mnView->actions()[3]->trigger(); // show column 8
            QVERIFY(form->close());
        }
        const TIniPlus ini(h_->IniPath());
        QCOMPARE(ini.ReadText("Config", "COM", ""), QStringLiteral("ttyUSB3"));
        QCOMPARE(ini.ReadText("Config", "FileName", ""), QStringLiteral("Новый.txt"));
        QCOMPARE(ini.ReadText("Config", "DeviceNumber", ""), QStringLiteral("300"));
        QCOMPARE(ini.ReadText("View", "5", ""), QStringLiteral("0"));
        QCOMPARE(ini.ReadText("View", "8", ""), QStringLiteral("1"));
        QCOMPARE(ini.ReadText("Columns", "6", ""), QStringLiteral("Спирт,%"));
        QVERIFY(h_->Asked.isEmpty());
        // The next start takes them up.
        auto again = MakeForm();
        QCOMPARE(again->OpSavro1->Port, QStringLiteral("ttyUSB3"));
        QCOMPARE(again->NumberEdit1->Value(), 300.0);
        QVERIFY(!again->Table()->ColVisible(5));
        QVERIFY(again->Table()->ColVisible(8));
    }

    void closePrompt_data() {
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("closes");
        QTest::addColumn<bool>("saved");
        QTest::newRow("cancel keeps the window") << int(QMessageBox::Cancel) << false << false;
        QTest::newRow("no closes without saving") << int(QMessageBox::No) << true << false;
        QTest::newRow("yes saves and closes") << int(QMessageBox::Yes) << true << true;
    }
    void closePrompt() {
        QFETCH(int, answer);
        QFETCH(bool, closes);
        QFETCH(bool, saved);
        auto form = MakeForm();
        const QByteArray iniBefore = ReadAll(h_->IniPath());
        form->Table()->SetCell(1, 1, "Porter");
        form->Table()->SetModified(true);
        h_->Answer = QMessageBox::StandardButton(answer);
        QCOMPARE(form->close(), closes);
        QCOMPARE(h_->Asked, QStringList{"close"});
        QCOMPARE(QFile::exists(Path("Новый.txt")), saved);
        if (!closes)
            QCOMPARE(ReadAll(h_->IniPath()), iniBefore);
    }

    void newNamesTheFirstFreeFile() {
        QVERIFY(WriteAll(Path("Новый1.txt"), ""));
        QVERIFY(WriteAll(Path("Новый2.txt"), ""));
        auto form = MakeForm();
        form->Table()->SetCell(1, 1, "kvass");
        form->actNewExecute();
        QCOMPARE(form->CurrentFileName(), QStringLiteral("Новый3.txt"));
        QCOMPARE(form->windowTitle(), QStringLiteral("Savro-2.Регистрация измерений(Новый3.txt)"));
        QVERIFY(form->Table()->Cell(1, 1).isEmpty());
        // With a folder in the current name the new file goes beside it.
        QDir().mkdir(Path("sub"));
        QVERIFY(WriteAll(Path("sub/Новый1.txt"), ""));
        form->actSaveAsExecute(); // cancelled: nothing happens
        QCOMPARE(form->CurrentFileName(), QStringLiteral("Новый3.txt"));
        form->SaveDialog1 = [&](const QString&) { return Path("sub/day.txt"); };
        form->actSaveAsExecute();
        form->actNewExecute();
        QCOMPARE(form->CurrentFileName(), Path("sub/Новый2.txt"));
        QVERIFY(!QFile::exists(Path("sub/Новый2.txt")));
    }

    // Save as onto the current file chosen by its full name: the name is
    // the chosen one from then on, so a start from another folder finds the
    // same table.
    void saveAsOntoTheCurrentFileTakesTheChosenName() {
        auto form = MakeForm();
        form->Table()->SetCell(1, 1, "kvass");
        form->Doc.EditStarted();
        form->Doc.FlushEdits();
        QVERIFY(form->Doc.Recovery().Exists());
        form->SaveDialog1 = [&](const QString&) { return Path("Новый.txt"); };
        form->actSaveAsExecute();
        QCOMPARE(form->CurrentFileName(), Path("Новый.txt"));
        QCOMPARE(form->windowTitle(),
                 QStringLiteral("Savro-2.Регистрация измерений(%1)").arg(Path("Новый.txt")));
        QCOMPARE(TIniPlus(h_->IniPath()).ReadText("Config", "FileName", ""), Path("Новый.txt"));
        QVERIFY(!form->Table()->Modified());
        // Saved, the same file's copy is gone, and nothing was set aside.
        QCOMPARE(QDir(form->Doc.Recovery().Folder()).entryList({"*.txt"}, QDir::Files),
                 QStringList());
        form.reset();
        QVERIFY(QDir().mkdir(Path("elsewhere")));
        QVERIFY(QDir::setCurrent(Path("elsewhere")));
        auto again = MakeForm();
        QCOMPARE(again->Table()->Cell(1, 1), QByteArray("kvass"));
        QVERIFY(h_->Asked.isEmpty());
    }

    void newAndOpenOfferToSaveUnsavedEdits() {
        auto form = MakeForm();
        form->Table()->SetModified(true);
        form->actNewExecute();
        QCOMPARE(h_->Asked, QStringList{"save"});
        // Answered No: still unsaved, so closing asks again.
        QVERIFY(form->Table()->Modified());
        form->OpenDialog1 = [](const QString&) { return QString(); };
        form->actOpenFileExecute(); // cancelled: no prompt
        QCOMPARE(h_->Asked.size(), 1);
        form->OpenDialog1 = [&](const QString&) { return Path("missing.txt"); };
        form->actOpenFileExecute();
        QCOMPARE(h_->Asked, (QStringList{"save", "save"}));
        QCOMPARE(form->windowTitle(),
                 QStringLiteral("Savro-2.Регистрация измерений(%1)").arg(Path("missing.txt")));
        QVERIFY(!form->Table()->Modified());
        QVERIFY(h_->Errors.isEmpty());
        QVERIFY(form->close());
        QCOMPARE(h_->Asked.size(), 2);
    }

    // Unsaved changes show as "*" before the title, whatever made or ended them.
    void titleMarksUnsavedChanges() {
        auto form = MakeForm();
        const QString title = QStringLiteral("Savro-2.Регистрация измерений(%1)");
        QCOMPARE(form->windowTitle(), title.arg("Новый.txt"));
        form->MainGrid->edit(form->Table()->index(0, 0)); // an opened editor counts, as always
        QCOMPARE(form->windowTitle(), "*" + title.arg("Новый.txt"));
        form->actSave->trigger();
        QCOMPARE(form->windowTitle(), title.arg("Новый.txt"));
        form->Table()->SetModified(true); // as a new measurement does
        QCOMPARE(form->windowTitle(), "*" + title.arg("Новый.txt"));
        form->OpenDialog1 = [&](const QString&) { return Path("other.txt"); };
        form->actOpenFileExecute(); // saving answered No
        QCOMPARE(form->windowTitle(), title.arg(Path("other.txt")));
        QVERIFY(h_->Errors.isEmpty());
    }

    void failedSaveInsideNewStopsNew() {
        auto form = MakeForm();
        form->SaveDialog1 = [&](const QString&) { return Path("nofolder/x.txt"); };
        form->actSaveAs->trigger(); // fails: neither the name nor the title changes
        QCOMPARE(h_->Errors.size(), 1);
        QCOMPARE(form->windowTitle(), QStringLiteral("Savro-2.Регистрация измерений(Новый.txt)"));
        QCOMPARE(form->CurrentFileName(), QStringLiteral("Новый.txt"));
        form->OpenDialog1 = [&](const QString&) { return Path("nofolder/x.txt"); };
        form->actOpenFile->trigger(); // a name without a file: an empty table
        QCOMPARE(h_->Errors.size(), 1);
        form->Table()->SetModified(true);
        h_->Answer = QMessageBox::Yes;
        form->Table()->SetCell(1, 1, "kept");
        form->actNew->trigger();
        QCOMPARE(h_->Errors.size(), 2);
        QVERIFY(h_->Errors[1].endsWith(QStringLiteral("|Invalid filename.")));
        QCOMPARE(form->Table()->Cell(1, 1), QByteArray("kept"));
        QCOMPARE(form->CurrentFileName(), Path("nofolder/x.txt"));
    }

    void unreadableResultsFileAtStart() {
        if (!QFile::exists("/proc/self/mem"))
            QSKIP("no /proc/self/mem here");
        // Exists, opens, and fails to read.
        QByteArray ini = DefaultIni();
        ini.replace("FileName=\xcd\xee\xe2\xfb\xe9.txt", "FileName=/proc/self/mem");
        QVERIFY(WriteAll(h_->IniPath(), ini));
        TBoxAnswerer boxes;
        auto form = std::make_unique<TForm1>(nullptr, h_->IniPath());
        QCOMPARE(boxes.Texts.size(), 1);
        QVERIFY(!boxes.Texts[0].isEmpty());
        QCOMPARE(form->windowTitle(), QStringLiteral("Savro-2.Регистрация измерений(/proc/self/mem)"));
        // Everything before the load was set up.
        QCOMPARE(form->mnView->actions().size(), 29);
    }

    // The box: the port and the system's reason, on a line of its own; under
    // the table: what to do about it.
    void portThatCannotBeOpened_data() {
        QTest::addColumn<QString>("port");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("hint");
        QTest::newRow("missing") << "no-such-port" << ENOENT << "Проверьте, что адаптер";
        QTest::newRow("not a port") << "plain-file" << ENOTTY << "Это не последовательный порт";
    }

    void portThatCannotBeOpened() {
        QFETCH(QString, port);
        QFETCH(int, error);
        QFETCH(QString, hint);
        if (port == QLatin1String("plain-file"))
            QVERIFY(WriteAll(Path(port), "not a port"));
        auto form = MakeForm();
        form->OpSavro1->Port = Path(port);
        form->actOpr->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!form->OpSavro1->Active(), 10000);
        QCOMPARE(h_->Errors, QStringList{"Ошибка|Ошибка открытия порта " + Path(port) + u'\n' +
                                         TCustomComPort::ReasonText(error)});
        QVERIFY2(form->StatusBar1->NoticeLabel->text().startsWith(hint),
                 qPrintable(form->StatusBar1->NoticeLabel->text()));
        // Said in the status bar too; a port the operator chose is not retried.
        QCOMPARE(form->StatusBar1->StateLabel->text(), QStringLiteral("Порт недоступен"));
        QVERIFY(!form->Link.Retrying());
        QVERIFY(form->NumberEdit1->isEnabled());
        QCOMPARE(form->actOpr->toolTip(), QStringLiteral("Включить опрос"));
    }

    void fileMenuAndHints() {
        auto form = MakeForm();
        QStringList captions;
        for (QAction* a : form->mnFile->actions())
            captions << a->text();
        QCOMPARE(captions, (QStringList{"Новый", "Открыть", "Сохранить", "Сохранить как",
                                        "Печать", "Предварительный просмотр", "Отчёт…", "", "Архив",
                                        "Архив лаборатории…"}));
        QCOMPARE(form->actOpr->toolTip(), QStringLiteral("Включить опрос"));
        QCOMPARE(form->NumberEdit1->toolTip(), QStringLiteral("Номер прибора"));
        // The bare number says what it is, just before the field.
        QLabel* label = form->ToolBar1->NumberLabel;
        QCOMPARE(label->text(), QStringLiteral("Прибор №"));
        QCOMPARE(label->buddy(), form->NumberEdit1);
        QList<QWidget*> bar;
        for (QAction* item : form->ToolBar1->actions())
            bar << form->ToolBar1->widgetForAction(item);
        QCOMPARE(bar.indexOf(label) + 1, bar.indexOf(form->NumberEdit1));
        QCOMPARE(form->mnAbout->text(), QStringLiteral("О программе"));
    }

    void portMenuChoiceSetsThePort() {
        auto form = MakeForm();
        QMenu& menu = *form->MenuPort;
        menu.addAction("ttyS7")->setObjectName("ttyS7");
        form->PortItemClick(menu.actions().last());
        QCOMPARE(form->OpSavro1->Port, QStringLiteral("ttyS7"));
    }
};

QTEST_MAIN(TstMainWindow)
#include "tst_mainwindow.moc"
