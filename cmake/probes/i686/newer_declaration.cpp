// Must not build as 32-bit driver code: a routine Windows 2000 lacks, called
// through the headers' own declaration, which the Windows 2000 headers leave
// out (KeFlushQueuedDpcs came with Windows XP SP2).
// Rejected: 'KeFlushQueuedDpcs' was not declared
#include "platform/kernel.h"

VOID ProbeNewerDeclaration()
{
    KeFlushQueuedDpcs();
}
