#pragma once

#include <QDialog>
#include <QString>
#include <QUrl>

#include <functional>

class QGroupBox;
class QLabel;
class QPushButton;

// The about box: program title, the maker's lines, a mail link and a web
// link. Created for one showing and discarded afterwards.
class TfrmTAbout : public QDialog {
    Q_OBJECT

public:
    // Hands an address to the desktop (mail program, web browser).
    using TUrlOpener = std::function<bool(const QUrl&)>;

    explicit TfrmTAbout(QWidget* parent = nullptr);
    ~TfrmTAbout() override;

    void SetCaption(const QString& caption);
    void SetProgName(const QString& text);
    // Under the program title: "Версия <version>".
    void SetVersion(const QString& version);
    // Where Savro2.Ini lives; shortened in the middle to fit the frame, whole
    // in the tool tip.
    void SetSettingsPath(const QString& path);
    void SetCompanyName(const QString& text);
    void SetTel(const QString& text);

    // QDesktopServices::openUrl unless replaced; its result is not looked at.
    void SetUrlOpener(TUrlOpener opener);

    void lblemailClick();
    void lblSiteClick();
    // The mouse is over either link.
    void lblemailMouseMove();
    // The mouse is over the frame where no picture or label covers it.
    void GroupBox1MouseMove();

    void done(int result) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void RestorePointer();

    QGroupBox* GroupBox1 = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* lblProgName = nullptr;
    QLabel* lblVersion = nullptr;
    QLabel* lblSettings = nullptr;
    QLabel* lblCompanyName = nullptr;
    QLabel* lblTel = nullptr;
    QLabel* lblSite = nullptr;
    QLabel* lblemail = nullptr;
    QPushButton* Button1 = nullptr;
    TUrlOpener FOpener;
    // The hand pointer was pushed by this box and must be popped again.
    bool FHandPushed = false;
};
