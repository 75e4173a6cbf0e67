// Must not build as driver code: the C++ standard library.
#include <vector>
int ProbeStandardLibrary()
{
    return int(std::vector<int>(3).size());
}
