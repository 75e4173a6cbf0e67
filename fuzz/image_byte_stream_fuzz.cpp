// The controller's byte stream into the real x86_64 vorn.sys (VORN_FUZZ_IMAGE
// names it): a calibrated controller, any screen rectangle, swap, grid,
// rotation, filter and click-assist values set through the configuration
// utility as a user would, then any bytes from the controller and a real
// touch after them. Nothing may crash, leak, hang or fail the verifier, and
// every line must be carried out.
#include "fuzz/fuzz_input.h"
#include "platform/hosted/image.h"
#include "sim/system.h"
#include "tools/vornsim/scenario.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

// The image, loaded once for every input.
const sim::DriverUnderTest& ImageUnderTest()
{
    static sim::LoadedImage image;
    if (!image.Image) {
        const char* path = std::getenv("VORN_FUZZ_IMAGE");
        std::string error;
        if (!path) {
            std::fprintf(stderr, "image_byte_stream: set VORN_FUZZ_IMAGE to a vorn.sys\n");
            std::abort();
        }
        // The image runs on kernel-sized stacks; AddressSanitizer follows
        // the switches to them only when hosted threads are fibers.
        setenv("VORN_HOSTED_THREADS", "fibers", 1);
        hosted::PrepareForImages();
        if (!sim::LoadImageDriver(path, &image, &error)) {
            std::fprintf(stderr, "image_byte_stream: %s\n", error.c_str());
            std::abort();
        }
    }
    return image.Driver;
}

// The filter is read from the registry when the driver loads.
std::string FilterLines(fuzz::Input& in)
{
    std::ostringstream lines;
    lines << "reg set VORN2000 Filter dword " << in.Pick(3) << "\n"
          << "reg set VORN2000 FilterThreshold dword " << in.Take<uint16_t>() << "\n";
    return lines.str();
}

const char* const Setup = "reg set VORN2000\\Device0 COMM sz COM1\n"
                          "port add COM1\n"
                          "port param COM1 0 1210\nport param COM1 1 1330\n"
                          "port param COM1 2 15120\nport param COM1 3 1290\n"
                          "port param COM1 6 15160\nport param COM1 7 15010\n"
                          "port param COM1 4 1180\nport param COM1 5 15050\n"
                          "load\npnp add\npnp start\nclass connect\nsleep 50\n";

// The settings a user can change with vornctl, each set to a value from the input.
std::string SettingsLines(fuzz::Input& in)
{
    std::ostringstream lines;
    lines << "ctl map COM1 " << in.Take<uint16_t>() % 2048 << " " << in.Take<uint16_t>() % 2048
          << " " << 2048 + in.Take<uint16_t>() % 63488 << " " << 2048 + in.Take<uint16_t>() % 63488
          << "\n";
    lines << "ctl swap COM1 " << (in.Flag() ? "on" : "off") << "\n";
    lines << "ctl grid COM1 " << (in.Flag() ? "on" : "off") << "\n";
    lines << "ctl set-globals Rotation=" << in.Pick(4) << " DoubleClickSize=" << in.Take<uint16_t>()
          << " DoubleClickSpeed=" << in.Pick(10) << "\n";
    return lines.str();
}

std::string Hex(const std::vector<uint8_t>& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::CrashOnVerifierFailure();
    if (size > 4096)
        return 0;
    fuzz::Input in(data, size);
    std::string text = FilterLines(in);
    text += Setup + SettingsLines(in);
    std::vector<uint8_t> stream = in.Rest();
    if (!stream.empty())
        text += "port send COM1 " + Hex(stream) + "\nsleep 200\n";
    text += "port touch COM1 8000 8000\nport touch COM1 8000 8000 up\nsleep 600\n";
    std::istringstream input(text);
    std::ostringstream output, errors;
    int status = vornsim::RunScenario(input, output, errors, &ImageUnderTest());
    if (status != 0)
        std::fprintf(stderr, "%s", errors.str().c_str());
    FUZZ_CHECK(status == 0);
    return 0;
}
