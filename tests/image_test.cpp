// The driver image loader, on the real vorn.sys and on copies doctored in
// memory; and what the loaded image needs of the processor: CR8 and GS as
// its inline routines use them, kernel-sized stacks with a guard page.
// Its own program: once ready for images, every hosted thread of the
// process runs on a kernel-sized stack.
#include "platform/hosted/image.h"
#include "platform/hosted/hosted.h"
#include "sim/system.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/mman.h>
#include <sys/wait.h>

namespace {

#if defined(__x86_64__)
const char* const ImagePath = VORN_BUILD_DIR "/sys-x86_64/vorn.sys";
const char* const Prefix = "";
#else
const char* const ImagePath = VORN_BUILD_DIR "/sys-i686/vorn.sys";
const char* const Prefix = "_";
#endif

std::vector<uint8_t> RealImage()
{
    std::ifstream file(ImagePath, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
}

uint32_t Read32(const std::vector<uint8_t>& bytes, size_t at)
{
    uint32_t value;
    std::memcpy(&value, &bytes[at], 4);
    return value;
}

void Write32(std::vector<uint8_t>& bytes, size_t at, uint32_t value)
{
    std::memcpy(&bytes[at], &value, 4);
}

// The file offset of an RVA, through the section table.
size_t FileOffset(const std::vector<uint8_t>& bytes, uint32_t rva)
{
    const size_t pe = Read32(bytes, 0x3c);
    const unsigned sections = bytes[pe + 6] | bytes[pe + 7] << 8;
    const size_t table = pe + 24 + (bytes[pe + 20] | bytes[pe + 21] << 8);
    for (unsigned i = 0; i < sections; ++i) {
        const size_t h = table + i * 40;
        const uint32_t va = Read32(bytes, h + 12), raw = Read32(bytes, h + 16);
        if (rva >= va && rva < va + raw)
            return Read32(bytes, h + 20) + (rva - va);
    }
    return 0;
}

// Where a data directory's RVA is kept in the optional header.
size_t DirectoryField(const std::vector<uint8_t>& bytes, unsigned index)
{
    const size_t optional = Read32(bytes, 0x3c) + 24;
    return optional + (sizeof(void*) == 8 ? 112 : 96) + index * 8;
}

// Every import bound to a routine of its own, but for `missing`.
struct FakeKernel {
    std::string Missing;
    std::vector<std::unique_ptr<hosted::KernelExport>> Given;
    hosted::ImportResolver Resolver()
    {
        return [this](const char* module, const char* name) -> const hosted::KernelExport* {
            if (Missing == name)
                return nullptr;
            Given.emplace_back(new hosted::KernelExport{module, name, &Given});
            return Given.back().get();
        };
    }
};

std::string LoadError(const std::vector<uint8_t>& bytes, const std::string& missing = "")
{
    FakeKernel kernel{missing, {}};
    std::string error;
    auto image = hosted::DriverImage::LoadBytes(bytes, "vorn.sys", &error, kernel.Resolver());
    return image ? "" : error;
}

class RealImageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        bytes_ = RealImage();
        if (bytes_.empty())
            GTEST_SKIP() << "no driver image at " << ImagePath << " (VORN_TARGET off)";
    }
    std::vector<uint8_t> bytes_;
};

TEST_F(RealImageTest, LoadsMapsRelocatesAndBindsByName)
{
    FakeKernel kernel;
    std::string error;
    auto image = hosted::DriverImage::LoadBytes(bytes_, "vorn.sys", &error, kernel.Resolver());
    ASSERT_TRUE(image) << error;
    EXPECT_TRUE(image->Contains(reinterpret_cast<uintptr_t>(image->Entry())));
    void* control = image->Symbol(std::string(Prefix) + "ControlDeviceObject");
    ASSERT_TRUE(control);
    EXPECT_TRUE(image->Symbol(std::string(Prefix) + "_Z20DestroyControlDeviceP14_DEVICE_OBJECT"));
    EXPECT_FALSE(image->Symbol("NoSuchSymbol"));
    // In BSS: zero-filled, though the file holds no bytes for it.
    EXPECT_EQ(*static_cast<PDEVICE_OBJECT*>(control), nullptr);
    // The driver reaches the variable through an absolute pointer: relocated.
    if (sizeof(void*) == 8) {
        void* refptr = image->Symbol(".refptr.ControlDeviceObject");
        ASSERT_TRUE(refptr);
        EXPECT_EQ(*static_cast<void**>(refptr), control);
    }
    // Each import slot holds what the kernel gave for that name.
    auto* slot = static_cast<void**>(
        image->Symbol(sizeof(void*) == 8 ? "__imp_DbgPrint" : "__imp__DbgPrint"));
    ASSERT_TRUE(slot);
    bool bound = false;
    for (const auto& given : kernel.Given)
        bound |= std::string(given->Name) == "DbgPrint" && *slot == given->Address;
    EXPECT_TRUE(bound);
}

