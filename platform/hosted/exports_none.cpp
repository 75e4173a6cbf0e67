// Stands in for the hosted kernel's export table until it is built: a
// loaded image then binds nothing, and its load fails naming its first
// import. Compiled only while platform/hosted/exports.cpp does not exist.
#include "platform/hosted/exports.h"

namespace hosted {

const KernelExport* FindKernelExport(const char* module, const char* name)
{
    (void)module;
    (void)name;
    return nullptr;
}

} // namespace hosted
