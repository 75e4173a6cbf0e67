// Reports through a real hosted serial port and reader thread to the class
// service: reports per wall-clock second, and the hosted-time latency from a
// report's arrival at the port to its record (the goal: no read timeout ever
// stands between them).
#include "pipeline/pipeline.h"
#include "serial/serial.h"
#include "sim/harness.h"

#include <benchmark/benchmark.h>

namespace {

struct Sink {
    ULONGLONG Records = 0;
    LONGLONG LastDelivery = 0;
};
Sink g_sink;

VOID NTAPI TimingClassService(PDEVICE_OBJECT, PMOUSE_INPUT_DATA start, PMOUSE_INPUT_DATA end,
                              PULONG consumed)
{
    g_sink.Records += ULONG(end - start);
    g_sink.LastDelivery = hosted::Kernel::Current().Now();
    *consumed = ULONG(end - start);
}

void BM_ReportThroughPortAndReader(benchmark::State& state)
{
    hosted::Kernel kernel;
    {
        sim::PipelineRig rig(kernel, false);
        SmoothingFilter = InitialSmoothingFilter;
        rig.ControlExt().ClassService = TimingClassService;
        sim::SerialPort& port = rig.AddSerialPort("COM1");
        PDEVICE_OBJECT touch = rig.AddPortDevice("\\DosDevices\\COM1");
        ExtensionOf(touch)->ParametersLoaded = 1;
        OpenPort(touch);
        kernel.Settle();

        g_sink = Sink{};
        LONGLONG worstLatency = 0;
        ULONG i = 0;
        for (auto _ : state) {
            LONGLONG sent = kernel.Now();
            port.SendTouch(200 + i % 1600, 300 + i % 1500, (i % 32) != 31);
            kernel.Settle(); // the reader sends its next read
            worstLatency = std::max(worstLatency, g_sink.LastDelivery - sent);
            ++i;
        }
        state.counters["records"] = double(g_sink.Records);
        state.counters["worst_latency_hosted_us"] = double(worstLatency) / 10.0;
        state.SetItemsProcessed(int64_t(state.iterations()));
        if (g_sink.Records != ULONGLONG(state.iterations()))
            state.SkipWithError("a report did not reach the class service");
    }
}
BENCHMARK(BM_ReportThroughPortAndReader)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
