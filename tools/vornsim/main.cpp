#include "platform/hosted/hosted.h"
#include "tools/vornsim/scenario.h"

#include <fstream>
#include <iostream>
#include <sstream>

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

int Run(const std::string& name)
{
    if (name == "-")
        return vornsim::RunScenario(std::cin, std::cout, std::cerr);
    std::ifstream file(name);
    if (!file) {
        std::cerr << "error 0: cannot open " << name << "\n";
        return 2;
    }
    return vornsim::RunScenario(file, std::cout, std::cerr);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--injectable") {
        int status = Run(argv[2]);
        PrintInjectableCalls();
        return status;
    }
    if (argc > 2) {
        std::cerr << "usage: vornsim [FILE | -] | vornsim --injectable FILE\n";
        return 2;
    }
    if (argc == 1) {
        std::istringstream demo(vornsim::DemoScenario);
        return vornsim::RunScenario(demo, std::cout, std::cerr);
    }
    return Run(argv[1]);
}
