// Scenario-level throughput: 16 controllers on 16 ports, each sending a
// stroke at the rate of 115200 baud in hosted time (two 5-byte reports per
// millisecond, 100 kbit/s of the line's 115.2), all through the loaded
// driver to the mouse class callback. Reports records per wall-clock second,
// fails if a record is lost, and reports the peak pool use and process size.
#include "config/device_record.h"
#include "sim/system.h"

#include <benchmark/benchmark.h>

#include <string>
#include <sys/resource.h>

namespace {

constexpr int Controllers = 16;
constexpr int ReportsPerMs = 2;
constexpr int StrokeMs = 250;

void BM_SixteenControllersAt115200Baud(benchmark::State& state)
{
    hosted::Kernel kernel;
    ULONGLONG sent = 0;
    ULONGLONG taken = 0;
    {
        sim::System system(kernel);
        std::vector<sim::SerialPort*> ports;
        for (int i = 0; i < Controllers; ++i) {
            std::string name = "COM" + std::to_string(i + 1);
            std::u16string key = u"VORN2000\\Device";
            for (char c : std::to_string(i))
                key += char16_t(c);
            kernel.RegistrySetString(key, u"COMM", std::u16string(name.begin(), name.end()));
            kernel.RegistrySetDword(key, u"BaudRate", 115200);
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

        for (auto _ : state) {
            for (int ms = 0; ms < StrokeMs; ++ms) {
                for (int r = 0; r < ReportsPerMs; ++r) {
                    ULONG x = ULONG(1000 + 50 * ms + r);
                    for (sim::SerialPort* port : ports)
                        port->SendTouch(x, 4000, true);
                    sent += Controllers;
                }
                kernel.SleepMs(1);
            }
            for (sim::SerialPort* port : ports)
                port->SendTouch(13600, 4000, false);
            sent += Controllers;
            kernel.SleepMs(1);
            kernel.Settle();
        }
        if (taken != sent)
            state.SkipWithError(("records lost: " + std::to_string(sent - taken)).c_str());
        state.counters["records_per_s"] =
            benchmark::Counter(double(taken), benchmark::Counter::kIsRate);
        state.counters["peak_pool_bytes"] = double(kernel.Pool().PeakBytes);
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["max_rss_kib"] = double(usage.ru_maxrss);
}

BENCHMARK(BM_SixteenControllersAt115200Baud)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
