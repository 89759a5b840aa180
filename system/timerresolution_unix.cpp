#include "system/timerresolution.h"

// The timers wake the event loop on time without being asked.
void FineTimerResolution::ask(bool /*fine*/) {}
