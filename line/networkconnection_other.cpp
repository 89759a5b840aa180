#include "line/networkconnection.h"

// No way to set them here that is known to work: the system's own keepalive times stand.
void NetworkConnection::setKeepAliveTimes() {}
