#include "controls/ElidedLabel.h"

#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>
#include <QStyle>
#include <QStyleOption>

TElidedLabel::TElidedLabel(QWidget* parent) : QLabel(parent) {}

QSize TElidedLabel::minimumSizeHint() const {
    // Room for "…" and a letter or two.
    const QMargins m = contentsMargins();
    return {fontMetrics().horizontalAdvance(QStringLiteral("Оп…")) + m.left() + m.right(),
            QLabel::minimumSizeHint().height()};
}

bool TElidedLabel::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip && toolTip().isEmpty()) {
        const auto* help = static_cast<QHelpEvent*>(event);
        if (fontMetrics().horizontalAdvance(text()) > contentsRect().width())
            QToolTip::showText(help->globalPos(), text(), this);
        else
            QToolTip::hideText();
        return true;
    }
    return QLabel::event(event);
}

void TElidedLabel::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    QStyleOption option;
    option.initFrom(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
    const QRect area = contentsRect();
    const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, area.width());
    style()->drawItemText(&painter, area, int(alignment()), palette(), isEnabled(), shown,
                          foregroundRole());
}
