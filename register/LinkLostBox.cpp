#include "register/LinkLostBox.h"

void TLinkLostBox::Show(QWidget* parent, const QString& caption, const QString& text) {
    if (!Box_) {
        Box_ = new QMessageBox(QMessageBox::Critical, caption, text, QMessageBox::Ok, parent);
        Box_->setAttribute(Qt::WA_DeleteOnClose);
        Box_->setModal(true);
    }
    Box_->setWindowTitle(caption);
    Box_->setText(text);
    Box_->show();
}

void TLinkLostBox::Close() {
    if (Box_)
        Box_->close();
}
