#include "tests/support/screenshot.h"

#include <QColor>
#include <QSet>

namespace {
constexpr int DarkGray = 100; // text is near black; frames and backgrounds are lighter
}

Screenshot::Screenshot(const QString &path) : m_image(path)
{
    if (!m_image.isNull())
        m_image = m_image.convertToFormat(QImage::Format_RGB32);
}

int Screenshot::distinctColours(const QRect &area) const
{
    const QRect r = area.intersected(m_image.rect());
    QSet<QRgb> colours;
    for (int y = r.top(); y <= r.bottom(); ++y) {
        for (int x = r.left(); x <= r.right(); ++x)
            colours.insert(m_image.pixel(x, y));
    }
    return int(colours.size());
}

int Screenshot::textLines(const QRect &area) const
{
    const QRect r = area.intersected(m_image.rect());
    int lines = 0;
    bool inLine = false;
    for (int y = r.top(); y <= r.bottom(); ++y) {
        bool dark = false;
        for (int x = r.left(); x <= r.right() && !dark; ++x)
            dark = qGray(m_image.pixel(x, y)) < DarkGray;
        if (dark && !inLine)
            ++lines;
        inLine = dark;
    }
    return lines;
}
