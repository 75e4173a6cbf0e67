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

const char* const Usage =
    "usage: vornsim [FILE | -]\n"
    "  Runs the vorn touch-screen driver in the hosted kernel and carries out\n"
    "  the scenario FILE, one command a line (- reads standard input); the\n"
    "  language is described in scenarios/README.md. Without FILE it runs the\n"
    "  embedded demo: one controller on COM1, a tap, a double tap and a stroke.\n"
    "  Output: one event a line on standard output.\n"
    "  Exit status: 0 done, 2 a malformed or refused line (error LINE: WHY on\n"
    "  standard error), 3 a verifier failure (verifier: RULE: DETAIL).\n"
    "vornsim --injectable FILE\n"
    "  The same, then the calls of each injectable kind the run made, on\n"
    "  standard error, for the fault sweep.\n"
    "vornsim --help\n"
    "  This text.\n";

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::cout << Usage;
        return 0;
    }
    if (argc == 3 && std::string(argv[1]) == "--injectable") {
        int status = Run(argv[2]);
        PrintInjectableCalls();
        return status;
    }
    if (argc > 2 || (argc == 2 && argv[1][0] == '-' && argv[1][1] != '\0')) {
        std::cerr << Usage;
        return 2;
    }
    if (argc == 1) {
        std::istringstream demo(vornsim::DemoScenario);
        return vornsim::RunScenario(demo, std::cout, std::cerr);
    }
    return Run(argv[1]);
}
