// Installs the root-enumerated vorn device from its INF the way devcon does,
// and checks that the control device opens, for the test that runs the real
// driver under Wine.
//
//   install_device install INF HWID   create ROOT\VORN2000\0000, register it, install INF on it
//   install_device probe              open \\.\VORN and close it again
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>
#include <cstdio>
#include <cstring>

namespace {

const char kInstanceId[] = "ROOT\\VORN2000\\0000";

// {4D36E96F-E325-11CE-BFC1-08002BE10318}, the mouse class.
const GUID kMouseClass = {
    0x4d36e96f, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

int Fail(const char* what)
{
    std::printf("%s failed: error %lu\n", what, GetLastError());
    return 1;
}

int Install(const char* inf, const char* hardwareId)
{
    char infPath[MAX_PATH];
    if (!GetFullPathNameA(inf, sizeof(infPath), infPath, nullptr))
        return Fail("GetFullPathName");

    // A hardware ID property is a list of strings ending in an empty one.
    char ids[256] = {};
    size_t idLength = std::strlen(hardwareId);
    if (idLength + 2 > sizeof(ids))
        return Fail("hardware ID length");
    std::memcpy(ids, hardwareId, idLength);

    HDEVINFO set = SetupDiCreateDeviceInfoList(&kMouseClass, nullptr);
    if (set == INVALID_HANDLE_VALUE)
        return Fail("SetupDiCreateDeviceInfoList");
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    int result = 0;
    if (!SetupDiCreateDeviceInfoA(set, kInstanceId, &kMouseClass, nullptr, nullptr, 0, &device))
        result = Fail("SetupDiCreateDeviceInfo");
    else if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                                reinterpret_cast<const BYTE*>(ids),
                                                static_cast<DWORD>(idLength + 2)))
        result = Fail("SetupDiSetDeviceRegistryProperty");
    else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device))
        result = Fail("DIF_REGISTERDEVICE");
    SetupDiDestroyDeviceInfoList(set);
    if (result)
        return result;

    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, hardwareId, infPath, INSTALLFLAG_FORCE,
                                            &reboot))
        return Fail("UpdateDriverForPlugAndPlayDevices");
    std::printf("installed %s for %s from %s\n", kInstanceId, hardwareId, infPath);
    return 0;
}

int Probe()
{
    HANDLE control = CreateFileA("\\\\.\\VORN", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (control == INVALID_HANDLE_VALUE)
        return Fail("CreateFile \\\\.\\VORN");
    CloseHandle(control);
    std::printf("opened \\\\.\\VORN\n");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && !std::strcmp(argv[1], "install"))
        return Install(argv[2], argv[3]);
    if (argc == 2 && !std::strcmp(argv[1], "probe"))
        return Probe();
    std::fprintf(stderr, "usage: install_device install INF HWID | probe\n");
    return 2;
}
