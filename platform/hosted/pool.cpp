// Hosted pool: tagged, tracked allocations with fault injection, and the
// debugger output.
#include "platform/hosted/debug_format.h"
#include "platform/hosted/state.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace hosted {

namespace {

// Fresh blocks are filled with this, so a read of bytes nobody wrote shows up.
constexpr UCHAR FreshFill = 0xCD;
constexpr UCHAR FreedFill = 0xDD;

const char* const FaultKindNames[FaultKindCount] = {"alloc", "irp",    "device",
                                                    "link",  "thread", "key"};

FaultCounts g_lastKernelCalls{};

bool ShouldFail(Kernel::State& k, ULONG tag)
{
    ULONGLONG sequence = ++k.AllocationSequence;
    if (k.FailAt != 0 && sequence == k.FailAt) {
        k.FailAt = 0;
        return true;
    }
    return k.FailedTags.count(tag) != 0;
}

// DbgPrint's arguments, read from a variadic list of Windows' convention.
struct DebugArguments {
#if defined(__x86_64__)
    __builtin_ms_va_list List;
#else
    va_list List;
#endif
    template <class T> T Next()
    {
        return __builtin_va_arg(List, T);
    }
};

} // namespace

const char* FaultKindName(FaultKind kind)
{
    return FaultKindNames[size_t(kind)];
}

bool FaultKindNamed(const std::string& name, FaultKind* kind)
{
    for (size_t i = 0; i < FaultKindCount; ++i)
        if (name == FaultKindNames[i]) {
            *kind = FaultKind(i);
            return true;
        }
    return false;
}

NeighbourCalls::NeighbourCalls()
{
    ++CurrentThread().NeighbourCalls;
}

NeighbourCalls::~NeighbourCalls()
{
    --CurrentThread().NeighbourCalls;
}

bool InjectFault(FaultKind kind)
{
    if (CurrentThread().NeighbourCalls > 0)
        return false;
    Kernel::State& k = K();
    std::lock_guard<std::mutex> guard(k.FaultLock);
    size_t i = size_t(kind);
    if (++k.FaultCalls[i] != k.FaultAt[i])
        return false;
    k.FaultAt[i] = 0;
    return true;
}

void Kernel::FailNthCall(FaultKind kind, ULONGLONG n)
{
    std::lock_guard<std::mutex> guard(state_->FaultLock);
    size_t i = size_t(kind);
    state_->FaultAt[i] = n == 0 ? 0 : state_->FaultCalls[i] + n;
}

FaultCounts Kernel::InjectableCalls() const
{
    std::lock_guard<std::mutex> guard(state_->FaultLock);
    return state_->FaultCalls;
}

void RememberInjectableCalls(Kernel::State& k)
{
    std::lock_guard<std::mutex> guard(k.FaultLock);
    g_lastKernelCalls = k.FaultCalls;
}

FaultCounts InjectableCallsOfLastKernel()
{
    return g_lastKernelCalls;
}

PoolStats Kernel::Pool() const
{
    std::lock_guard<std::mutex> guard(state_->PoolLock);
    return state_->Stats;
}

void Kernel::FailNthAllocation(ULONGLONG n)
{
    std::lock_guard<std::mutex> guard(state_->PoolLock);
    state_->FailAt = n == 0 ? 0 : state_->AllocationSequence + n;
}

void Kernel::FailAllocationsWithTag(ULONG tag)
{
    std::lock_guard<std::mutex> guard(state_->PoolLock);
    state_->FailedTags.insert(tag);
}

void Kernel::ClearAllocationFaults()
{
    std::lock_guard<std::mutex> guard(state_->PoolLock);
    state_->FailAt = 0;
    state_->FailedTags.clear();
}

} // namespace hosted

