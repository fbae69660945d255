#pragma once

#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QTimer>

// Answers every modal message box that opens while it lives, recording its
// caption and text: for boxes the test cannot reach through a hook.
class TBoxAnswerer : public QObject {
    Q_OBJECT
public:
    explicit TBoxAnswerer(QMessageBox::StandardButton answer = QMessageBox::Ok);

    QStringList Captions;
    QStringList Texts;

private:
    void Answer();

    QMessageBox::StandardButton answer_;
    QTimer timer_;
};
