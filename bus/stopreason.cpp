#include "bus/stopreason.h"

#include "line/linetrace.h"

QString StopReason::otherMasterSummary()
{
    return tr("another device is polling this line");
}

QString StopReason::otherMasterText() const
{
    return tr("%1 (seen: %2); stop the controller or disconnect it, then try again")
        .arg(otherMasterSummary(), QString::fromLatin1(linetrace::hex(otherMaster)));
}
