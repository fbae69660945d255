#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QString>

class QWidget;

// The box telling the operator that polling stopped on a port error. It is
// modal but runs no event loop of its own, so polling goes on reopening the
// port behind it, and it is closed from outside once polling has resumed.
// Its pointer is guarded: the operator may have closed it first.
class TLinkLostBox {
public:
    // A second error while the box is up replaces its text.
    void Show(QWidget* parent, const QString& caption, const QString& text);
    // Closes the box if it is still up.
    void Close();
    QMessageBox* Box() const { return Box_; }

private:
    QPointer<QMessageBox> Box_;
};
