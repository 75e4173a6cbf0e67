// Must not build as 64-bit driver code: a routine the first x64 kernel lacks,
// called through the headers' own declaration, which the Server 2003 SP1
// headers leave out (IoUnregisterPlugPlayNotificationEx came with Windows 7).
// Rejected: 'IoUnregisterPlugPlayNotificationEx' was not declared
#include "platform/kernel.h"

NTSTATUS ProbeNewerDeclaration(PVOID entry)
{
    return IoUnregisterPlugPlayNotificationEx(entry);
}
