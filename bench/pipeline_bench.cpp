// The per-report path, from the read completion's AppendReceivedBytes to the
// DeliveryDpc handing the record to the class service, with the grid and the
// filter on. Reports the pool calls and the host heap allocations made
// during the run: neither the driver nor the hosted kernel (its DPC queue and
// spin locks) allocates on this path, so anything but 0 fails the benchmark.
#include "pipeline/pipeline.h"
#include "sim/harness.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<unsigned long long> g_heapAllocations{0};
} // namespace

// The replacement pair below is matched (malloc and free), but GCC checks each
// inlined delete against the operator new it cannot see through.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size)
{
    g_heapAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* block = std::malloc(size ? size : 1))
        return block;
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept
{
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept
{
    std::free(block);
}

namespace {

struct Sink {
    ULONGLONG Records = 0;
    LONGLONG Checksum = 0;
};
Sink g_sink;

VOID NTAPI CountingClassService(PDEVICE_OBJECT, PMOUSE_INPUT_DATA start, PMOUSE_INPUT_DATA end,
                                PULONG consumed)
{
    for (PMOUSE_INPUT_DATA r = start; r != end; ++r)
        g_sink.Checksum += r->LastX ^ r->LastY;
    g_sink.Records += ULONG(end - start);
    *consumed = ULONG(end - start);
}

// A calibrated device with a non-trivial grid, as after a parameter read.
void Calibrate(DeviceExtension* device)
{
    TouchSettings& s = device->Settings;
    s.LLX = 180, s.LLY = 150, s.LRX = 1890, s.LRY = 130;
    s.URX = 1910, s.URY = 1880, s.ULX = 160, s.ULY = 1900;
    s.GridLLX = 110, s.GridLLY = 95, s.GridLRX = 1950, s.GridLRY = 105;
    s.GridURX = 1940, s.GridURY = 1960, s.GridULX = 98, s.GridULY = 1950;
    InvalidateCornerMaps(device);
    for (int i = 0; i < 25; ++i) {
        s.GridX[i] = (i * 7) % 23 - 11;
        s.GridY[i] = (i * 5) % 19 - 9;
    }
    device->GridEnabled = 1;
}

void BM_ReportToClassService(benchmark::State& state)
{
    hosted::Kernel kernel;
    {
        sim::PipelineRig rig(kernel, false);
        SmoothingFilter = InitialSmoothingFilter;
        DeviceExtension& control = rig.ControlExt();
        control.ClassService = CountingClassService;
        control.Filter = 1;
        control.DoubleClickSpeed = 2;
        control.DoubleClickSize = 100;
        DeviceExtension* device = ExtensionOf(rig.AddTouchDevice());
        Calibrate(device);

        // A stroke of 64 reports, the last a pen-up, then the next stroke.
        UCHAR reports[64][5];
        for (int i = 0; i < 64; ++i) {
            auto bytes = sim::TouchReportBytes(200 + 25 * i, 1800 - 20 * i, i != 63);
            std::copy(bytes.begin(), bytes.end(), reports[i]);
        }

        g_sink = Sink{};
        ULONGLONG poolCallsBefore =
            kernel.Pool().Allocations + kernel.Pool().FailedAllocations + kernel.Pool().Frees;
        unsigned long long heapBefore = g_heapAllocations.load();
        size_t next = 0;
        for (auto _ : state) {
            KIRQL old;
            KeAcquireSpinLock(&device->Lock, &old);
            RtlCopyMemory(device->ReadBuffer, reports[next], 5);
            AppendReceivedBytes(device, 5);
            KeReleaseSpinLock(&device->Lock, old); // ParseDpc, then DeliveryDpc
            next = (next + 1) % 64;
        }
        unsigned long long heapAllocations = g_heapAllocations.load() - heapBefore;
        ULONGLONG poolCalls = kernel.Pool().Allocations + kernel.Pool().FailedAllocations +
                              kernel.Pool().Frees - poolCallsBefore;
        benchmark::DoNotOptimize(g_sink.Checksum);
        state.counters["pool_calls"] = double(poolCalls);
        state.counters["heap_allocations"] = double(heapAllocations);
        state.counters["records"] = double(g_sink.Records);
        state.SetItemsProcessed(int64_t(state.iterations()));
        if (poolCalls != 0)
            state.SkipWithError("the per-report path called the pool");
        if (heapAllocations != 0)
            state.SkipWithError("the per-report path allocated from the host heap");
        if (g_sink.Records != ULONGLONG(state.iterations()))
            state.SkipWithError("a report did not reach the class service");
    }
}
BENCHMARK(BM_ReportToClassService);
// Fixed counts for bench/count_instructions.sh: the difference between the
// two runs is the cost of 100,000 reports, without the set-up.
BENCHMARK(BM_ReportToClassService)->Iterations(20000);
BENCHMARK(BM_ReportToClassService)->Iterations(120000);

} // namespace

BENCHMARK_MAIN();
