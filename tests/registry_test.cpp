// The registry schema against the hosted registry.
#include "config/registry.h"
#include "fixture.h"

namespace {

const std::u16string Service = u"VORN2000";
const std::u16string RegistryPath = std::u16string(hosted::Kernel::ServicesRoot()) + u"\\VORN2000";

class RegistryTest : public DriverTest {
protected:
    std::vector<ConfiguredDeviceBlock> Enumerate()
    {
        UNICODE_STRING path;
        RtlInitUnicodeString(&path, RegistryPath.c_str());
        ConfiguredDeviceNode* list = EnumerateConfiguredDevices(&path);
        std::vector<ConfiguredDeviceBlock> blocks;
        for (ConfiguredDeviceNode* node = list; node; node = node->Next) {
            EXPECT_EQ(node->Prev, nullptr);
            blocks.push_back(*node->Block);
            names.emplace_back(node->Block->PortNameSetting.Buffer,
                               node->Block->PortNameSetting.Length / 2);
            const UNICODE_STRING& stored = node->StoredPortName;
            storedNames.emplace_back(stored.Buffer ? stored.Buffer : u"", stored.Length / 2);
            ExFreePool(node->Block->PortNameSetting.Buffer); // as a device's teardown would
        }
        FreeConfiguredDevices(list);
        return blocks;
    }
    std::vector<std::u16string> names;
    std::vector<std::u16string> storedNames; // each block's overlong COMM, kept whole
};

TEST_F(RegistryTest, AbsentGlobalValuesKeepTheInitialValues)
{
    kernel.RegistrySetDword(Service, u"Unrelated", 7);
    ReadGlobalSettings(VORN_SERVICE_KEY, &Control());
    const DeviceExtension& c = Control();
    EXPECT_EQ((std::vector<LONG>{LONG(c.MouseMode), LONG(c.DoubleClickSpeed), c.DoubleClickSize,
                                 LONG(c.Language), c.A0, c.A1, c.A2, c.A3, c.Uppper, c.Low,
                                 c.FilterThreshold, LONG(c.Filter), LONG(c.Rotation)}),
              (std::vector<LONG>{0, 0, 0, 0, 4, 4, 4, 12, 36, 1, 256, 1, 0}));
    kernel.RegistrySetDword(Service, u"Filter Threshold", 99);
    kernel.RegistrySetDword(Service, u"Rotation", 3);
    kernel.RegistrySetString(Service, u"A0", u"not a number"); // wrong type: skipped
    ReadGlobalSettings(VORN_SERVICE_KEY, &Control());
    EXPECT_EQ(c.FilterThreshold, 99);
    EXPECT_EQ(c.Rotation, 3u);
    EXPECT_EQ(c.A0, 4);
}

TEST_F(RegistryTest, DeviceKeysWithoutGapsFromDeviceZero)
{
    kernel.RegistrySetString(Service + u"\\Device0", u"COMM", u"COM2");
    kernel.RegistrySetDword(Service + u"\\Device1", u"BaudRate", 19200);
    kernel.RegistrySetDword(Service + u"\\Device1", u"LLX", 180);
    kernel.RegistrySetString(Service + u"\\Device1", u"LLY", u"text"); // wrong type: skipped
    kernel.RegistrySetDword(Service + u"\\Device3", u"BaudRate", 1);
    auto blocks = Enumerate();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(names[0], u"COM2");
    EXPECT_EQ(blocks[0].BaudRate, 0u); // absent per-device values are 0
    EXPECT_EQ(blocks[0].LLX, 0);
    EXPECT_EQ(blocks[0].PortNameSetting.MaximumLength, 64);
    EXPECT_EQ(blocks[1].BaudRate, 19200u);
    EXPECT_EQ(blocks[1].LLX, 180);
    EXPECT_EQ(blocks[1].LLY, 0);
    EXPECT_EQ(names[1], u"");
}

TEST_F(RegistryTest, AnOverlongPortNameLeavesTheBlockWithoutOneAndIsKeptWhole)
{
    const std::u16string overlong(32, u'X');
    kernel.RegistrySetString(Service + u"\\Device0", u"COMM", u"COM1");
    kernel.RegistrySetString(Service + u"\\Device1", u"COMM", overlong);
    kernel.RegistrySetString(Service + u"\\Device2", u"COMM", u"COM3");
    EXPECT_EQ(Enumerate().size(), 3u);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"COM1", u"", u"COM3"}));
    EXPECT_EQ(storedNames, (std::vector<std::u16string>{u"", overlong, u""}));
    names.clear();
    storedNames.clear();
    kernel.RegistrySetString(Service + u"\\Device1", u"COMM", std::u16string(31, u'X'));
    EXPECT_EQ(Enumerate().size(), 3u);
    EXPECT_EQ(names[1], std::u16string(31, u'X'));
    EXPECT_EQ(storedNames[1], u"") << "it fits: nothing to keep";
    names.clear();
    kernel.RegistryDeleteKey(Service + u"\\Device0");
    EXPECT_TRUE(Enumerate().empty());
}

