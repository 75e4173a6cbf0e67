// Must not build as driver code: run-time type information.
#include <typeinfo>
struct ProbeBase {
    virtual ~ProbeBase() = default;
};
struct ProbeDerived : ProbeBase {};
bool ProbeRtti(ProbeBase* base)
{
    return dynamic_cast<ProbeDerived*>(base) != nullptr;
}
