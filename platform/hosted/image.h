// A real driver image (vorn.sys) loaded into the hosted kernel as the NT
// loader loads one: headers and sections mapped at their RVAs, base
// relocations applied, the import table bound by name to the hosted
// kernel's exports, each section given its own protection.
#pragma once

#include "platform/hosted/exports.h"
#include "platform/hosted/nt.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace hosted {

// Finds an import's target, as FindKernelExport does; tests give their own.
using ImportResolver = std::function<const KernelExport*(const char* module, const char* name)>;

class DriverImage {
public:
    // The image in `path`, or null with a one-line reason in `error`
    // (naming the file). Binds through FindKernelExport.
    static std::unique_ptr<DriverImage> LoadFile(const std::string& path, std::string* error);
    // The image in `bytes`; `name` only names it in errors.
    static std::unique_ptr<DriverImage> LoadBytes(const std::vector<uint8_t>& bytes,
                                                  const std::string& name, std::string* error,
                                                  const ImportResolver& resolve = nullptr);
    ~DriverImage();
    DriverImage(const DriverImage&) = delete;
    DriverImage& operator=(const DriverImage&) = delete;

    DRIVER_INITIALIZE* Entry() const { return entry_; }
    // The address a COFF symbol of the image names (as `nm` prints it), or
    // null when the image has no such symbol.
    void* Symbol(const std::string& name) const;
    uintptr_t Base() const { return reinterpret_cast<uintptr_t>(base_); }
    size_t Size() const { return size_; }
    bool Contains(uintptr_t address) const { return address >= Base() && address - Base() < size_; }

private:
    DriverImage() = default;
    void* base_ = nullptr;
    size_t size_ = 0;
    DRIVER_INITIALIZE* entry_ = nullptr;
    std::map<std::string, uint32_t> symbols_; // name -> RVA
    friend class ImageMapper;
};

// Whether `address` lies in some driver image loaded and not yet unloaded
// (or in a code range a test registered as one); its start in `base`.
// Safe to call from a signal handler.
bool InLoadedImage(uintptr_t address, uintptr_t* base);
// Registers [begin, begin + size) as image code for the fault handler, as
// the loader does for each image; returns false when the table is full.
bool RegisterImageRange(uintptr_t begin, size_t size);
void UnregisterImageRange(uintptr_t begin);

// Makes the process ready to run driver images, once, before its kernel is
// made: a fault handler that carries out CR8 accesses in image code and
// fails a run whose stack hits its guard page, a processor block behind GS
// on every OS thread that runs hosted threads, and hosted threads (as
// fibers) and DPCs on stacks as deep as a Windows kernel stack.
void PrepareForImages();
// The most of a kernel stack any hosted thread and any DPC has used so far
// (the threads' counted as each ends), and the size of one.
struct StackUse {
    size_t Thread, Dpc, Size;
};
StackUse DeepestStackUse();

// Ready for images: routine(argument) on the calling hosted thread's
// kernel-sized stack, when it is not on one already (the first thread, an
// OS thread); else, and when not ready, at once where it stands.
void RunOnKernelStack(void (*routine)(void*), void* argument);
template <typename F> auto OnKernelStack(F call) -> decltype(call())
{
    using Result = decltype(call());
    if constexpr (std::is_void_v<Result>) {
        RunOnKernelStack([](void* p) { (*static_cast<F*>(p))(); }, &call);
    } else {
        struct Frame {
            F* Call;
            Result Value;
        } frame{&call, Result()};
        RunOnKernelStack(
            [](void* p) {
                auto* f = static_cast<Frame*>(p);
                f->Value = (*f->Call)();
            },
            &frame);
        return frame.Value;
    }
}

} // namespace hosted
