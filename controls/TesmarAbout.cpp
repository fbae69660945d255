#include "controls/TesmarAbout.h"

#include "resources/MyConsts.h"

#include <QApplication>
#include <QDir>
#include <QDesktopServices>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>

namespace {

QLabel* MakeLabel(QWidget* parent, const char* name, int x, int y) {
    auto* label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->move(x, y);
    return label;
}

void SetLabelText(QLabel* label, const QString& text) {
    label->setText(text);
    label->adjustSize();
}

} // namespace

TfrmTAbout::TfrmTAbout(QWidget* parent)
    : QDialog(parent), FOpener([](const QUrl& url) { return QDesktopServices::openUrl(url); }) {
    setObjectName(QStringLiteral("frmTAbout"));
    setFixedSize(556, 233);
    QPalette face = palette();
    face.setColor(QPalette::Window, face.color(QPalette::Button));
    setPalette(face);

    QFont boldFont = QApplication::font();
    boldFont.setPointSize(8);
    boldFont.setBold(true);
    setFont(boldFont);

    GroupBox1 = new QGroupBox(this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setGeometry(16, 8, 521, 169);
    GroupBox1->setMouseTracking(true);
    GroupBox1->installEventFilter(this);

    Image1 = new QLabel(GroupBox1);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(8, 8, 150, 137);
    Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Image1->setPixmap(QPixmap(QStringLiteral(":/images/logo.png")));

    lblProgName = MakeLabel(GroupBox1, "lblProgName", 176, 24);
    lblCompanyName = MakeLabel(GroupBox1, "lblCompanyName", 176, 64);
    lblTel = MakeLabel(GroupBox1, "lblTel", 176, 96);
    // Version and settings file: plain weight, below the lines they belong to.
    QFont plainFont = boldFont;
    plainFont.setBold(false);
    lblVersion = MakeLabel(GroupBox1, "lblVersion", 176, 42);
    lblSettings = MakeLabel(GroupBox1, "lblSettings", 176, 113);
    lblVersion->setFont(plainFont);
    lblSettings->setFont(plainFont);
    lblSite = MakeLabel(GroupBox1, "lblSite", 176, 132);
    lblemail = MakeLabel(GroupBox1, "lblemail", 296, 132);

    QFont linkFont = boldFont;
    linkFont.setUnderline(true);
    for (QLabel* link : {lblSite, lblemail}) {
        link->setFont(linkFont);
        QPalette palette = link->palette();
        palette.setColor(QPalette::WindowText, Qt::blue);
        link->setPalette(palette);
        link->setMouseTracking(true);
        link->installEventFilter(this);
    }
    SetLabelText(lblSite, MyConsts::sMakerSite);
    SetLabelText(lblemail, MyConsts::sMakerEmail);

    Button1 = new QPushButton(QStringLiteral("OK"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(232, 200, 75, 25);
    Button1->setDefault(true);
    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
}

TfrmTAbout::~TfrmTAbout() { RestorePointer(); }

void TfrmTAbout::SetCaption(const QString& caption) { setWindowTitle(caption); }
void TfrmTAbout::SetProgName(const QString& text) { SetLabelText(lblProgName, text); }
void TfrmTAbout::SetVersion(const QString& version) {
    SetLabelText(lblVersion, QStringLiteral("Версия %1").arg(version));
}

void TfrmTAbout::SetSettingsPath(const QString& path) {
    const QString native = QDir::toNativeSeparators(path);
    const int room = GroupBox1->width() - lblSettings->x() - 8;
    const QString label = QStringLiteral("Настройки: ");
    const QFontMetrics metrics(lblSettings->font());
    SetLabelText(lblSettings, label + metrics.elidedText(native, Qt::ElideMiddle,
                                                         room - metrics.horizontalAdvance(label)));
    lblSettings->setToolTip(native);
}

void TfrmTAbout::SetCompanyName(const QString& text) { SetLabelText(lblCompanyName, text); }
void TfrmTAbout::SetTel(const QString& text) { SetLabelText(lblTel, text); }

void TfrmTAbout::SetUrlOpener(TUrlOpener opener) { FOpener = std::move(opener); }

void TfrmTAbout::lblemailClick() {
    if (FOpener)
        FOpener(QUrl(QStringLiteral("mailto:") + MyConsts::sMakerEmail));
}

void TfrmTAbout::lblSiteClick() {
    if (FOpener)
        FOpener(QUrl(QStringLiteral("http://") + MyConsts::sMakerSite));
}

void TfrmTAbout::lblemailMouseMove() {
    const QCursor* current = QGuiApplication::overrideCursor();
    if (!current) {
        QGuiApplication::setOverrideCursor(Qt::PointingHandCursor);
        FHandPushed = true;
    } else if (current->shape() != Qt::PointingHandCursor) {
        QGuiApplication::changeOverrideCursor(Qt::PointingHandCursor);
    }
}

void TfrmTAbout::GroupBox1MouseMove() {
    const QCursor* current = QGuiApplication::overrideCursor();
    if (!current || current->shape() != Qt::PointingHandCursor)
        return;
    if (FHandPushed)
        RestorePointer();
    else
        QGuiApplication::changeOverrideCursor(Qt::ArrowCursor);
}

void TfrmTAbout::RestorePointer() {
    if (!FHandPushed)
        return;
    FHandPushed = false;
    QGuiApplication::restoreOverrideCursor();
}

void TfrmTAbout::done(int result) {
    // The hand must not outlive the box.
    RestorePointer();
    QDialog::done(result);
}

bool TfrmTAbout::eventFilter(QObject* watched, QEvent* event) {
    const bool isLink = watched == lblSite || watched == lblemail;
    if (event->type() == QEvent::MouseMove) {
        if (isLink) {
            lblemailMouseMove();
            return true;
        }
        if (watched == GroupBox1) {
            const auto* mouse = static_cast<QMouseEvent*>(event);
            if (!GroupBox1->childAt(mouse->position().toPoint()))
                GroupBox1MouseMove();
        }
    } else if (isLink && event->type() == QEvent::MouseButtonRelease) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        auto* label = static_cast<QLabel*>(watched);
        if (mouse->button() == Qt::LeftButton && label->rect().contains(mouse->position().toPoint())) {
            if (label == lblemail)
                lblemailClick();
            else
                lblSiteClick();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}