// The runner's way into the image's internals: its control device variable,
// and its own DestroyControlDevice called in the image's convention. A
// device whose extension is all zeros is no control device: refused before
// the routine calls anything of the kernel's, whatever the layouts.
TEST_F(RealImageTest, TheRunnerReachesTheImagesControlDeviceAndItsDestruction)
{
    FakeKernel kernel;
    std::string error;
    auto image = hosted::DriverImage::LoadBytes(bytes_, "vorn.sys", &error, kernel.Resolver());
    ASSERT_TRUE(image) << error;
    sim::DriverUnderTest driver;
    ASSERT_TRUE(sim::ImageDriver(*image, &driver, &error)) << error;
    EXPECT_EQ(reinterpret_cast<void*>(driver.Entry), reinterpret_cast<void*>(image->Entry()));
    EXPECT_EQ(driver.ControlDevice(), nullptr);
    std::vector<uint64_t> extension(1024, 0);
    std::vector<void*> device(64, extension.data()); // every field points at the extension
    auto* fake = reinterpret_cast<PDEVICE_OBJECT>(device.data());
    *static_cast<PDEVICE_OBJECT*>(image->Symbol(std::string(Prefix) + "ControlDeviceObject")) =
        fake;
    EXPECT_EQ(driver.ControlDevice(), fake);
    EXPECT_EQ(driver.DestroyControlDevice(fake), STATUS_UNSUCCESSFUL);
}

TEST_F(RealImageTest, CodeIsNotWritableAndDataIsNotExecutable)
{
    FakeKernel kernel;
    std::string error;
    auto image = hosted::DriverImage::LoadBytes(bytes_, "vorn.sys", &error, kernel.Resolver());
    ASSERT_TRUE(image) << error;
    auto protectionOf = [&](uintptr_t address) {
        std::ifstream maps("/proc/self/maps");
        std::string line;
        while (std::getline(maps, line)) {
            std::istringstream fields(line);
            uintptr_t begin, end;
            char dash;
            std::string protection;
            fields >> std::hex >> begin >> dash >> end >> protection;
            if (address >= begin && address < end)
                return protection;
        }
        return std::string();
    };
    EXPECT_EQ(protectionOf(reinterpret_cast<uintptr_t>(image->Entry())), "r-xp");
    EXPECT_EQ(protectionOf(reinterpret_cast<uintptr_t>(
                  image->Symbol(std::string(Prefix) + "ControlDeviceObject"))),
              "rw-p");
    EXPECT_EQ(protectionOf(image->Base()), "r--p"); // the headers
}

TEST_F(RealImageTest, AnImportTheKernelLacksFailsNamingModuleAndRoutine)
{
    EXPECT_EQ(
        LoadError(bytes_, "KeSetTimer"),
        "vorn.sys: imports ntoskrnl.exe!KeSetTimer, which the hosted kernel does not provide");
}

TEST_F(RealImageTest, TheRealKernelTableBindsThroughFindKernelExport)
{
    std::string error;
    auto image = hosted::DriverImage::LoadBytes(bytes_, "vorn.sys", &error);
    // Every import is in the export table, or the load names the first gap.
    if (!image) {
        EXPECT_NE(error.find("which the hosted kernel does not provide"), std::string::npos)
            << error;
    }
}

