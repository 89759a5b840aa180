#include "line/networkconnection.h"

// No way to set them here that is known to work: the system's own keepalive times stand.
void NetworkConnection::setKeepAliveTimes() {}

// Nothing known to tell it here: a drain takes bytes handed to the system as arrived.
qint64 NetworkConnection::unacknowledged() const
{
    return 0;
}
