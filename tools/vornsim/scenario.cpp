#include "tools/vornsim/scenario.h"

#include "config/device_record.h"
#include "control/control.h"
#include "sim/system.h"
#include "tools/vornsim/ctl.h"
#include "tools/vornsim/handle_numbers.h"

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace vornsim {
namespace {

// A malformed line: reported as "error LINE: WHY".
struct ScenarioError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::u16string Wide(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

std::string Narrow(const std::u16string& text)
{
    return std::string(text.begin(), text.end());
}

std::string Hex(const std::vector<uint8_t>& bytes)
{
    std::string out;
    char digits[3];
    for (uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", b);
        out += digits;
    }
    return out;
}

std::string Status(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", unsigned(status));
    return text;
}

ULONG Number(const std::string& text)
{
    if (text.empty())
        throw ScenarioError("a number is missing");
    size_t used = 0;
    unsigned long long value;
    try {
        value = std::stoull(text, &used, 0);
    } catch (const std::exception&) {
        throw ScenarioError("not a number: " + text);
    }
    if (used != text.size() || value > 0xFFFFFFFFull)
        throw ScenarioError("not a 32-bit number: " + text);
    return ULONG(value);
}

std::vector<std::string> Split(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

// Text after the first `count` words of `line`.
std::string RestAfterWords(const std::string& line, size_t count)
{
    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        at = line.find_first_not_of(" \t", at);
        at = line.find_first_of(" \t", at);
        if (at == std::string::npos)
            return "";
    }
    at = line.find_first_not_of(" \t", at);
    return at == std::string::npos ? "" : line.substr(at);
}

std::string StripComment(const std::string& line)
{
    for (size_t i = 0; i < line.size(); ++i)
        if (line[i] == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t'))
            return line.substr(0, i);
    return line;
}

// Bounds that keep one line from running for minutes or taking gigabytes.
constexpr ULONG MaxSleepMs = 24 * 60 * 60 * 1000; // a day of hosted time
constexpr ULONG MaxFailCall = 1000000;            // more calls than any scenario makes

struct PendingRequest {
    ULONG Code;
    KEVENT Done;
    IO_STATUS_BLOCK Status;
    std::vector<uint8_t> Output;
};

class Runner {
public:
    Runner(std::ostream& out, const sim::DriverUnderTest& driver)
        : out_(out), system_(kernel_, driver)
    {
        kernel_.SetDebugSink([this](const std::string& text) { Event("dbg " + Escape(text)); });
        kernel_.SetDeviceCreatedSink(
            [this](PDEVICE_OBJECT device) { handleNumbers_.DeviceCreated(device); });
        system_.SetRecordSink([this](const MOUSE_INPUT_DATA& r) {
            {
                // A calibration's taps are its own, as a calibration window
                // takes them on Windows.
                std::lock_guard<std::mutex> guard(outLock_);
                if (capturing_) {
                    captured_.push_back(r);
                    return;
                }
            }
            char line[128];
            std::snprintf(line, sizeof line, "record unit=%u flags=%u buttons=0x%X x=%ld y=%ld",
                          r.UnitId, r.Flags, r.ButtonFlags, long(r.LastX), long(r.LastY));
            Event(line);
        });
    }

    ~Runner()
    {
        kernel_.Settle();
        ReportCompletions();
        ReportBackground();
        for (auto& [name, file] : handles_)
            hosted::CloseHandle(file);
        handles_.clear();
        // Requests still pending are cancelled by the teardown.
        kernel_.SetDebugSink(nullptr);
        kernel_.SetDeviceCreatedSink(nullptr);
    }

    // The run ends with an input error: what the teardown finds left behind
    // is reported, and the exit status stays the input error's.
    void EndsWithInputError(int exitStatus) { kernel_.ReportTeardownFindingsOnly(exitStatus); }

    void Run(const std::string& rawLine)
    {
        std::string line = StripComment(rawLine);
        std::vector<std::string> w = Split(line);
        if (w.empty())
            return;
        HoldOtherThreads(true);
        Dispatch(line, w);
        HoldOtherThreads(false);
        kernel_.Settle();
        ReportCompletions();
        ReportBackground();
        RememberHandles();
    }

private:
    // A command's own lines (its answers) are printed as it makes them.
    void Print(const std::string& line)
    {
        std::lock_guard<std::mutex> guard(outLock_);
        out_ << handleNumbers_.ShownInText(line) << "\n";
    }

    // What the system reports while a command runs (records, debugger
    // messages) comes after the command's own lines, in the order it
    // happened, whichever thread happened to report it: the output must not
    // depend on the thread schedule.
    void Event(const std::string& line)
    {
        std::lock_guard<std::mutex> guard(outLock_);
        if (holding_)
            held_.push_back(line);
        else
            out_ << line << "\n";
    }

    void HoldOtherThreads(bool hold)
    {
        std::lock_guard<std::mutex> guard(outLock_);
        holding_ = hold;
        if (hold)
            return;
        for (const std::string& line : held_)
            out_ << line << "\n";
        held_.clear();
    }

    static std::string Escape(const std::string& text)
    {
        std::string out;
        for (char c : text)
            out += c == '\n' ? std::string("\\n") : std::string(1, c);
        return out;
    }

    static void Want(const std::vector<std::string>& w, size_t low, size_t high)
    {
        if (w.size() < low || w.size() > high)
            throw ScenarioError("wrong number of words for " + w[0]);
    }

    void Dispatch(const std::string& line, const std::vector<std::string>& w)
    {
        const std::string& verb = w[0];
        if (verb == "reg")
            Registry(line, w);
        else if (verb == "port")
            Port(w);
        else if (verb == "iface")
            Interface(w);
        else if (verb == "load") {
            Want(w, 1, 1);
            if (system_.Loaded())
                throw ScenarioError("the driver is already loaded");
            system_.Load();
        } else if (verb == "pnp")
            Pnp(w);
        else if (verb == "open")
            Open(w);
        else if (verb == "close" && w.size() == 2 && handles_.count(w[1])) {
            hosted::CloseHandle(handles_[w[1]]);
            handles_.erase(w[1]);
        } else if (verb == "close") {
            Want(w, 2, 2);
            NTSTATUS status = system_.Close(Device(w[1]));
            Print("close " + w[1] + " status=" + Status(status));
        } else if (verb == "class")
            Class(w);
        else if (verb == "ioctl")
            Ioctl(w);
        else if (verb == "ctl")
            Ctl(w);
        else if (verb == "settle") {
            Want(w, 1, 1);
        } else if (verb == "sleep") {
            Want(w, 2, 2);
            kernel_.SleepMs(Bounded(w[1], "MS", 0, MaxSleepMs));
        } else if (verb == "fail")
            Fail(w);
        else
            throw ScenarioError("unknown command " + verb);
    }

    // fail KIND N: the N-th injectable call of KIND from now on fails, once.
    void Fail(const std::vector<std::string>& w)
    {
        Want(w, 3, 3);
        hosted::FaultKind kind;
        if (!hosted::FaultKindNamed(w[1], &kind))
            throw ScenarioError("fail KIND is alloc, irp, device, link, thread or key: " + w[1]);
        kernel_.FailNthCall(kind, ULONGLONG(Bounded(w[2], "N", 1, MaxFailCall)));
    }

    // open DEV [as NAME] [user=standard|admin]: a create as a program of
    // that user sends it; with `as NAME`, a handle kept under NAME.
    void Open(const std::vector<std::string>& w)
    {
        Want(w, 2, 5);
        size_t next = 2;
        std::string name;
        if (next < w.size() && w[next] == "as") {
            if (next + 1 >= w.size())
                throw ScenarioError("open DEV as NAME");
            name = w[next + 1];
            next += 2;
            if (name.find(':') != std::string::npos || name == "control" || name == "mouseport")
                throw ScenarioError("a handle name cannot be a device name: " + name);
            if (handles_.count(name))
                throw ScenarioError("handle " + name + " is already open");
        }
        hosted::Account user = hosted::Account::Administrator;
        if (next < w.size()) {
            if (w[next] == "user=standard")
                user = hosted::Account::StandardUser;
            else if (w[next] != "user=admin")
                throw ScenarioError(w.size() == 3 || !name.empty()
                                        ? "expected user=standard or user=admin"
                                        : "open DEV as NAME");
            ++next;
        }
        if (next != w.size())
            throw ScenarioError("wrong number of words for open");
        PDEVICE_OBJECT device = Device(w[1]);
        NTSTATUS status;
        if (name.empty()) {
            status = system_.Open(device, user);
        } else {
            hosted::Opener opener;
            opener.User = user;
            PFILE_OBJECT file = nullptr;
            status = hosted::OpenHandle(device, &file, opener);
            if (NT_SUCCESS(status)) {
                handles_[name] = file;
                handleUsers_[file] = user;
            }
        }
        Print("open " + w[1] + " status=" + Status(status));
    }

    void Registry(const std::string& line, const std::vector<std::string>& w)
    {
        if (w.size() < 3)
            throw ScenarioError("reg needs a verb and a key");
        const std::u16string key = Wide(w[2]);
        if (w[1] == "delete") {
            Want(w, 3, 3);
            kernel_.RegistryDeleteKey(key);
        } else if (w[1] == "dump") {
            Want(w, 3, 3);
            for (const auto& e : kernel_.RegistryDump(key)) {
                std::string value = e.Value.Type == REG_DWORD
                                        ? "dword " + std::to_string(e.Value.Dword)
                                        : "sz " + Narrow(e.Value.Text);
                Print("reg " + Narrow(e.Key) + " " + Narrow(e.Name) + " " + value);
            }
        } else if (w[1] == "set") {
            // The name may hold spaces ("Filter Threshold"): it runs to the type word.
            size_t type = 4;
            while (type < w.size() && w[type] != "dword" && w[type] != "sz")
                ++type;
            if (type >= w.size() || type == 3)
                throw ScenarioError("reg set needs NAME dword N or NAME sz TEXT");
            std::string name = w[3];
            for (size_t i = 4; i < type; ++i)
                name += " " + w[i];
            if (w[type] == "dword") {
                if (type + 2 != w.size())
                    throw ScenarioError("reg set dword takes one number");
                kernel_.RegistrySetDword(key, Wide(name), Number(w[type + 1]));
            } else {
                kernel_.RegistrySetString(key, Wide(name), Wide(RestAfterWords(line, type + 1)));
            }
        } else
            throw ScenarioError("unknown reg verb " + w[1]);
    }

    sim::SerialPort& PortNamed(const std::string& name)
    {
        sim::SerialPort* port = system_.FindPort(name);
        if (!port)
            throw ScenarioError("no port " + name);
        return *port;
    }

    static std::vector<UCHAR> Bytes(const std::vector<std::string>& w, size_t from)
    {
        std::string text;
        for (size_t i = from; i < w.size(); ++i)
            text += w[i];
        if (text.size() % 2)
            throw ScenarioError("hex bytes come in pairs of digits");
        std::vector<UCHAR> bytes;
        for (size_t i = 0; i < text.size(); i += 2) {
            std::string pair = text.substr(i, 2);
            if (pair.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                throw ScenarioError("not hex: " + pair);
            bytes.push_back(UCHAR(std::stoul(pair, nullptr, 16)));
        }
        return bytes;
    }

    void Port(const std::vector<std::string>& w)
    {
        if (w.size() < 3)
            throw ScenarioError("port needs a verb and a name");
        const std::string& verb = w[1];
        const std::string& name = w[2];
        if (verb == "add") {
            Want(w, 3, 3);
            system_.AddPort(name);
        } else if (verb == "param") {
            Want(w, 5, 5);
            ULONG index = Number(w[3]);
            if (index >= 64)
                throw ScenarioError("parameter index beyond 63");
            PortNamed(name).Controller.Memory[index] = USHORT(Number(w[4]));
        } else if (verb == "answers") {
            Want(w, 4, 4);
            PortNamed(name).Controller.AnswersLeft = long(Number(w[3]));
        } else if (verb == "send") {
            PortNamed(name).Send(Bytes(w, 3));
        } else if (verb == "trickle") {
            PortNamed(name).Trickle(Bytes(w, 3));
        } else if (verb == "touch") {
            Want(w, 5, 6);
            if (w.size() == 6 && w[5] != "up")
                throw ScenarioError("port touch ends with X Y or X Y up");
            PortNamed(name).SendTouch(Number(w[3]), Number(w[4]), w.size() == 5);
        } else if (verb == "panel") {
            PortNamed(name).SetPanel(PanelOf(w));
        } else if (verb == "tap") {
            Want(w, 5, 7);
            int reports = 1;
            if (w.size() > 5) {
                if (w.size() != 7 || w[5] != "reports")
                    throw ScenarioError("port tap ends with SX SY or SX SY reports K");
                reports = int(Bounded(w[6], "reports", 1, 1000));
            }
            PortNamed(name).Tap(Bounded(w[3], "SX", 0, 65536), Bounded(w[4], "SY", 0, 65536),
                                reports);
        } else if (verb == "remove") {
            Want(w, 3, 3);
            PortNamed(name);
            system_.RemovePort(name);
        } else if (verb == "fail-reads") {
            Want(w, 5, 5);
            PortNamed(name).FailReads(NTSTATUS(Number(w[3])), Number(w[4]));
        } else if (verb == "reads") {
            Want(w, 3, 3);
            Print("serial " + name + " reads " + std::to_string(PortNamed(name).ReadsReceived()));
        } else if (verb == "log") {
            Want(w, 3, 3);
            for (const sim::PortRequest& request : PortNamed(name).TakeLog())
                Print("serial " + name + " " + Describe(request));
        } else
            throw ScenarioError("unknown port verb " + verb);
    }

    // A signed number within low..high.
    static int32_t Bounded(const std::string& text, const std::string& what, int64_t low,
                           int64_t high)
    {
        bool negative = !text.empty() && text[0] == '-';
        int64_t value = Number(negative ? text.substr(1) : text);
        value = negative ? -value : value;
        if (value < low || value > high)
            throw ScenarioError(what + " must be " + std::to_string(low) + ".." +
                                std::to_string(high) + ": " + text);
        return int32_t(value);
    }

    // port panel NAME LLX LLY LRX LRY URX URY ULX ULY [bow BX BY] [jitter J]
    static sim::Panel PanelOf(const std::vector<std::string>& w)
    {
        if (w.size() < 11)
            throw ScenarioError("port panel needs the eight corner coordinates");
        static const char* const names[] = {"LLX", "LLY", "LRX", "LRY", "URX", "URY", "ULX", "ULY"};
        sim::Panel panel;
        for (int i = 0; i < 8; ++i)
            panel.Corners[i] = Bounded(w[3 + i], names[i], 0, 16383);
        for (size_t i = 11; i < w.size();) {
            if (w[i] == "bow" && i + 2 < w.size()) {
                panel.BowX = Bounded(w[i + 1], "BX", -16383, 16383);
                panel.BowY = Bounded(w[i + 2], "BY", -16383, 16383);
                i += 3;
            } else if (w[i] == "jitter" && i + 1 < w.size()) {
                panel.Jitter = Bounded(w[i + 1], "J", 0, 1000);
                i += 2;
            } else {
                throw ScenarioError("port panel takes bow BX BY and jitter J after the corners");
            }
        }
        return panel;
    }

    static ULONG ValueAt(const std::vector<UCHAR>& bytes, size_t offset)
    {
        ULONG v = 0;
        for (size_t i = 0; i < 4 && offset + i < bytes.size(); ++i)
            v |= ULONG(bytes[offset + i]) << (8 * i);
        return v;
    }

    static std::string Describe(const sim::PortRequest& request)
    {
        const std::vector<UCHAR>& b = request.Bytes;
        char text[128];
        switch (request.Code) {
        case IOCTL_SERIAL_SET_BAUD_RATE:
            return "baud " + std::to_string(ValueAt(b, 0));
        case IOCTL_SERIAL_SET_LINE_CONTROL:
            std::snprintf(text, sizeof text, "line %02x %02x %02x", b.size() > 0 ? b[0] : 0,
                          b.size() > 1 ? b[1] : 0, b.size() > 2 ? b[2] : 0);
            return text;
        case IOCTL_SERIAL_SET_TIMEOUTS:
            std::snprintf(text, sizeof text, "timeouts %lu %lu %lu %lu %lu",
                          (unsigned long)ValueAt(b, 0), (unsigned long)ValueAt(b, 4),
                          (unsigned long)ValueAt(b, 8), (unsigned long)ValueAt(b, 12),
                          (unsigned long)ValueAt(b, 16));
            return text;
        case 0:
            return "write " + Hex(std::vector<uint8_t>(b.begin(), b.end()));
        default:
            std::snprintf(text, sizeof text, "ioctl 0x%08lX", (unsigned long)request.Code);
            return text;
        }
    }

    void Interface(const std::vector<std::string>& w)
    {
        Want(w, 3, 3);
        if (w[1] == "add")
            system_.AddInterface(w[2]);
        else if (w[1] == "remove")
            system_.RemoveInterface(w[2]);
        else
            throw ScenarioError("unknown iface verb " + w[1]);
    }

    void Pnp(const std::vector<std::string>& w)
    {
        Want(w, 2, 2);
        static const std::map<std::string, UCHAR> minors = {
            {"start", IRP_MN_START_DEVICE},           {"query-remove", IRP_MN_QUERY_REMOVE_DEVICE},
            {"remove", IRP_MN_REMOVE_DEVICE},         {"capabilities", IRP_MN_QUERY_CAPABILITIES},
            {"state", IRP_MN_QUERY_PNP_DEVICE_STATE},
        };
        if (w[1] == "add") {
            if (!system_.Loaded())
                throw ScenarioError("pnp add before load");
            Print("pnp add status=" + Status(system_.AddDevice()));
            return;
        }
        auto minor = minors.find(w[1]);
        if (minor == minors.end())
            throw ScenarioError("unknown pnp request " + w[1]);
        if (!system_.MousePort())
            throw ScenarioError("no mouse-port device: pnp add first");
        sim::PnpAnswer answer = system_.Pnp(minor->second);
        std::string text = "pnp " + w[1] + " status=" + Status(answer.Status);
        if (answer.HasCapabilities)
            text += " surprise-removal-ok=" + std::to_string(answer.SurpriseRemovalOk ? 1 : 0);
        Print(text);
    }

    static ULONG LengthOption(const std::vector<std::string>& w, size_t at, ULONG fallback)
    {
        if (w.size() <= at)
            return fallback;
        if (w[at].rfind("len=", 0) != 0)
            throw ScenarioError("expected len=N");
        return ULONG(Bounded(w[at].substr(4), "len", 0, hosted::MaxBufferedTransfer));
    }

    void Class(const std::vector<std::string>& w)
    {
        if (w.size() < 2)
            throw ScenarioError("class needs a verb");
        const std::string& verb = w[1];
        if (verb == "take") {
            Want(w, 3, 3);
            system_.SetClassTakeLimit(w[2] == "all" ? -1 : int(Number(w[2])));
            return;
        }
        if (!system_.MousePort())
            throw ScenarioError("no mouse-port device: pnp add first");
        if (verb == "connect") {
            Want(w, 2, 3);
            NTSTATUS status = system_.ClassConnect(LengthOption(w, 2, sizeof(CONNECT_DATA)));
            Print("class connect status=" + Status(status));
        } else if (verb == "attributes") {
            Want(w, 2, 3);
            sim::AttributesAnswer a =
                system_.ClassAttributes(LengthOption(w, 2, sizeof(MOUSE_ATTRIBUTES)));
            std::string text = "class attributes status=" + Status(a.Status) +
                               " info=" + std::to_string(a.Information);
            if (a.Information >= sizeof(MOUSE_ATTRIBUTES))
                text += " id=" + std::to_string(a.Attributes.MouseIdentifier) +
                        " buttons=" + std::to_string(a.Attributes.NumberOfButtons) +
                        " rate=" + std::to_string(a.Attributes.SampleRate) +
                        " queue=" + std::to_string(a.Attributes.InputDataQueueLength);
            Print(text);
        } else {
            static const std::map<std::string, ULONG> codes = {
                {"enable", IOCTL_INTERNAL_MOUSE_ENABLE},
                {"disable", IOCTL_INTERNAL_MOUSE_DISABLE},
                {"disconnect", IOCTL_INTERNAL_MOUSE_DISCONNECT},
            };
            auto code = codes.find(verb);
            if (code == codes.end())
                throw ScenarioError("unknown class verb " + verb);
            Want(w, 2, 2);
            Print("class " + verb + " status=" + Status(system_.ClassRequest(code->second)));
        }
    }

    static std::vector<PDEVICE_OBJECT> Devices(ListNode* head)
    {
        std::vector<PDEVICE_OBJECT> devices;
        for (; head; head = head->Next)
            devices.push_back(head->Device);
        return devices;
    }

    std::vector<PDEVICE_OBJECT> ListOf(const std::string& kind)
    {
        PDEVICE_OBJECT device = system_.ControlDevice();
        if (!device)
            return {};
        DeviceExtension* control = ExtensionOf(device);
        return Devices(kind == "port" ? control->PortList : control->DynamicList);
    }

    PDEVICE_OBJECT ListedDevice(const std::string& name)
    {
        size_t colon = name.find(':');
        std::string kind = name.substr(0, colon);
        if (colon == std::string::npos || (kind != "port" && kind != "dyn"))
            throw ScenarioError("a device is control, mouseport, port:I or dyn:I");
        ULONG index = Number(name.substr(colon + 1));
        std::vector<PDEVICE_OBJECT> devices = ListOf(kind);
        if (index >= devices.size())
            throw ScenarioError("no device " + name);
        return devices[index];
    }

    PDEVICE_OBJECT Device(const std::string& name)
    {
        if (name == "control") {
            if (!system_.ControlDevice())
                throw ScenarioError("no control device");
            return system_.ControlDevice();
        }
        if (name == "mouseport") {
            if (!system_.MousePort())
                throw ScenarioError("no mouse-port device");
            return system_.MousePort();
        }
        return ListedDevice(name);
    }

    void RememberHandles()
    {
        for (const char* kind : {"port", "dyn"})
            for (PDEVICE_OBJECT device : ListOf(kind))
                seenHandles_.insert(HandleOfDevice(device));
    }

    ULONG GoneHandle()
    {
        std::set<ULONG> live;
        for (const char* kind : {"port", "dyn"})
            for (PDEVICE_OBJECT device : ListOf(kind))
                live.insert(HandleOfDevice(device));
        for (ULONG handle : seenHandles_)
            if (!live.count(handle))
                return handle;
        throw ScenarioError("{gone}: no device has been removed yet");
    }

    void AppendHandle(std::vector<uint8_t>& bytes, ULONG handle)
    {
        for (int i = 0; i < 4; ++i)
            bytes.push_back(uint8_t(handle >> (8 * i)));
    }

    // HEX with {port:I}, {dyn:I} and {gone} standing for handles.
    std::vector<uint8_t> InputBytes(const std::string& text)
    {
        std::vector<uint8_t> bytes;
        std::string digits;
        auto flush = [&] {
            std::vector<UCHAR> part = Bytes({digits}, 0);
            bytes.insert(bytes.end(), part.begin(), part.end());
            digits.clear();
        };
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] != '{') {
                digits += text[i];
                continue;
            }
            size_t end = text.find('}', i);
            if (end == std::string::npos)
                throw ScenarioError("unterminated {");
            flush();
            std::string name = text.substr(i + 1, end - i - 1);
            AppendHandle(bytes, name == "gone" ? GoneHandle() : HandleOfDevice(ListedDevice(name)));
            i = end;
        }
        flush();
        return bytes;
    }

    void Ioctl(const std::vector<std::string>& w)
    {
        if (w.size() < 2)
            throw ScenarioError("ioctl needs a code");
        ULONG code = Number(w[1]);
        std::vector<uint8_t> input;
        ULONG output = 0;
        PDEVICE_OBJECT target = nullptr;
        PFILE_OBJECT file = nullptr;
        std::string hex;
        for (size_t i = 2; i < w.size(); ++i) {
            if (w[i].rfind("in=", 0) == 0) {
                hex = w[i].substr(3);
                // HEX may hold spaces: the bytes run until the next option.
                while (i + 1 < w.size() && w[i + 1].find('=') == std::string::npos)
                    hex += w[++i];
            } else if (w[i].rfind("out=", 0) == 0)
                output = ULONG(Bounded(w[i].substr(4), "out", 0, hosted::MaxBufferedTransfer));
            else if (w[i].rfind("to=", 0) == 0 && handles_.count(w[i].substr(3))) {
                file = handles_[w[i].substr(3)];
                target = file->DeviceObject; // a request on a handle goes where it was opened
                while (target->AttachedDevice)
                    target = target->AttachedDevice;
            } else if (w[i].rfind("to=", 0) == 0)
                target = Device(w[i].substr(3));
            else
                throw ScenarioError("unknown ioctl option " + w[i]);
        }
        input = InputBytes(hex);
        if (input.size() > hosted::MaxBufferedTransfer)
            throw ScenarioError("in= holds more than " +
                                std::to_string(hosted::MaxBufferedTransfer) + " bytes");
        if (!target)
            target = Device("control");
        auto request = std::make_unique<PendingRequest>();
        request->Code = code;
        request->Output.resize(output);
        KeInitializeEvent(&request->Done, NotificationEvent, FALSE);
        PIRP irp;
        {
            hosted::NeighbourCalls caller; // the program's request, not the driver's call
            irp = IoBuildDeviceIoControlRequest(
                code, target, input.empty() ? nullptr : input.data(), ULONG(input.size()),
                output ? request->Output.data() : nullptr, output, FALSE, &request->Done,
                &request->Status);
        }
        IoGetNextIrpStackLocation(irp)->FileObject = file;
        NTSTATUS status;
        {
            // A program sends it: the request runs in the program's process.
            hosted::ProgramContext program(file ? handleUsers_[file]
                                                : hosted::Account::Administrator);
            status = IoCallDriver(target, irp);
        }
        if (status == STATUS_PENDING && !KeReadStateEvent(&request->Done)) {
            Print("ioctl " + CodeText(code) + " pending");
            pending_.push_back(std::move(request));
            return;
        }
        // Refused before it pended: the status block was never written.
        if (status != STATUS_PENDING && NT_ERROR(status))
            request->Status = IO_STATUS_BLOCK{{status}, 0};
        Print(Answer(*request));
    }

    // A command that waits for touches runs in the background; any other
    // runs here and now, and its refusal is the scenario's error.
    void Ctl(const std::vector<std::string>& w)
    {
        std::vector<std::string> args(w.begin() + 1, w.end());
        if (args.empty())
            throw ScenarioError("ctl needs a vornctl command");
        for (std::string& arg : args)
            arg = handleNumbers_.AddressOfShown(arg);
        if (args[0] == "calibrate") {
            Calibrate(args);
            return;
        }
        if (args[0] != "watch") {
            vornctl::Result result = RunCtl(args, [this](const std::string& l) { Print(l); });
            if (result.Exit != vornctl::ExitOk)
                throw ScenarioError(result.Error);
            return;
        }
        background_.push_back(std::make_unique<BackgroundCtl>(args));
        kernel_.Settle();
        BackgroundCtl& started = *background_.back();
        if (started.Finished() && started.Outcome().Exit != vornctl::ExitOk) {
            for (const std::string& l : started.TakeLines())
                Print(l);
            std::string why = started.Outcome().Error;
            background_.pop_back();
            throw ScenarioError(why);
        }
    }

    // ctl calibrate DEV POINTS by=NAME [misclick=I] [--svg FILE]: by= and
    // misclick= belong to the simulated user, the rest to vornctl.
    void Calibrate(std::vector<std::string> args)
    {
        std::string port;
        int misclick = 0;
        for (auto it = args.begin(); it != args.end();) {
            if (it->rfind("by=", 0) == 0)
                port = it->substr(3);
            else if (it->rfind("misclick=", 0) == 0)
                misclick = Bounded(it->substr(9), "misclick", 1, 1000);
            else {
                ++it;
                continue;
            }
            it = args.erase(it);
        }
        if (port.empty())
            throw ScenarioError("ctl calibrate needs by=NAME: the port whose panel is tapped");
        sim::SerialPort& panel = PortNamed(port);
        vornctl::Platform platform;
        platform.OpenCalibration = [this, &panel, misclick](const vornctl::CalibrationTarget&,
                                                            std::string*) {
            auto tap = [this, &panel](vorn::calibration::ScreenPoint at) {
                return TapAndCapture(panel, at);
            };
            return std::unique_ptr<vornctl::CalibrationUi>(new SimulatedUser(tap, misclick));
        };
        vornctl::Result result = RunCtl(
            args, [this](const std::string& l) { Print(l); }, platform);
        if (result.Exit != vornctl::ExitOk)
            throw ScenarioError(result.Error);
    }

    std::vector<MOUSE_INPUT_DATA> TapAndCapture(sim::SerialPort& panel,
                                                vorn::calibration::ScreenPoint at)
    {
        {
            std::lock_guard<std::mutex> guard(outLock_);
            capturing_ = true;
            captured_.clear();
        }
        panel.Tap(at.X, at.Y, SimulatedUser::ReportsPerTap);
        kernel_.Settle();
        std::lock_guard<std::mutex> guard(outLock_);
        capturing_ = false;
        return std::move(captured_);
    }

    // Lines of background commands, and how those that ended ended.
    void ReportBackground()
    {
        for (auto it = background_.begin(); it != background_.end();) {
            BackgroundCtl& command = **it;
            for (const std::string& l : command.TakeLines())
                Print(l);
            if (!command.Finished()) {
                ++it;
                continue;
            }
            if (command.Outcome().Exit != vornctl::ExitOk)
                Print("vornctl: " + command.Outcome().Error);
            it = background_.erase(it);
        }
    }

    static std::string CodeText(ULONG code)
    {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08lX", (unsigned long)code);
        return text;
    }

    std::string Answer(const PendingRequest& request) const
    {
        size_t info = std::min<size_t>(request.Status.Information, request.Output.size());
        std::vector<uint8_t> out(request.Output.begin(), request.Output.begin() + info);
        if (AnswersHandles(request.Code))
            out = handleNumbers_.ShownInAnswer(std::move(out));
        return "ioctl " + CodeText(request.Code) + " status=" + Status(request.Status.Status) +
               " info=" + std::to_string(request.Status.Information) + " out=" + Hex(out);
    }

    static bool AnswersHandles(ULONG code)
    {
        return code == IoctlPortDeviceHandles || code == IoctlDynamicDeviceHandles ||
               code == IoctlCreatePortDevice || code == IoctlCreateDynamicDevice;
    }

    void ReportCompletions()
    {
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (!KeReadStateEvent(&(*it)->Done)) {
                ++it;
                continue;
            }
            Print("ioctl " + CodeText((*it)->Code) +
                  " completed status=" + Status((*it)->Status.Status) +
                  " info=" + std::to_string((*it)->Status.Information));
            it = pending_.erase(it);
        }
    }

    std::ostream& out_;
    std::mutex outLock_;
    bool capturing_ = false;                 // records go to captured_, not out_
    std::vector<MOUSE_INPUT_DATA> captured_; // under outLock_
    bool holding_ = false;
    std::vector<std::string> held_;
    std::map<std::string, PFILE_OBJECT> handles_;
    std::map<PFILE_OBJECT, hosted::Account> handleUsers_; // whose program holds each
    hosted::Kernel kernel_;
    // Outlives the system, whose teardown completes what is still pending.
    std::vector<std::unique_ptr<PendingRequest>> pending_;
    // Outlive the system too: its teardown ends their waits.
    std::vector<std::unique_ptr<BackgroundCtl>> background_;
    sim::System system_;
    std::set<ULONG> seenHandles_;
    HandleNumbers handleNumbers_;
};

} // namespace

int RunScenario(std::istream& input, std::ostream& output, std::ostream& errors,
                const sim::DriverUnderTest* driver)
{
    Runner runner(output, driver ? *driver : sim::LinkedDriver());
    std::string line;
    for (int number = 1; std::getline(input, line); ++number) {
        try {
            runner.Run(line);
        } catch (const ScenarioError& error) {
            output.flush();
            errors << "error " << number << ": " << error.what() << "\n";
            errors.flush();
            runner.EndsWithInputError(2);
            return 2;
        }
    }
    return 0;
}

} // namespace vornsim
