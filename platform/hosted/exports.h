// What the hosted kernel exports to a driver image it loads: each routine or
// variable by the module and name the image imports it from, so the loader
// binds an import table as the NT loader does, by name.
#pragma once

#include <cstddef>

namespace hosted {

struct KernelExport {
    const char* Module; // "ntoskrnl.exe" or "hal.dll"
    const char* Name;
    void* Address; // a routine's entry, or a variable's address
};

// The export of that name from that module (module compared without regard
// to case), or null when the hosted kernel does not provide it.
const KernelExport* FindKernelExport(const char* module, const char* name);

// Every export, each name once per module; *count is how many.
const KernelExport* KernelExports(size_t* count);

} // namespace hosted
