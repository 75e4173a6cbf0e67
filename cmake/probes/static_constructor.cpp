// Must not pass as driver code: a global object with a constructor.
#include "platform/kernel.h"
struct ProbeCounter {
    ProbeCounter() : Value(KeGetCurrentIrql()) {}
    int Value;
};
ProbeCounter ProbeGlobal;
