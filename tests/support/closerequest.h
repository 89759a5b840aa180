#pragma once

#include <QString>

// Asks a top-level window to close the way a window manager's close box does: a
// WM_DELETE_WINDOW client message. Under a bare X server there is no window manager
// to do it, and "xdotool windowclose" destroys the window instead, which the program
// never hears about as a close.
//
// Fails, with the reason in `error`, when the window does not take part in the
// WM_DELETE_WINDOW protocol: a window manager would then kill the client, which is
// not the close being tested.
bool requestWindowClose(quint32 windowId, QString *error = nullptr);
