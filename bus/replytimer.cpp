#include "bus/replytimer.h"

void ReplyTimer::expire()
{
    m_active = false;
    emit timeout();
}
