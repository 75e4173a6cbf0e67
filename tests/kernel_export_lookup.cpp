// Reads "module routine" lines (an image's imports) and names each one the
// hosted kernel does not export; exits 1 when there is any.
#include "platform/hosted/exports.h"

#include <iostream>
#include <string>

int main()
{
    std::string module, name;
    int bound = 0, unbound = 0;
    while (std::cin >> module >> name) {
        if (hosted::FindKernelExport(module.c_str(), name.c_str())) {
            bound++;
        } else {
            std::cout << "not exported: " << module << " " << name << "\n";
            unbound++;
        }
    }
    std::cout << bound << " imports bound, " << unbound << " not\n";
    return unbound == 0 && bound > 0 ? 0 : 1;
}
