#include "controls/GenericError.h"

#include "config/Cp1251.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>

QString ApplicationTitle() {
    const QString base = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    if (base.isEmpty())
        return base;
    return base.left(1) + base.mid(1).toLower();
}

QString GenericErrorText(const QString& message) {
    if (message.isEmpty())
        return message;
    const QByteArray last = Cp1251::encode(message.right(1));
    if (!last.isEmpty() && static_cast<unsigned char>(last.at(0)) > '.')
        return message + u'.';
    return message;
}

void ShowGenericError(QWidget* parent, const QString& message) {
    QMessageBox::critical(parent, ApplicationTitle(), GenericErrorText(message));
}

QString ExceptionMessage(const std::exception& e) {
    return QString::fromUtf8(e.what());
}
