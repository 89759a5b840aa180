// rollcall-close-request WINDOW: closes a window as a window manager's close box does,
// for scripts that drive the program under a bare X server.

#include "tests/support/closerequest.h"

#include <QByteArray>

#include <cstdio>

int main(int argc, char *argv[])
{
    bool ok = false;
    const quint32 window = argc == 2 ? QByteArray(argv[1]).toUInt(&ok, 0) : 0;
    if (!ok) {
        std::fprintf(stderr, "usage: rollcall-close-request WINDOW-ID\n");
        return 2;
    }
    QString error;
    if (!requestWindowClose(window, &error)) {
        std::fprintf(stderr, "rollcall-close-request: %s\n", qPrintable(error));
        return 1;
    }
    return 0;
}
