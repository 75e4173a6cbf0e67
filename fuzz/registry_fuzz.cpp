// The registry at load: values of any type, length and content under the
// service key and its Device<n> keys, then driver entry, the mouse-port
// device's start and a while of hosted time, and the teardown's leak checks.
#include "fuzz/fuzz_input.h"
#include "sim/system.h"

#include <string>

namespace {

const char16_t* const ValueNames[] = {
    u"MouseMode",
    u"DoubleClickSpeed",
    u"DoubleClickSize",
    u"Language",
    u"A0",
    u"A1",
    u"A2",
    u"A3",
    u"Uppper",
    u"Low",
    u"Filter Threshold",
    u"Filter",
    u"Rotation",
    u"LLX",
    u"LLY",
    u"LRX",
    u"LRY",
    u"ULX",
    u"ULY",
    u"URX",
    u"URY",
    u"BaudRate",
    u"COMM",
    u"RxBufferSize",
    u"PointBufferSize",
    u"ModeStatus",
    u"Interface",
    u"Mode",
    u"SelDelay",
    u"ClickDelay",
    u"XDeviation",
    u"YDeviation",
    u"ScreenLeft",
    u"ScreenTop",
    u"ScreenRight",
    u"ScreenBottom",
};
constexpr ULONG NameCount = sizeof ValueNames / sizeof ValueNames[0];

const ULONG Types[] = {REG_DWORD,  REG_SZ,       REG_SZ,        REG_DWORD,
                       REG_BINARY, REG_MULTI_SZ, REG_EXPAND_SZ, REG_NONE};

std::u16string KeyName(fuzz::Input& in)
{
    ULONG n = in.Pick(6);
    return n >= 4 ? u"VORN2000" : u"VORN2000\\Device" + std::u16string(1, char16_t(u'0' + n));
}

std::vector<UCHAR> Data(fuzz::Input& in, ULONG type)
{
    switch (in.Pick(4)) {
    case 0:
        if (type == REG_DWORD)
            return in.Bytes(4);
        break;
    case 1: {
        // A port name, as COMM carries it, with or without its zero.
        const char16_t* names[] = {u"COM1", u"COM2", u"COM9", u""};
        std::u16string name = names[in.Pick(4)];
        std::vector<UCHAR> bytes(reinterpret_cast<const UCHAR*>(name.c_str()),
                                 reinterpret_cast<const UCHAR*>(name.c_str()) +
                                     (name.size() + in.Pick(2)) * 2);
        return bytes;
    }
    default:
        break;
    }
    return in.Bytes(in.Pick(80));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::CrashOnVerifierFailure();
    fuzz::Input in(data, size);
    hosted::Kernel kernel;
    {
        sim::System system(kernel);
        system.AddPort("COM1");
        system.AddPort("COM2");
        for (int i = 0; i < 48 && in.Left() > 0; ++i) {
            std::u16string key = KeyName(in);
            std::u16string name = in.Pick(8) == 0 ? u"Unknown" : ValueNames[in.Pick(NameCount)];
            ULONG type = in.Pick(6) == 0 ? in.Take<ULONG>() : Types[in.Pick(8)];
            kernel.RegistrySetRaw(key, name, type, Data(in, type));
        }
        system.Load();
        if (system.AddDevice() == STATUS_SUCCESS)
            system.Pnp(IRP_MN_START_DEVICE);
        kernel.Settle();
        kernel.SleepMs(1500); // parameter reads, read timeouts
    }
    return 0;
}
