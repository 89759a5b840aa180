#pragma once

#include <QRect>

// Where every control of the window stands, in twips as the window was designed.
// Radio buttons are placed relative to their frame.
namespace layout {

constexpr int TwipsPerPixel = 15; // 1440 twips per inch at 96 dots per inch

struct Placement
{
    const char *name;
    int left;
    int top;
    int width;
    int height;
};

constexpr int ClientWidthTwips = 10215;
constexpr int ClientHeightTwips = 3585;

// In tab order.
constexpr Placement Controls[] = {
    {"Frame1", 360, 240, 2175, 2535},    {"Option1", 180, 480, 1635, 255},
    {"Option2", 180, 840, 1635, 255},    {"Option3", 180, 1200, 1635, 255},
    {"Option4", 180, 1560, 1635, 255},   {"Option5", 180, 1920, 1635, 255},
    {"Frame2", 2760, 240, 2175, 2535},   {"Option9", 180, 840, 1635, 255},
    {"Option10", 180, 480, 1635, 255},   {"Command1", 5220, 360, 1635, 735},
    {"Command2", 5220, 1320, 1635, 855}, {"List1", 7440, 480, 2055, 2205},
    {"Label1", 7620, 120, 1875, 255},    {"Label2", 1860, 3240, 6615, 255},
};

// Not of the original form: two lines, between the frames and the status line, for what
// the bus showed beside the readers (an echo set aside, replies that are no reader's).
// Hidden while there is nothing to show.
constexpr Placement FindingsLines{"findingsLabel", 360, 2790, 9135, 450};

QRect pixels(const Placement &p);
const Placement &placementOf(const char *name);
QSize clientSize();

} // namespace layout
