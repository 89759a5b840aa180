#pragma once

#include <QImage>
#include <QRect>
#include <QString>

// What a screenshot of the window shows, without OCR: its size, whether it was painted
// at all, and how many lines of text stand in an area (a list's entries, say).
class Screenshot
{
public:
    explicit Screenshot(const QString &path);

    bool isNull() const { return m_image.isNull(); }
    QSize size() const { return m_image.size(); }
    // A window that never painted is one flat colour.
    int distinctColours(const QRect &area) const;
    // Runs of pixel rows holding dark (text) pixels, separated by rows without any.
    int textLines(const QRect &area) const;

private:
    QImage m_image;
};
