#include "wrappedtextbutton.h"

#include <QStyleOptionButton>
#include <QStylePainter>

WrappedTextButton::WrappedTextButton(const QString &text, QWidget *parent)
    : QPushButton(text, parent)
{}

void WrappedTextButton::paintEvent(QPaintEvent *)
{
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    const QString caption = option.text;
    option.text.clear(); // the style draws the bevel and focus; the caption is ours
    painter.drawControl(QStyle::CE_PushButton, option);

    const int margin = style()->pixelMetric(QStyle::PM_ButtonMargin, &option, this) / 2 + 1;
    QRect textArea = rect().adjusted(margin, margin, -margin, -margin);
    if (isDown())
        textArea.translate(style()->pixelMetric(QStyle::PM_ButtonShiftHorizontal, &option, this),
                           style()->pixelMetric(QStyle::PM_ButtonShiftVertical, &option, this));
    painter.drawItemText(textArea, Qt::AlignCenter | Qt::TextWordWrap, option.palette, isEnabled(),
                         caption, QPalette::ButtonText);
}
