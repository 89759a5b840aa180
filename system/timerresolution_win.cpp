#include "system/timerresolution.h"

#include <windows.h>
// After windows.h, whose types it uses.
#include <mmsystem.h>

void FineTimerResolution::ask(bool fine)
{
    if (fine)
        ::timeBeginPeriod(1);
    else
        ::timeEndPeriod(1);
}
