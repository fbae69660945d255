#include "controls/TesmarAbout.h"
#include "register/Unit1.h"
#include "resources/MyConsts.h"
#include "resources/ProgramVersion.h"
#include "support/FormHarness.h"

#include <QDir>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>

namespace {

QLabel* Label(const TfrmTAbout& box, const char* name) {
    return box.findChild<QLabel*>(QLatin1String(name));
}

void MoveOver(QWidget* widget, QPoint pos) {
    QMouseEvent move(QEvent::MouseMove, pos, widget->mapToGlobal(pos), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(widget, &move);
}

Qt::CursorShape Pointer() {
    const QCursor* cursor = QGuiApplication::overrideCursor();
    return cursor ? cursor->shape() : Qt::ArrowCursor;
}

bool HasOverride() { return QGuiApplication::overrideCursor() != nullptr; }

// What the main window does when it opens the box.
void FillAsWindow(TfrmTAbout& box) {
    box.SetCaption(MyConsts::sAbout);
    box.SetProgName(MyConsts::sProgramTitle);
    box.SetCompanyName(MyConsts::sCompany);
    box.SetTel(MyConsts::sTelephone);
}

} // namespace

class TstAbout : public QObject {
    Q_OBJECT

private slots:
    void cleanup();
    void layoutAndTexts();
    void linksOpenTheirAddresses_data();
    void linksOpenTheirAddresses();
    void pointerOverLinksAndBack();
    void pointerRestoredWhenBoxCloses();
    void secondOpeningShowsTheSame();
    void versionAndSettingsLines();
};

void TstAbout::cleanup() {
    while (QGuiApplication::overrideCursor())
        QGuiApplication::restoreOverrideCursor();
}

void TstAbout::layoutAndTexts() {
    TfrmTAbout box;
    FillAsWindow(box);
    QCOMPARE(box.windowTitle(), QStringLiteral("О программе"));
    QCOMPARE(box.size(), QSize(556, 233));
    QCOMPARE(Label(box, "lblProgName")->text(), QStringLiteral("Savro-2.Регистрация измерений"));
    QCOMPARE(Label(box, "lblCompanyName")->text(), MyConsts::sCompany);
    QCOMPARE(Label(box, "lblTel")->text(), MyConsts::sTelephone);
    QCOMPARE(Label(box, "lblSite")->text(), MyConsts::sMakerSite);
    QCOMPARE(Label(box, "lblemail")->text(), MyConsts::sMakerEmail);

    QCOMPARE(box.findChild<QGroupBox*>(QStringLiteral("GroupBox1"))->geometry(), QRect(16, 8, 521, 169));
    QCOMPARE(Label(box, "lblProgName")->pos(), QPoint(176, 24));
    QCOMPARE(Label(box, "lblSite")->pos(), QPoint(176, 132));
    QCOMPARE(Label(box, "lblemail")->pos(), QPoint(296, 132));
    const QLabel* image = Label(box, "Image1");
    QCOMPARE(image->geometry(), QRect(8, 8, 150, 137));
    QCOMPARE(image->pixmap().size(), QSize(150, 134));

    auto* button = box.findChild<QPushButton*>(QStringLiteral("Button1"));
    QCOMPARE(button->text(), QStringLiteral("OK"));
    QCOMPARE(button->geometry(), QRect(232, 200, 75, 25));

    QVERIFY(Label(box, "lblTel")->font().bold());
    const QLabel* site = Label(box, "lblSite");
    QVERIFY(site->font().bold() && site->font().underline());
    QCOMPARE(site->palette().color(site->foregroundRole()), QColor(Qt::blue));
    QVERIFY(!Label(box, "lblTel")->font().underline());

    // OK closes with the result OK.
    box.show();
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(box.result(), int(QDialog::Accepted));
    QVERIFY(!box.isVisible());
}

void TstAbout::linksOpenTheirAddresses_data() {
    QTest::addColumn<QString>("link");
    QTest::addColumn<QUrl>("target");
    QTest::newRow("mail") << "lblemail" << QUrl(QStringLiteral("mailto:") + MyConsts::sMakerEmail);
    QTest::newRow("web") << "lblSite" << QUrl(QStringLiteral("http://") + MyConsts::sMakerSite);
}

void TstAbout::linksOpenTheirAddresses() {
    QFETCH(QString, link);
    QFETCH(QUrl, target);

    TfrmTAbout box;
    QList<QUrl> opened;
    box.SetUrlOpener([&opened](const QUrl& url) {
        opened << url;
        return false; // a failing desktop changes nothing
    });
    box.show();
    QTest::mouseClick(Label(box, link.toLatin1().constData()), Qt::LeftButton);
    QCOMPARE(opened, QList<QUrl>{target});
    QVERIFY(box.isVisible()); // a link does not close the box
    QTest::mouseClick(box.findChild<QGroupBox*>(QStringLiteral("GroupBox1")), Qt::LeftButton, {},
                      QPoint(400, 20));
    QCOMPARE(opened.size(), 1);
}

void TstAbout::pointerOverLinksAndBack() {
    TfrmTAbout box;
    FillAsWindow(box);
    box.show();
    auto* frame = box.findChild<QGroupBox*>(QStringLiteral("GroupBox1"));
    QLabel* site = Label(box, "lblSite");
    QLabel* mail = Label(box, "lblemail");

    QVERIFY(!HasOverride());
    MoveOver(site, QPoint(2, 2));
    QCOMPARE(Pointer(), Qt::PointingHandCursor);
    MoveOver(mail, QPoint(2, 2));
    QCOMPARE(Pointer(), Qt::PointingHandCursor);

    // Over a plain label or the picture the hand stays.
    MoveOver(frame, Label(box, "lblProgName")->geometry().center());
    QCOMPARE(Pointer(), Qt::PointingHandCursor);
    MoveOver(frame, Label(box, "Image1")->geometry().center());
    QCOMPARE(Pointer(), Qt::PointingHandCursor);

    // The free area of the frame brings the default pointer back.
    MoveOver(frame, QPoint(500, 150));
    QVERIFY(!HasOverride());
    MoveOver(frame, QPoint(500, 150));
    QVERIFY(!HasOverride());

    // A pointer someone else set is changed, not dropped.
    QGuiApplication::setOverrideCursor(Qt::IBeamCursor);
    MoveOver(mail, QPoint(2, 2));
    QCOMPARE(Pointer(), Qt::PointingHandCursor);
    MoveOver(frame, QPoint(500, 150));
    QCOMPARE(Pointer(), Qt::ArrowCursor);
    QVERIFY(HasOverride());
}

void TstAbout::pointerRestoredWhenBoxCloses() {
    {
        TfrmTAbout box;
        QTimer::singleShot(0, &box, [&box] {
            MoveOver(box.findChild<QLabel*>(QStringLiteral("lblemail")), QPoint(1, 1));
            QCOMPARE(Pointer(), Qt::PointingHandCursor);
            box.reject(); // the window's own close control
        });
        box.exec();
        QVERIFY(!HasOverride());
    }
    {
        auto box = std::make_unique<TfrmTAbout>();
        MoveOver(box->findChild<QLabel*>(QStringLiteral("lblSite")), QPoint(1, 1));
        QVERIFY(HasOverride());
        box.reset(); // discarded without being closed
        QVERIFY(!HasOverride());
    }
}

void TstAbout::secondOpeningShowsTheSame() {
    QStringList first;
    QStringList second;
    for (QStringList* texts : {&first, &second}) {
        TfrmTAbout box;
        FillAsWindow(box);
        QList<QUrl> opened;
        box.SetUrlOpener([&opened](const QUrl& url) {
            opened << url;
            return true;
        });
        box.show();
        for (const QLabel* label : box.findChildren<QLabel*>())
            *texts << label->objectName() + QLatin1Char('=') + label->text();
        *texts << box.windowTitle();
        QTest::mouseClick(Label(box, "lblemail"), Qt::LeftButton);
        MoveOver(Label(box, "lblSite"), QPoint(1, 1));
        QCOMPARE(opened.size(), 1);
        QTest::mouseClick(box.findChild<QPushButton*>(QStringLiteral("Button1")), Qt::LeftButton);
        QVERIFY(!HasOverride());
    }
    QCOMPARE(second, first);
}

// What the window puts under the title and above the links: the program's
// version and the settings file it reads, too long a path shortened to fit
// the frame and whole in the tool tip.
void TstAbout::versionAndSettingsLines() {
    TFormHarness harness;
    QVERIFY(harness.IsValid());
    auto form = harness.MakeForm();
    QCOMPARE(form->ConfigFilePath(), harness.IniPath());
    const QString longPath = QStringLiteral("/home/") + QString(120, u'л') + QStringLiteral("/Savro2.Ini");
    bool seen = false;
    QTimer::singleShot(0, form.get(), [&] {
        auto* box = form->findChild<TfrmTAbout*>();
        if (!box)
            return;
        seen = true;
        // A failed check returns early; the box must close all the same.
        const auto close = qScopeGuard([box] { box->accept(); });
        const QLabel* version = Label(*box, "lblVersion");
        const QLabel* settings = Label(*box, "lblSettings");
        const QRect frame = box->findChild<QGroupBox*>(QStringLiteral("GroupBox1"))->rect();
        QCOMPARE(version->text(), QStringLiteral("Версия ") + ProgramVersion());
        QCOMPARE(settings->text(), QStringLiteral("Настройки: ")
                                       + QDir::toNativeSeparators(harness.IniPath()));
        QVERIFY(version->y() > Label(*box, "lblProgName")->geometry().bottom());
        QVERIFY(version->geometry().bottom() < Label(*box, "lblCompanyName")->y());
        QVERIFY(settings->y() > Label(*box, "lblTel")->geometry().bottom());
        QVERIFY(settings->geometry().bottom() < Label(*box, "lblSite")->y());
        box->SetSettingsPath(longPath);
        QCOMPARE(settings->toolTip(), longPath);
        QVERIFY(settings->text().endsWith(QStringLiteral("/Savro2.Ini")));
        QVERIFY2(frame.contains(settings->geometry()), qPrintable(settings->text()));
    });
    form->mnAbout->trigger();
    QVERIFY(seen);
}

QTEST_MAIN(TstAbout)
#include "tst_about.moc"
