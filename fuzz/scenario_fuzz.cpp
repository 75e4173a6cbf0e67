// The scenario parser: any text through vornsim's runner. A malformed line
// is an input error (exit 2); nothing may crash, leak, hang or fail the
// verifier on the way there.
#include "fuzz/fuzz_input.h"
#include "tools/vornsim/scenario.h"

#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::CrashOnVerifierFailure();
    std::string text(reinterpret_cast<const char*>(data), size);
    // Lines that write files are kept out: the fuzzer must not write where it
    // runs. Long inputs only repeat what short ones reach.
    if (size > 4096 || text.find("svg") != std::string::npos)
        return 0;
    std::istringstream input(text);
    std::ostringstream output, errors;
    int status = vornsim::RunScenario(input, output, errors);
    FUZZ_CHECK(status == 0 || status == 2);
    FUZZ_CHECK((status == 2) == (errors.str().rfind("error ", 0) == 0));
    return 0;
}
