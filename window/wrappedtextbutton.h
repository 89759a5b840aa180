#pragma once

#include <QPushButton>

// A push button whose caption wraps over several lines, as a long caption must on a
// narrow button. text() stays the whole caption, so screen readers and tests see it.
class WrappedTextButton : public QPushButton
{
    Q_OBJECT
public:
    explicit WrappedTextButton(const QString &text, QWidget *parent = nullptr);

    // Where the caption is drawn, wrapped and centred.
    QRect captionArea() const;

protected:
    void paintEvent(QPaintEvent *event) override;
};
