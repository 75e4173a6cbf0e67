// Random control requests: codes that exist and some that do not, input and
// output lengths from 0 to 400, contents that often name a live or a removed
// device, mixed with creations and removals. The hosted system buffer is
// exactly as large as the caller's, so the sanitizer build sees any read or
// write outside it; the verifier sees any Information beyond the output.
#include "fixture.h"

#include "control/control.h"
#include "sim/control_transport.h"

#include <random>

namespace {

class ControlFuzzTest : public DriverTest {
protected:
    sim::HostedTransport transport;
    vorn::ControlClient client{transport};
};

uint32_t PickCode(std::mt19937& random)
{
    // Every function from 0x100 to 0x130 but the event wait, which would
    // leave the caller waiting for a touch.
    for (;;) {
        uint32_t function = 0x100 + random() % 0x31;
        if (function != 0x119)
            return ControlRequestCode(function);
    }
}

TEST_F(ControlFuzzTest, RandomRequestsNeverEscapeTheirBuffers)
{
    rig.AddSerialPort("COM1");
    std::mt19937 random(20261208);
    std::vector<uint32_t> handles; // live and removed alike
    for (int round = 0; round < 3000; ++round) {
        SCOPED_TRACE(round);
        switch (random() % 16) {
        case 0:
            handles.push_back(client.CreatePortDevice(random() % 2 ? "COM1" : "COMX").Value);
            continue;
        case 1:
            handles.push_back(client.CreateDynamicDevice(u"\\DosDevices\\COM1").Value);
            continue;
        default:
            break;
        }
        uint32_t code = PickCode(random);
        std::vector<uint8_t> input(random() % 401);
        for (uint8_t& byte : input)
            byte = uint8_t(random() % 3 == 0 ? 0 : random());
        if (input.size() >= 4 && !handles.empty() && random() % 4 != 0) {
            uint32_t handle = handles[random() % handles.size()];
            std::memcpy(input.data(), &handle, 4);
        }
        uint32_t output = random() % 401;
        vorn::Reply reply = transport.Call(code, input, output);
        EXPECT_LE(reply.Output.size(), output);
        EXPECT_EQ(uint32_t(transport.LastDispatchStatus()), reply.Status);
    }
    kernel.Settle();
    // Whatever the requests did, the lists still answer consistently.
    auto ports = client.PortDeviceHandles();
    ASSERT_TRUE(ports.Ok());
    EXPECT_EQ(ports.Value.size(), client.PortDeviceCount().Value);
}

} // namespace
