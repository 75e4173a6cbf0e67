// Fault injection by kind: the n-th call of a kind fails once, only the
// driver's calls count, and vornsim's `fail KIND N` reaches it. Also what an
// input error does to the teardown's findings, and the registry types a
// query routine sees.
#include "scenario_run.h"

#include "platform/hosted/hosted.h"

#include <gtest/gtest.h>

namespace {

using hosted::FaultKind;

TEST(FaultInjection, TheNthCallOfAKindFailsOnce)
{
    hosted::Kernel kernel;
    kernel.FailNthCall(FaultKind::Irp, 2);
    PIRP first = IoAllocateIrp(1, FALSE);
    PIRP second = IoAllocateIrp(1, FALSE);
    PIRP third = IoAllocateIrp(1, FALSE);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    IoFreeIrp(first);
    IoFreeIrp(third);
    EXPECT_EQ(kernel.InjectableCalls()[size_t(FaultKind::Irp)], 3u);
}

TEST(FaultInjection, EachKindFailsItsOwnCall)
{
    hosted::Kernel kernel;
    PDRIVER_OBJECT driver = kernel.CreateDriverObject("\\Driver\\Probe");
    kernel.FailNthCall(FaultKind::Device, 1);
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, u"\\DosDevices\\PROBE");
    RtlInitUnicodeString(&target, u"\\Device\\Probe");
    kernel.FailNthCall(FaultKind::Link, 1);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_INSUFFICIENT_RESOURCES);
    kernel.FailNthCall(FaultKind::Key, 1);
    ULONG value = 7;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"VORN2000", u"Probe", REG_DWORD, &value,
                                    sizeof value),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(kernel.RegistryKeyExists(u"VORN2000"));
    kernel.FailNthCall(FaultKind::Thread, 1);
    HANDLE thread;
    EXPECT_EQ(PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr, nullptr, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    kernel.FailNthCall(FaultKind::Alloc, 1);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, hosted::PoolTag('P', 'r', 'b', ' ')), nullptr);
    IoDeleteDevice(device);
}

TEST(FaultInjection, TheNeighboursCallsAreNeitherCountedNorFailed)
{
    hosted::Kernel kernel;
    kernel.FailNthCall(FaultKind::Alloc, 1);
    void* block;
    {
        hosted::NeighbourCalls neighbour;
        block = ExAllocatePoolWithTag(NonPagedPool, 8, hosted::PoolTag('P', 'r', 'b', ' '));
    }
    EXPECT_NE(block, nullptr);
    EXPECT_EQ(kernel.InjectableCalls()[size_t(FaultKind::Alloc)], 0u);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, hosted::PoolTag('P', 'r', 'b', ' ')), nullptr);
    ExFreePool(block);
}

TEST(FaultInjection, AnInputErrorReportsTheTeardownsFindingsWithoutFailing)
{
    testing::internal::CaptureStderr();
    {
        hosted::Kernel kernel;
        ExAllocatePoolWithTag(NonPagedPool, 24, hosted::PoolTag('L', 'e', 'a', 'k'));
        kernel.ReportTeardownFindingsOnly(2);
    }
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("teardown: pool-leak: 1 pool block(s) still allocated"),
              std::string::npos)
        << errors;
}

TEST(FaultInjection, AScenarioFailsTheControlDevicesCreation)
{
    ScenarioRun run = RunLines("fail device 1\nload\nopen control\n");
    EXPECT_EQ(run.Exit, 2);
    EXPECT_EQ(run.Errors, "error 3: no control device\n");
}

TEST(FaultInjection, ScenarioFailLinesAreChecked)
{
    EXPECT_EQ(RunLines("fail disk 1\n").Errors,
              "error 1: fail KIND is alloc, irp, device, link, thread or key: disk\n");
    EXPECT_EQ(RunLines("fail alloc 0\n").Errors, "error 1: N must be 1..1000000: 0\n");
}

// A failed write of a device's settings at its creation leaves no device
// key half written, and nothing leaks (the kernel's teardown checks).
TEST(FaultInjection, AScenarioFailsARegistryWriteAndRunsOn)
{
    ScenarioRun run = RunLines("port add COM1\nload\nfail key 1\nctl add COM1\nctl list\n");
    EXPECT_TRUE(run.Exit == 0 || run.Exit == 2) << run.Errors;
}

NTSTATUS NTAPI RecordType(PWSTR, ULONG type, PVOID data, ULONG length, PVOID context, PVOID)
{
    auto* seen = static_cast<std::vector<std::pair<ULONG, std::u16string>>*>(context);
    std::u16string text;
    if (type == REG_SZ)
        text.assign(static_cast<const char16_t*>(data), length / 2 ? length / 2 - 1 : 0);
    seen->emplace_back(type, text);
    return STATUS_SUCCESS;
}

std::vector<UCHAR> Utf16(const std::u16string& text)
{
    std::vector<UCHAR> bytes;
    for (char16_t c : text)
        bytes.insert(bytes.end(), {UCHAR(c & 0xFF), UCHAR(c >> 8)});
    return bytes;
}

TEST(HostedRegistry, QueryRoutinesSeeStringListsAndExpandableStringsAsNtGivesThem)
{
    hosted::Kernel kernel;
    kernel.RegistrySetRaw(u"VORN2000", u"List", REG_MULTI_SZ,
                          Utf16(std::u16string(u"COM1\0COM2\0\0", 11)));
    kernel.RegistrySetRaw(u"VORN2000", u"Path", REG_EXPAND_SZ, Utf16(std::u16string(u"COM3\0", 5)));
    kernel.RegistrySetRaw(u"VORN2000", u"Short", REG_DWORD, {1, 2});
    std::vector<std::pair<ULONG, std::u16string>> seen;
    RTL_QUERY_REGISTRY_TABLE table[4] = {};
    const char16_t* names[] = {u"List", u"Path", u"Short"};
    for (int i = 0; i < 3; ++i) {
        table[i].QueryRoutine = RecordType;
        table[i].Name = const_cast<PWSTR>(names[i]);
    }
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"VORN2000", table, &seen, nullptr),
              STATUS_SUCCESS);
    using Seen = std::vector<std::pair<ULONG, std::u16string>>;
    EXPECT_EQ(seen,
              (Seen{{REG_SZ, u"COM1"}, {REG_SZ, u"COM2"}, {REG_SZ, u"COM3"}, {REG_DWORD, u""}}));
}

} // namespace