TEST_F(RegistryTest, PoolExhaustionEndsTheEnumerationCleanly)
{
    for (int i = 0; i < 3; ++i)
        kernel.RegistrySetDword(Service + u"\\Device" + char16_t(u'0' + i), u"BaudRate", 9600);
    for (ULONGLONG failAt = 1; failAt <= 12; ++failAt) {
        kernel.FailNthAllocation(failAt);
        size_t found = Enumerate().size();
        names.clear();
        EXPECT_LE(found, 3u);
    }
    kernel.ClearAllocationFaults();
}

TEST_F(RegistryTest, GlobalValuesAreWrittenTogether)
{
    kernel.TakeRegistryWrites();
    Control().Rotation = 2;
    WriteGlobalSettings(VORN_SERVICE_KEY, &Control());
    auto writes = kernel.TakeRegistryWrites();
    std::vector<std::u16string> names;
    for (const auto& [key, name] : writes) {
        EXPECT_EQ(key, u"VORN2000");
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"MouseMode", u"DoubleClickSpeed",
                                                  u"DoubleClickSize", u"Language", u"Rotation"}));
    hosted::Kernel::RegistryValue value;
    ASSERT_TRUE(kernel.RegistryGet(Service, u"Rotation", &value));
    EXPECT_EQ(value.Dword, 2u);
}

TEST_F(RegistryTest, PortNameStoredWithoutItsZeroIsReadWhole)
{
    std::vector<UCHAR> bytes;
    for (char16_t c : std::u16string(u"COM12")) {
        bytes.push_back(UCHAR(c));
        bytes.push_back(0);
    }
    kernel.RegistrySetRaw(Service + u"\\Device0", u"COMM", REG_SZ, bytes);
    bytes.resize(2 * 31); // 31 characters, no zero: the most the block holds
    for (size_t i = 0; i < bytes.size(); i += 2)
        bytes[i] = 'X';
    kernel.RegistrySetRaw(Service + u"\\Device1", u"COMM", REG_SZ, bytes);
    auto blocks = Enumerate();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(names[0], u"COM12");
    EXPECT_EQ(names[1], std::u16string(31, u'X'));
}

} // namespace

namespace {

NTSTATUS CreateKey(const std::u16string& path, ULONG* disposition)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path.c_str());
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE key;
    NTSTATUS status = ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, disposition);
    if (NT_SUCCESS(status))
        ZwClose(key);
    return status;
}

// As on NT: the last component is created, an existing key is opened, and a
// missing parent fails the call.
TEST_F(RegistryTest, ZwCreateKeyMakesOnlyTheLastComponent)
{
    kernel.RegistrySetDword(Service, u"MouseMode", 0);
    ULONG disposition = 0;
    EXPECT_EQ(CreateKey(RegistryPath + u"\\Device7", &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    EXPECT_EQ(CreateKey(RegistryPath + u"\\DEVICE7", &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    EXPECT_TRUE(kernel.RegistryKeyExists(Service + u"\\Device7"));
    EXPECT_EQ(CreateKey(RegistryPath + u"\\Missing\\Device0", &disposition),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(kernel.RegistryKeyExists(Service + u"\\Missing"));
}

} // namespace