using namespace hosted;

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    KIRQL irql = CurrentThread().Irql;
    if (irql > DISPATCH_LEVEL || (PoolType == PagedPool && irql > APC_LEVEL))
        VerifierFail("irql", "ExAllocatePoolWithTag(%s, %zu, '%s') at IRQL %d",
                     PoolType == PagedPool ? "PagedPool" : "NonPagedPool", NumberOfBytes,
                     TagText(Tag).c_str(), irql);
    // Driver Verifier stops the system here: bug check 0xC4, parameter 0.
    if (NumberOfBytes == 0)
        VerifierFail("pool", "ExAllocatePoolWithTag(%s, 0, '%s'): a zero-byte allocation",
                     PoolType == PagedPool ? "PagedPool" : "NonPagedPool", TagText(Tag).c_str());
    Kernel::State& k = K();
    bool injected = InjectFault(FaultKind::Alloc);
    std::lock_guard<std::mutex> guard(k.PoolLock);
    if (ShouldFail(k, Tag) || injected) {
        k.Stats.FailedAllocations++;
        return nullptr;
    }
    void* block = std::malloc(NumberOfBytes ? NumberOfBytes : 1);
    if (!block) {
        k.Stats.FailedAllocations++;
        return nullptr;
    }
    std::memset(block, FreshFill, NumberOfBytes);
    k.Blocks[block] = PoolBlock{NumberOfBytes, Tag, PoolType, k.AllocationSequence};
    k.Stats.Allocations++;
    k.Stats.OutstandingBlocks++;
    k.Stats.OutstandingBytes += NumberOfBytes;
    if (k.Stats.OutstandingBytes > k.Stats.PeakBytes)
        k.Stats.PeakBytes = k.Stats.OutstandingBytes;
    return block;
}

static void FreeBlock(PVOID P, const ULONG* expectedTag, const char* call)
{
    // Read once: the thread's IRQL cannot change while it is in here, and
    // GCC's UBSan takes a second thread-local read after the lock below for
    // a null load.
    const KIRQL irql = CurrentThread().Irql;
    if (irql > DISPATCH_LEVEL)
        VerifierFail("irql", "%s at IRQL %d", call, irql);
    Kernel::State& k = K();
    PoolBlock block;
    {
        std::lock_guard<std::mutex> guard(k.PoolLock);
        auto found = k.Blocks.find(P);
        if (found == k.Blocks.end())
            VerifierFail("pool", "%s(%p): not an allocated pool block", call, P);
        block = found->second;
        if (expectedTag && *expectedTag != block.Tag)
            VerifierFail("pool", "%s(%p, '%s'): the block was allocated with tag '%s'", call, P,
                         TagText(*expectedTag).c_str(), TagText(block.Tag).c_str());
    }
    // Paged pool may be freed at APC_LEVEL at most, as it is allocated.
    if (block.Type == PagedPool && irql > APC_LEVEL)
        VerifierFail("irql", "%s(%p) of paged pool ('%s') at IRQL %d", call, P,
                     TagText(block.Tag).c_str(), irql);
    CheckNothingQueuedIn(P, block.Size, call);
    {
        std::lock_guard<std::mutex> guard(k.PoolLock);
        k.Blocks.erase(P);
        k.Stats.Frees++;
        k.Stats.OutstandingBlocks--;
        k.Stats.OutstandingBytes -= block.Size;
    }
    std::memset(P, FreedFill, block.Size);
    std::free(P);
}

VOID NTAPI ExFreePool(PVOID P)
{
    FreeBlock(P, nullptr, "ExFreePool");
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    FreeBlock(P, &Tag, "ExFreePoolWithTag");
}

ULONG CDECL DbgPrint(PCSTR Format, ...)
{
    char text[1024];
    DebugText out(text, sizeof text);
#if defined(__x86_64__)
    DebugArguments args;
    __builtin_ms_va_start(args.List, Format);
    FormatDebugText(out, Format, args);
    __builtin_ms_va_end(args.List);
#else
    DebugArguments args;
    va_start(args.List, Format);
    FormatDebugText(out, Format, args);
    va_end(args.List);
#endif
    Kernel::State& k = K();
    std::function<void(const std::string&)> sink;
    {
        std::lock_guard<std::mutex> guard(k.DebugLock);
        k.Debug.emplace_back(text);
        sink = k.DebugSink;
    }
    if (sink)
        sink(text);
    return STATUS_SUCCESS;
}

} // extern "C"
