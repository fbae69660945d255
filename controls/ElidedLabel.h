#pragma once

#include <QLabel>

// A one-line label that gives way to its neighbours: narrower than its text
// it ends the text with "…" instead of cutting it off mid-letter, and shows
// the whole text as its tooltip when it has none of its own.
class TElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit TElidedLabel(QWidget* parent = nullptr);

    QSize minimumSizeHint() const override;

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};
