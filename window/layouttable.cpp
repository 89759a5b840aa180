#include "window/layouttable.h"

#include <QtGlobal>
#include <cstring>

namespace layout {

namespace {
int toPixels(int twips)
{
    return (twips + TwipsPerPixel / 2) / TwipsPerPixel;
}
} // namespace

QRect pixels(const Placement &p)
{
    return QRect(toPixels(p.left), toPixels(p.top), toPixels(p.width), toPixels(p.height));
}

const Placement &placementOf(const char *name)
{
    for (const Placement &p : Controls) {
        if (std::strcmp(p.name, name) == 0)
            return p;
    }
    qFatal("no placement for control %s", name);
}

QSize clientSize()
{
    return QSize(toPixels(ClientWidthTwips), toPixels(ClientHeightTwips));
}

} // namespace layout
