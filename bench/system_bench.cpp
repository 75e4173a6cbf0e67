// Scenario-level throughput: N controllers on N ports (the benchmark's
// argument), each sending strokes at the rate of 115200 baud in hosted time
// (two 5-byte reports per millisecond, 100 kbit/s of the line's 115.2), all
// through the loaded driver to the mouse class callback. The second argument
// is the kernel's thread mode: 1 fibers (what vornsim and the plain test
// build use), 0 OS threads (what the sanitizer builds use).
//
// Counters: realtime_factor (hosted seconds simulated per wall second),
// records_per_second, cpu_seconds_per_million_records (every thread of the
// process), peak_pool_bytes, threads (OS threads of the process while the
// strokes run) and hosted_threads. A lost record fails the benchmark.
#include "config/device_record.h"
#include "sim/system.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <sys/resource.h>

namespace {

constexpr int ReportsPerMs = 2;
constexpr int StrokeMs = 250;

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The "Threads:" line of /proc/self/status.
int OsThreads()
{
    FILE* status = std::fopen("/proc/self/status", "r");
    if (!status)
        return 0;
    char line[256];
    int threads = 0;
    while (std::fgets(line, sizeof line, status))
        if (std::sscanf(line, "Threads: %d", &threads) == 1)
            break;
    std::fclose(status);
    return threads;
}

std::u16string DeviceKey(int index)
{
    std::u16string key = u"VORN2000\\Device";
    for (char c : std::to_string(index))
        key += char16_t(c);
    return key;
}

// One stroke on every port: StrokeMs milliseconds of touching reports, then
// a release. Returns the reports sent.
ULONGLONG SendStroke(hosted::Kernel& kernel, const std::vector<sim::SerialPort*>& ports)
{
    ULONGLONG sent = 0;
    for (int ms = 0; ms < StrokeMs; ++ms) {
        for (int r = 0; r < ReportsPerMs; ++r) {
            ULONG x = ULONG(1000 + 50 * ms + r);
            for (sim::SerialPort* port : ports)
                port->SendTouch(x, 4000, true);
            sent += ports.size();
        }
        kernel.SleepMs(1);
    }
    for (sim::SerialPort* port : ports)
        port->SendTouch(13600, 4000, false);
    sent += ports.size();
    kernel.SleepMs(1);
    kernel.Settle();
    return sent;
}

void BM_ControllersAt115200Baud(benchmark::State& state)
{
    const int controllers = int(state.range(0));
    hosted::Kernel kernel(state.range(1) ? hosted::ThreadMode::Fibers
                                         : hosted::ThreadMode::OsThreads);
    ULONGLONG sent = 0;
    ULONGLONG taken = 0;
    {
        sim::System system(kernel);
        std::vector<sim::SerialPort*> ports;
        for (int i = 0; i < controllers; ++i) {
            std::string name = "COM" + std::to_string(i + 1);
            kernel.RegistrySetString(DeviceKey(i), u"COMM",
                                     std::u16string(name.begin(), name.end()));
            kernel.RegistrySetDword(DeviceKey(i), u"BaudRate", 115200);
            ports.push_back(&system.AddPort(name));
        }
        system.SetRecordSink([&](const MOUSE_INPUT_DATA&) { ++taken; });
        system.Load();
        system.AddDevice();
        system.Pnp(IRP_MN_START_DEVICE);
        system.ClassConnect();
        kernel.SleepMs(100);
        kernel.Settle();
        ControlRecord()->MouseMode = MouseModeClickAssistOff;

        double wallSeconds = 0;
        double cpuSeconds = 0;
        LONGLONG hostedTicks = 0;
        int osThreads = 0;
        for (auto _ : state) {
            auto wallStart = std::chrono::steady_clock::now();
            double cpuStart = CpuSeconds();
            LONGLONG hostedStart = kernel.Now();
            sent += SendStroke(kernel, ports);
            hostedTicks += kernel.Now() - hostedStart;
            cpuSeconds += CpuSeconds() - cpuStart;
            wallSeconds +=
                std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
            osThreads = OsThreads();
        }
        if (taken != sent)
            state.SkipWithError(("records lost: " + std::to_string(sent - taken)).c_str());
        double hostedSeconds = double(hostedTicks) / 1e7;
        state.counters["realtime_factor"] = hostedSeconds / wallSeconds;
        state.counters["records_per_second"] = double(taken) / wallSeconds;
        state.counters["cpu_seconds_per_million_records"] = cpuSeconds / double(taken) * 1e6;
        state.counters["peak_pool_bytes"] = double(kernel.Pool().PeakBytes);
        state.counters["threads"] = double(osThreads);
        state.counters["hosted_threads"] = double(kernel.LiveThreads());
    }
}

BENCHMARK(BM_ControllersAt115200Baud)
    ->ArgNames({"controllers", "fibers"})
    ->ArgsProduct({{1, 4, 16, 64, 128, 256}, {1, 0}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