TEST_F(RealImageTest, ATruncatedImageIsRefusedWithoutACrash)
{
    for (size_t length : {size_t(0), size_t(2), size_t(63), size_t(0x80), size_t(0x200),
                          size_t(0x400), bytes_.size() / 2, bytes_.size() - 1}) {
        std::vector<uint8_t> cut(bytes_.begin(), bytes_.begin() + length);
        std::string error = LoadError(cut);
        EXPECT_FALSE(error.empty()) << "length " << length;
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
    EXPECT_EQ(LoadError(std::vector<uint8_t>(bytes_.begin(), bytes_.begin() + 0x200)),
              "vorn.sys: truncated: the headers run past the end of the file");
    EXPECT_EQ(LoadError(std::vector<uint8_t>(bytes_.begin(), bytes_.begin() + 0x800)),
              "vorn.sys: truncated: section .text runs past the end of the file");
}

TEST_F(RealImageTest, AnotherMachineIsRefused)
{
    const size_t machine = Read32(bytes_, 0x3c) + 4;
    bytes_[machine] ^= sizeof(void*) == 8 ? (0x64 ^ 0x4c) : (0x4c ^ 0x64);
    bytes_[machine + 1] ^= 0x86 ^ 0x01;
    EXPECT_EQ(LoadError(bytes_),
              sizeof(void*) == 8 ? "vorn.sys: machine type 0x014c, not AMD64 (0x8664) as this host"
                                 : "vorn.sys: machine type 0x8664, not I386 (0x014c) as this host");
}

TEST_F(RealImageTest, ARelocationOutsideTheImageIsRefused)
{
    const size_t block = FileOffset(bytes_, Read32(bytes_, DirectoryField(bytes_, 5)));
    ASSERT_NE(block, 0u);
    Write32(bytes_, block, 0x7fff0000); // the first block's page
    std::string error = LoadError(bytes_);
    EXPECT_NE(error.find("lies outside the image"), std::string::npos) << error;
}

TEST_F(RealImageTest, AnUnknownRelocationTypeIsRefused)
{
    const size_t block = FileOffset(bytes_, Read32(bytes_, DirectoryField(bytes_, 5)));
    bytes_[block + 9] = uint8_t((bytes_[block + 9] & 0x0f) | 0x10); // IMAGE_REL_BASED_HIGH
    std::string error = LoadError(bytes_);
    EXPECT_NE(error.find("relocation of type 1 at RVA"), std::string::npos) << error;
}

TEST_F(RealImageTest, AnImportByOrdinalIsRefused)
{
    const size_t imports = FileOffset(bytes_, Read32(bytes_, DirectoryField(bytes_, 1)));
    const size_t names = FileOffset(bytes_, Read32(bytes_, imports));
    ASSERT_NE(names, 0u);
    Write32(bytes_, names, 7);
    bytes_[names + sizeof(void*) - 1] = 0x80;
    // The first module the image imports from: ntoskrnl.exe on x86_64, HAL.dll on i686.
    const std::string module = sizeof(void*) == 8 ? "ntoskrnl.exe" : "HAL.dll";
    EXPECT_EQ(LoadError(bytes_),
              "vorn.sys: imports ordinal 7 of " + module + ": only imports by name are bound");
}

TEST_F(RealImageTest, AnyDoctoredHeaderByteLoadsOrFailsCleanly)
{
    const size_t headers = std::min<size_t>(bytes_.size(), 0x400);
    for (size_t at = 0; at < headers; ++at)
        for (uint8_t flip : {uint8_t(0x80), uint8_t(0xff)}) {
            std::vector<uint8_t> doctored = bytes_;
            doctored[at] ^= flip;
            LoadError(doctored); // must return, either way
        }
}

// ThreadSanitizer cannot follow a switch of stacks, and its build has no
// fibers: the tests of kernel-sized stacks do not run there.
#if defined(__SANITIZE_THREAD__)
#define VORN_NO_STACK_SWITCHES 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VORN_NO_STACK_SWITCHES 1
#endif
#endif
#if defined(VORN_NO_STACK_SWITCHES)
#define SKIP_WHERE_STACKS_CANNOT_SWITCH()                                                          \
    GTEST_SKIP() << "ThreadSanitizer cannot follow a switch of stacks"
#else
#define SKIP_WHERE_STACKS_CANNOT_SWITCH() (void)0
#endif

TEST(DriverImage, TheOtherArchitecturesImageIsRefused)
{
    const char* other = sizeof(void*) == 8 ? VORN_BUILD_DIR "/sys-i686/vorn.sys"
                                           : VORN_BUILD_DIR "/sys-x86_64/vorn.sys";
    std::string error;
    if (!std::ifstream(other))
        GTEST_SKIP() << "no driver image at " << other;
    EXPECT_FALSE(hosted::DriverImage::LoadFile(other, &error));
    EXPECT_NE(error.find(sizeof(void*) == 8 ? ": machine type 0x014c, not AMD64"
                                            : ": machine type 0x8664, not I386"),
              std::string::npos)
        << error;
}

TEST(DriverImage, AMissingFileIsNamed)
{
    std::string error;
    EXPECT_FALSE(hosted::DriverImage::LoadFile("/nonexistent/vorn.sys", &error));
    EXPECT_EQ(error, "/nonexistent/vorn.sys: cannot open");
}

#if defined(__x86_64__)
// A few bytes of hand-made code, executable, known to the fault handler as
// image code.
class ImageCode {
public:
    explicit ImageCode(std::initializer_list<uint8_t> bytes)
    {
        hosted::PrepareForImages();
        page_ = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        std::copy(bytes.begin(), bytes.end(), static_cast<uint8_t*>(page_));
        mprotect(page_, 4096, PROT_READ | PROT_EXEC);
        hosted::RegisterImageRange(reinterpret_cast<uintptr_t>(page_), 4096);
    }
    ~ImageCode()
    {
        hosted::UnregisterImageRange(reinterpret_cast<uintptr_t>(page_));
        munmap(page_, 4096);
    }
    template <typename F> F As() const { return reinterpret_cast<F>(page_); }

private:
    void* page_;
};

// MinGW-w64's x86_64 wdm.h: KeGetCurrentIrql is (KIRQL)__readcr8().
TEST(ImageProcessor, ReadingCr8GivesTheHostedThreadsIrql)
{
    hosted::Kernel kernel;
    ImageCode readIrql({0x44, 0x0f, 0x20, 0xc0, 0xc3}); // mov %cr8,%rax; ret
    // mov %cr8,%r9; mov %r9,%rax; ret: another register, REX.B as well
    ImageCode readIntoR9({0x45, 0x0f, 0x20, 0xc1, 0x4c, 0x89, 0xc8, 0xc3});
    EXPECT_EQ(readIrql.As<uint64_t (*)()>()(), uint64_t(PASSIVE_LEVEL));
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(readIrql.As<uint64_t (*)()>()(), uint64_t(DISPATCH_LEVEL));
    EXPECT_EQ(readIntoR9.As<uint64_t (*)()>()(), uint64_t(DISPATCH_LEVEL));
    KeLowerIrql(old);
}

TEST(ImageProcessor, WritingCr8SetsTheHostedThreadsIrql)
{
    hosted::Kernel kernel;
    ImageCode writeIrql({0x44, 0x0f, 0x22, 0xc7, 0xc3}); // mov %rdi,%cr8; ret
    writeIrql.As<void (*)(uint64_t)>()(APC_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    writeIrql.As<void (*)(uint64_t)>()(PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

struct DpcRun {
    KDPC Dpc;
    int Runs = 0;
    KIRQL Irql = 0;
};

VOID NTAPI CountDpcRun(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* run = static_cast<DpcRun*>(context);
    run->Runs++;
    run->Irql = KeGetCurrentIrql();
}

// The x86_64 DDK's KeLowerIrql is a CR8 write: lowering below
// DISPATCH_LEVEL delivers the DPCs queued meanwhile, right after the
// instruction, and the code goes on with its registers as they were.
TEST(ImageProcessor, LoweringCr8BelowDispatchLevelRunsTheQueuedDpcs)
{
    hosted::Kernel kernel;
    // mov $0x1234,%rcx; mov %rdi,%cr8; mov %rcx,%rax; ret
    ImageCode lower(
        {0x48, 0xc7, 0xc1, 0x34, 0x12, 0x00, 0x00, 0x44, 0x0f, 0x22, 0xc7, 0x48, 0x89, 0xc8, 0xc3});
    DpcRun run;
    KeInitializeDpc(&run.Dpc, CountDpcRun, &run);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeInsertQueueDpc(&run.Dpc, nullptr, nullptr);
    EXPECT_EQ(run.Runs, 0);
    EXPECT_EQ(lower.As<uint64_t (*)(uint64_t)>()(PASSIVE_LEVEL), 0x1234u);
    EXPECT_EQ(run.Runs, 1);
    EXPECT_EQ(run.Irql, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// mov %gs:0x188,%rax; ret. MinGW-w64's x86_64 wdm.h: KeGetCurrentThread is
// __readgsqword(0x188).
const std::initializer_list<uint8_t> ReadCurrentThread = {0x65, 0x48, 0x8b, 0x04, 0x25,
                                                          0x88, 0x01, 0x00, 0x00, 0xc3};

struct ThreadSeen {
    PKTHREAD (*Read)();
    PKTHREAD ByGs = nullptr;
    PKTHREAD ByKernel = nullptr;
};

VOID NTAPI RecordCurrentThread(PVOID context)
{
    auto* seen = static_cast<ThreadSeen*>(context);
    seen->ByGs = seen->Read();
    seen->ByKernel = KeGetCurrentThread();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void ExpectGsNamesEachThread(hosted::ThreadMode mode)
{
    hosted::Kernel kernel(mode);
    ImageCode read(ReadCurrentThread);
    ThreadSeen seen{read.As<PKTHREAD (*)()>()};
    EXPECT_EQ(seen.Read(), KeGetCurrentThread());
    HANDLE handle = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                   RecordCurrentThread, &seen),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObfDereferenceObject(thread);
    ZwClose(handle);
    EXPECT_EQ(seen.ByGs, seen.ByKernel);
    EXPECT_NE(seen.ByGs, KeGetCurrentThread());
    // Back on the first thread, GS names it again.
    EXPECT_EQ(seen.Read(), KeGetCurrentThread());
}

TEST(ImageProcessor, GsNamesTheRunningHostedThreadAcrossFiberSwitches)
{
    SKIP_WHERE_STACKS_CANNOT_SWITCH();
    ExpectGsNamesEachThread(hosted::ThreadMode::Fibers);
}

TEST(ImageProcessor, GsNamesTheRunningHostedThreadOnOsThreads)
{
    ExpectGsNamesEachThread(hosted::ThreadMode::OsThreads);
}

TEST(ImageProcessorDeathTest, AnyOtherPrivilegedInstructionFailsNamingItsAddress)
{
    EXPECT_EXIT(
        {
            ImageCode halt({0x90, 0xf4, 0xc3}); // nop; hlt; ret
            halt.As<void (*)()>()();
        },
        ::testing::ExitedWithCode(3), "verifier: image: privileged instruction at image\\+0x1 ");
}
#endif

TEST(ImageProcessorDeathTest, AFaultOutsideAnImageIsLeftToCrash)
{
    // Killed by the signal, or ended by a sanitizer's report: not failed as
    // a verifier failure would be.
    auto crashed = [](int status) {
        return WIFSIGNALED(status) ||
               (WIFEXITED(status) && WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 3);
    };
    EXPECT_EXIT(
        {
            hosted::PrepareForImages();
            *static_cast<volatile int*>(nullptr) = 1;
        },
        crashed, "");
}

// Deeper than a kernel stack allows.
__attribute__((noinline)) int Recurse(int depth)
{
    volatile char frame[512];
    frame[0] = char(depth);
    return depth == 0 ? 0 : Recurse(depth - 1) + frame[0];
}

VOID NTAPI RecurseDeeply(PVOID context)
{
    Recurse(*static_cast<int*>(context));
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void RunThreadRecursing(int depth)
{
    hosted::Kernel kernel(hosted::ThreadMode::Fibers);
    HANDLE handle = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                   RecurseDeeply, &depth),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, KernelMode, &thread, nullptr);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObfDereferenceObject(thread);
    ZwClose(handle);
}

TEST(ImageStacks, AThreadsUseOfItsKernelStackIsMeasured)
{
    SKIP_WHERE_STACKS_CANNOT_SWITCH();
    hosted::PrepareForImages();
    RunThreadRecursing(8); // some 4 KB
    hosted::StackUse use = hosted::DeepestStackUse();
    EXPECT_EQ(use.Size, sizeof(void*) == 8 ? 24u * 1024 : 12u * 1024);
    EXPECT_GE(use.Thread, 8u * 512);
    EXPECT_LT(use.Thread, use.Size);
}

TEST(ImageStacksDeathTest, AThreadDeeperThanAKernelStackFailsTheRun)
{
    SKIP_WHERE_STACKS_CANNOT_SWITCH();
    EXPECT_EXIT(
        {
            hosted::PrepareForImages();
            RunThreadRecursing(200); // some 100 KB
        },
        ::testing::ExitedWithCode(3), "verifier: stack: the (24|12) KB kernel stack overflowed");
}

TEST(ImageStacksDeathTest, AThreadOnAnOsThreadDeeperThanAKernelStackFailsTheRun)
{
    SKIP_WHERE_STACKS_CANNOT_SWITCH();
    EXPECT_EXIT(
        {
            hosted::PrepareForImages();
            hosted::Kernel kernel(hosted::ThreadMode::OsThreads);
            HANDLE handle = nullptr;
            OBJECT_ATTRIBUTES attributes;
            InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
            int depth = 200;
            PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                 RecurseDeeply, &depth);
            PVOID thread = nullptr;
            ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, KernelMode, &thread, nullptr);
            KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
        },
        ::testing::ExitedWithCode(3), "verifier: stack: the (24|12) KB kernel stack overflowed");
}

// A request the first thread sends: the dispatch routine notes where its
// stack is, and goes as deep as asked.
struct DispatchSeen {
    uintptr_t Stack = 0;
    int Depth = 0;
} g_dispatch;

NTSTATUS NTAPI NoteDispatchStack(PDEVICE_OBJECT, PIRP irp)
{
    volatile char local = 0;
    g_dispatch.Stack = reinterpret_cast<uintptr_t>(&local);
    Recurse(g_dispatch.Depth);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void SendRequestFromTheFirstThread(int depth)
{
    hosted::Kernel kernel(hosted::ThreadMode::Fibers);
    PDRIVER_OBJECT driver = kernel.CreateDriverObject("\\Driver\\Deep");
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = NoteDispatchStack;
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    g_dispatch.Depth = depth;
    PIRP irp = IoBuildDeviceIoControlRequest(0x222003, device, nullptr, 0, nullptr, 0, FALSE,
                                             &event, &status);
    IoCallDriver(device, irp);
    IoDeleteDevice(device);
}

TEST(ImageStacks, TheFirstThreadsRequestsRunOnAKernelStack)
{
    SKIP_WHERE_STACKS_CANNOT_SWITCH();
    hosted::PrepareForImages();
    volatile char here = 0;
    SendRequestFromTheFirstThread(10);
    ASSERT_NE(g_dispatch.Stack, 0u);
    const uintptr_t mine = reinterpret_cast<uintptr_t>(&here);
    EXPECT_GT(mine > g_dispatch.Stack ? mine - g_dispatch.Stack : g_dispatch.Stack - mine,
              64u * 1024);
    EXPECT_GE(hosted::DeepestStackUse().Thread, 10u * 512);
}

TEST(ImageStacksDeathTest, ARequestDeeperThanAKernelStackFailsTheRun)
{
    SKIP_WHERE_STACKS_CANNOT_SWITCH();
    EXPECT_EXIT(
        {
            hosted::PrepareForImages();
            SendRequestFromTheFirstThread(200);
        },
        ::testing::ExitedWithCode(3), "verifier: stack: the (24|12) KB kernel stack overflowed");
}

struct DpcSeen {
    KDPC Dpc;
    uintptr_t Stack = 0;
    int Depth = 0;
};

VOID NTAPI NoteDpcStack(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* seen = static_cast<DpcSeen*>(context);
    volatile char local = 0;
    seen->Stack = reinterpret_cast<uintptr_t>(&local);
    Recurse(seen->Depth);
}

TEST(ImageStacks, DpcsRunOnAStackOfTheirOwn)
{
    SKIP_WHERE_STACKS_CANNOT_SWITCH();
    hosted::PrepareForImages();
    hosted::Kernel kernel(hosted::ThreadMode::Fibers);
    DpcSeen seen;
    seen.Depth = 4;
    KeInitializeDpc(&seen.Dpc, NoteDpcStack, &seen);
    volatile char here = 0;
    KeInsertQueueDpc(&seen.Dpc, nullptr, nullptr);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeLowerIrql(old); // runs the queued DPC
    ASSERT_NE(seen.Stack, 0u);
    const uintptr_t mine = reinterpret_cast<uintptr_t>(&here);
    EXPECT_GT(mine > seen.Stack ? mine - seen.Stack : seen.Stack - mine, 64u * 1024);
    EXPECT_GE(hosted::DeepestStackUse().Dpc, 4u * 512);
}

TEST(ImageStacksDeathTest, ADpcDeeperThanAKernelStackFailsTheRun)
{
    SKIP_WHERE_STACKS_CANNOT_SWITCH();
    EXPECT_EXIT(
        {
            hosted::PrepareForImages();
            hosted::Kernel kernel(hosted::ThreadMode::Fibers);
            DpcSeen seen;
            seen.Depth = 200;
            KeInitializeDpc(&seen.Dpc, NoteDpcStack, &seen);
            KeInsertQueueDpc(&seen.Dpc, nullptr, nullptr);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeLowerIrql(old);
        },
        ::testing::ExitedWithCode(3), "verifier: stack: the (24|12) KB kernel stack overflowed");
}

} // namespace
