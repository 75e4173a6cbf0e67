#include "platform/hosted/hosted.h"
#include "tools/vornsim/scenario.h"

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <vector>

namespace {

// What the fault sweep needs to know: how many calls of each kind a run made.
void PrintInjectableCalls()
{
    hosted::FaultCounts calls = hosted::InjectableCallsOfLastKernel();
    std::cerr << "injectable";
    for (size_t i = 0; i < hosted::FaultKindCount; ++i)
        std::cerr << " " << hosted::FaultKindName(hosted::FaultKind(i)) << "=" << calls[i];
    std::cerr << "\n";
}

int Run(const std::string& name, const sim::DriverUnderTest* driver)
{
    if (name == "-")
        return vornsim::RunScenario(std::cin, std::cout, std::cerr, driver);
    std::ifstream file(name);
    if (!file) {
        std::cerr << "error 0: cannot open " << name << "\n";
        return 2;
    }
    return vornsim::RunScenario(file, std::cout, std::cerr, driver);
}

bool EnvironmentSays(const char* name, const char* value)
{
    const char* set = std::getenv(name);
    return set && std::string(set) == value;
}

// One line on standard error at exit, when VORN_STACK_REPORT=1: how deep the
// driver's threads and DPCs went into their kernel stacks.
void ReportStackUse()
{
    if (!EnvironmentSays("VORN_STACK_REPORT", "1"))
        return;
    hosted::StackUse use = hosted::DeepestStackUse();
    std::cerr << "stack: deepest thread " << use.Thread << " of " << use.Size
              << " bytes, deepest DPC " << use.Dpc << " of " << use.Size << " bytes\n";
}

// Where the image lies, for an instruction count of its own code
// (bench/count_instructions.sh), when VORN_IMAGE_MAP=1.
void ReportImageMapping(const hosted::DriverImage& image, const std::string& path)
{
    if (!EnvironmentSays("VORN_IMAGE_MAP", "1"))
        return;
    std::cerr << "image: " << path << " at 0x" << std::hex << image.Base() << " to 0x"
              << image.Base() + image.Size() << std::dec << "\n";
}

const char* const Usage =
    "usage: vornsim [--image PATH] [FILE | -]\n"
    "  Runs the vorn touch-screen driver in the hosted kernel and carries out\n"
    "  the scenario FILE, one command a line (- reads standard input); the\n"
    "  language is described in scenarios/README.md. Without FILE it runs the\n"
    "  embedded demo: one controller on COM1, a tap, a double tap and a stroke.\n"
    "  Output: one event a line on standard output.\n"
    "  Exit status: 0 done, 2 a malformed or refused line (error LINE: WHY on\n"
    "  standard error), 3 a verifier failure (verifier: RULE: DETAIL).\n"
    "  --image PATH runs the driver image PATH (a vorn.sys built for this\n"
    "  machine's architecture) in place of the driver built into vornsim, on\n"
    "  kernel-sized stacks; an image that cannot be loaded is one line on\n"
    "  standard error and exit status 2. VORN_STACK_REPORT=1 then prints the\n"
    "  deepest stack use at exit. VORN_KERNEL_STACKS=1 runs the driver built\n"
    "  into vornsim on such stacks too.\n"
    "vornsim [--image PATH] --injectable FILE\n"
    "  The same, then the calls of each injectable kind the run made, on\n"
    "  standard error, for the fault sweep.\n"
    "vornsim --help\n"
    "  This text.\n";

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::cout << Usage;
        return 0;
    }
    bool injectable = false;
    std::string imagePath;
    size_t at = 0;
    // The options, in either order, before the scenario file.
    for (; at < args.size(); ++at) {
        if (args[at] == "--injectable" && !injectable) {
            injectable = true;
        } else if (args[at] == "--image" && imagePath.empty()) {
            if (at + 1 >= args.size() || args[at + 1].empty()) {
                std::cerr << Usage;
                return 2;
            }
            imagePath = args[++at];
        } else {
            break;
        }
    }
    const size_t files = args.size() - at;
    if (files > 1 || (files == 1 && args[at][0] == '-' && args[at] != "-") ||
        (injectable && files != 1)) {
        std::cerr << Usage;
        return 2;
    }
    sim::LoadedImage image;
    const bool kernelStacks = !imagePath.empty() || EnvironmentSays("VORN_KERNEL_STACKS", "1");
    if (kernelStacks)
        hosted::PrepareForImages();
    if (!imagePath.empty()) {
        std::string error;
        if (!sim::LoadImageDriver(imagePath, &image, &error)) {
            std::cerr << "vornsim: " << error << "\n";
            return 2;
        }
        ReportImageMapping(*image.Image, imagePath);
    }
    const sim::DriverUnderTest* driver = image.Image ? &image.Driver : nullptr;
    int status;
    if (files == 0) {
        std::istringstream demo(vornsim::DemoScenario);
        status = vornsim::RunScenario(demo, std::cout, std::cerr, driver);
    } else {
        status = Run(args[at], driver);
    }
    if (injectable)
        PrintInjectableCalls();
    if (kernelStacks)
        ReportStackUse();
    return status;
}
