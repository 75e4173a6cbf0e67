// The hosted kernel's export table, as a loaded image's import binding uses
// it: by module and name, routines in Windows' convention, variables by
// address.
#include "platform/hosted/exports.h"
#include "platform/hosted/hosted.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <utility>

namespace {

void* AddressOf(const char* module, const char* name)
{
    const hosted::KernelExport* entry = hosted::FindKernelExport(module, name);
    return entry ? entry->Address : nullptr;
}

TEST(KernelExports, FoundByModuleWithoutRegardToItsCase)
{
    EXPECT_EQ(AddressOf("ntoskrnl.exe", "IoCreateDevice"),
              reinterpret_cast<void*>(&IoCreateDevice));
    EXPECT_EQ(AddressOf("NTOSKRNL.EXE", "IoCreateDevice"),
              reinterpret_cast<void*>(&IoCreateDevice));
    // The i686 image names the HAL "HAL.dll".
    EXPECT_EQ(AddressOf("HAL.dll", "KfAcquireSpinLock"),
              reinterpret_cast<void*>(&KfAcquireSpinLock));
}

TEST(KernelExports, ARoutineOfAnotherModuleOrNameIsNotFound)
{
    EXPECT_EQ(AddressOf("hal.dll", "IoCreateDevice"), nullptr);
    EXPECT_EQ(AddressOf("ntoskrnl.exe", "KfAcquireSpinLock"), nullptr);
    EXPECT_EQ(AddressOf("ntoskrnl.exe", "iocreatedevice"), nullptr);
    EXPECT_EQ(AddressOf("ntoskrnl.exe", "IoCreateDeviceSecure"), nullptr);
    EXPECT_EQ(AddressOf("win32k.sys", "IoCreateDevice"), nullptr);
}

TEST(KernelExports, EachNameOncePerModule)
{
    size_t count = 0;
    const hosted::KernelExport* exports = hosted::KernelExports(&count);
    std::set<std::pair<std::string, std::string>> seen;
    for (size_t i = 0; i < count; i++) {
        ASSERT_NE(exports[i].Address, nullptr) << exports[i].Name;
        EXPECT_TRUE(seen.emplace(exports[i].Module, exports[i].Name).second) << exports[i].Name;
    }
    EXPECT_EQ(count, 86u);
}

// A data import's slot holds the variable's address; the image reads the
// variable through it (extern PEPROCESS PsInitialSystemProcess). NT's
// PsThreadType variable holds the type itself: Wine's driver tests, which
// run on Windows, take the export's address with MmGetSystemRoutineAddress
// and pass *address to ObReferenceObjectByHandle
// (dlls/ntoskrnl.exe/tests/driver.c, pPsThreadType).
TEST(KernelExports, AVariableIsExportedByItsAddress)
{
    hosted::Kernel kernel;
    auto* process = static_cast<PEPROCESS*>(AddressOf("ntoskrnl.exe", "PsInitialSystemProcess"));
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(*process, IoGetCurrentProcess());
    auto* threadType = static_cast<POBJECT_TYPE*>(AddressOf("ntoskrnl.exe", "PsThreadType"));
    ASSERT_NE(threadType, nullptr);
    EXPECT_EQ(*threadType, *PsThreadType);
    auto* exports = static_cast<PSE_EXPORTS*>(AddressOf("ntoskrnl.exe", "SeExports"));
    ASSERT_NE(exports, nullptr);
    EXPECT_NE((*exports)->SeLocalSystemSid, nullptr);
    auto* multibyte = static_cast<BOOLEAN*>(AddressOf("ntoskrnl.exe", "NlsMbOemCodePageTag"));
    ASSERT_NE(multibyte, nullptr);
    EXPECT_EQ(*multibyte, FALSE);
}

// The image calls memcpy and memset as C routines of Windows' convention.
TEST(KernelExports, MemoryRoutinesTakeTheImagesConvention)
{
    typedef void*(CDECL * Memcpy)(void*, const void*, SIZE_T);
    typedef void*(CDECL * Memset)(void*, int, SIZE_T);
    auto copy = reinterpret_cast<Memcpy>(AddressOf("ntoskrnl.exe", "memcpy"));
    auto fill = reinterpret_cast<Memset>(AddressOf("ntoskrnl.exe", "memset"));
    ASSERT_NE(copy, nullptr);
    ASSERT_NE(fill, nullptr);
    char target[8] = "-------";
    EXPECT_EQ(fill(target, 'x', 3), target);
    EXPECT_STREQ(target, "xxx----");
    EXPECT_EQ(copy(target + 3, "abc", 3), target + 3);
    EXPECT_STREQ(target, "xxxabc-");
}

// x64's KeAcquireSpinLock and KeReleaseSpinLock: the lock is taken at
// DISPATCH_LEVEL, the IRQL before is returned and restored on release.
// Microsoft: KeAcquireSpinLockRaiseToDpc "returns the current IRQL at the
// time the routine is called"; "the effect ... is identical to that of
// KeAcquireSpinLock".
TEST(KernelExports, RaiseToDpcAcquireAndReleaseAsKeAcquireSpinLock)
{
    hosted::Kernel kernel;
    typedef KIRQL(NTAPI * Acquire)(PKSPIN_LOCK);
    typedef VOID(NTAPI * Release)(PKSPIN_LOCK, KIRQL);
    auto acquire =
        reinterpret_cast<Acquire>(AddressOf("ntoskrnl.exe", "KeAcquireSpinLockRaiseToDpc"));
    auto release = reinterpret_cast<Release>(AddressOf("ntoskrnl.exe", "KeReleaseSpinLock"));
    ASSERT_NE(acquire, nullptr);
    ASSERT_NE(release, nullptr);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL apc;
    KeRaiseIrql(APC_LEVEL, &apc);
    KIRQL old = acquire(&lock);
    EXPECT_EQ(old, APC_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    release(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeLowerIrql(apc);
}

#if defined(__i386__)
// Windows keeps an i386 stack aligned to 4 bytes only; Linux code expects 16
// and places 16-byte locals by it. A routine of Windows' convention realigns.
__attribute__((noinline)) BOOLEAN NTAPI LocalIsAligned(ULONG)
{
    alignas(16) volatile char local[16];
    local[0] = 0;
    uintptr_t address = uintptr_t(local);
    asm("" : "+r"(address)); // not known to the optimiser
    return (address & 15) == 0;
}

TEST(CallingConventions, ARoutineCalledOnAStackAlignedTo4RealignsIt)
{
    BOOLEAN aligned;
    // Entered with the stack 8 bytes off the 16 the Linux convention keeps.
    asm volatile("mov %%esp, %%esi\n\t"
                 "and $-16, %%esp\n\t"
                 "sub $4, %%esp\n\t"
                 "push $0\n\t"
                 "call *%1\n\t"
                 "mov %%esi, %%esp\n\t"
                 : "=a"(aligned)
                 : "D"(&LocalIsAligned)
                 : "esi", "ecx", "edx", "memory");
    EXPECT_TRUE(aligned);
}
#endif

} // namespace
