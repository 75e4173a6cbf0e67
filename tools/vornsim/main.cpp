#include "tools/vornsim/scenario.h"

#include <fstream>
#include <iostream>
#include <sstream>

int main(int argc, char** argv)
{
    if (argc > 2) {
        std::cerr << "usage: vornsim [FILE | -]\n";
        return 2;
    }
    if (argc == 1) {
        std::istringstream demo(vornsim::DemoScenario);
        return vornsim::RunScenario(demo, std::cout, std::cerr);
    }
    std::string name = argv[1];
    if (name == "-")
        return vornsim::RunScenario(std::cin, std::cout, std::cerr);
    std::ifstream file(name);
    if (!file) {
        std::cerr << "error 0: cannot open " << name << "\n";
        return 2;
    }
    return vornsim::RunScenario(file, std::cout, std::cerr);
}
