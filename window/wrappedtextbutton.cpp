#include "window/wrappedtextbutton.h"

#include <QStyleOptionButton>
#include <QStylePainter>

WrappedTextButton::WrappedTextButton(const QString &text, QWidget *parent)
    : QPushButton(text, parent)
{}

void WrappedTextButton::paintEvent(QPaintEvent * /*event*/)
{
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    const QString caption = option.text;
    option.text.clear(); // the style draws the bevel and focus; the caption is ours
    painter.drawControl(QStyle::CE_PushButton, option);

    QRect textArea = captionArea();
    if (isDown())
        textArea.translate(style()->pixelMetric(QStyle::PM_ButtonShiftHorizontal, &option, this),
                           style()->pixelMetric(QStyle::PM_ButtonShiftVertical, &option, this));
    painter.drawItemText(textArea, Qt::AlignCenter | Qt::TextWordWrap, option.palette, isEnabled(),
                         caption, QPalette::ButtonText);
}

QRect WrappedTextButton::captionArea() const
{
    QStyleOptionButton option;
    initStyleOption(&option);
    // Across, the style's margin keeps the words off the bevel; down, three lines of a
    // long caption need all the height there is inside the frame.
    const int across = style()->pixelMetric(QStyle::PM_ButtonMargin, &option, this) / 2 + 1;
    const int down = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, this) + 1;
    return rect().adjusted(across, down, -across, -down);
}
