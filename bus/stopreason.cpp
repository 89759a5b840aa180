#include "bus/stopreason.h"

#include "line/linetrace.h"

QString StopReason::otherMasterText() const
{
    return tr("another device is polling this line (seen: %1); stop the controller or "
              "disconnect it, then try again")
        .arg(QString::fromLatin1(linetrace::hex(otherMaster)));
}
