// Scenarios run in-process, as tests of the whole system read them.
#pragma once

#include "tools/vornsim/scenario.h"

#include <sstream>
#include <string>
#include <vector>

struct ScenarioRun {
    int Exit;
    std::string Output, Errors;
};

inline ScenarioRun RunLines(const std::string& lines)
{
    std::istringstream in(lines);
    std::ostringstream out, errors;
    int exit = vornsim::RunScenario(in, out, errors);
    return {exit, out.str(), errors.str()};
}

// The lines of `text` that start with `prefix`.
inline std::vector<std::string> LinesStartingWith(const std::string& text,
                                                  const std::string& prefix)
{
    std::istringstream in(text);
    std::vector<std::string> kept;
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0)
            kept.push_back(line);
    return kept;
}
