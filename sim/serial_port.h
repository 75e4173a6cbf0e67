// A serial port driver with an emulated touch controller behind it, as the
// driver meets them: a device at \Device\SerialN with the link
// \DosDevices\NAME, honouring the set-up requests, reads that return as soon
// as any byte is there (or time out), writes that reach the controller, and
// removal.
#pragma once

#include "platform/hosted/hosted.h"
#include "sim/panel.h"

#include <deque>
#include <random>
#include <string>
#include <functional>
#include <vector>

namespace sim {

// The controller's side of the wire: 64 parameter words it answers reads of.
class TouchController {
public:
    USHORT Memory[64] = {};
    // Answers every command while negative; otherwise only this many more.
    long AnswersLeft = -1;
    std::vector<UCHAR> Commands; // every byte the driver wrote

    // The answer to what the driver just wrote, if any.
    std::vector<UCHAR> OnWrite(const UCHAR* bytes, size_t count);

private:
    std::vector<UCHAR> pending_;
};

// A request the port received, with its exact buffer.
struct PortRequest {
    ULONG Code; // the IOCTL, or 0 for a write
    std::vector<UCHAR> Bytes;
};

struct ReadCompletionRecord {
    NTSTATUS Status;
    ULONG Bytes;
};

class SerialPort {
public:
    // `name` is a port name (COM1: linked as \DosDevices\COM1) or a whole
    // link path such as an interface's "\??\..." link.
    SerialPort(PDRIVER_OBJECT serialDriver, const std::string& name, int index);
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    const std::string& Name() const { return name_; }
    PDEVICE_OBJECT Device() const { return device_; }
    TouchController Controller;

    // The controller sends bytes; a waiting read takes up to 5 of them.
    void Send(const std::vector<UCHAR>& bytes);
    // The same, one byte per read.
    void Trickle(const std::vector<UCHAR>& bytes);
    void SendTouch(ULONG x, ULONG y, bool touching);
    // The panel in front of the controller; its jitter generator starts
    // afresh from a seed of the port's own, so runs repeat.
    void SetPanel(const Panel& panel);
    // A finger on screen point (sx, sy): `reports` touching reports, each
    // with its own jitter, then one release there.
    void Tap(int32_t sx, int32_t sy, int reports);
    // The next read completes with this status and no data.
    void FailNextRead(NTSTATUS status);
    // The next `count` reads complete with this status and no data (the one
    // waiting, if any, at once); 0 stops failing them.
    void FailReads(NTSTATUS status, ULONG count);
    // Read requests the port has received so far.
    ULONGLONG ReadsReceived();
    // The next write completes with this status, unanswered.
    void FailNextWrite(NTSTATUS status);
    // The waiting read times out with these bytes (at most 5) in it, as a
    // port with an interval timeout ends a read that got part of its length.
    void TimeOutWaitingReadWith(const std::vector<UCHAR>& bytes);
    // Writes stay with the port until released.
    void HoldWrites(bool hold);
    void ReleaseHeldWrites();
    // The port goes away: reads and writes fail with
    // STATUS_DEVICE_NOT_CONNECTED, watchers hear query-remove and
    // remove-complete, and its name is gone.
    void Remove();
    bool Removed() const { return removed_; }
    // A port behind a companion interface, not a COM port of its own.
    void MarkInterface() { interface_ = true; }
    bool IsInterface() const { return interface_; }

    // Creates, cleanups and closes the port received.
    int Opens() const { return opens_; }
    // Called on every open of the port, before it completes: a test looks at
    // what the opener had done by then.
    std::function<void()> OnOpen;
    int Cleanups() const { return cleanups_; }
    int Closes() const { return closes_; }

    std::vector<PortRequest> TakeLog();
    std::vector<ReadCompletionRecord> TakeReadCompletions();
    size_t PendingBytes();
    bool ReadPending();

    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);

private:
    struct RxByte {
        UCHAR Byte;
        bool AloneInRead;
    };

    NTSTATUS Read(PIRP irp);
    NTSTATUS Write(PIRP irp);
    NTSTATUS Control(PIRP irp);
    void Cleanup();
    void Enqueue(const std::vector<UCHAR>& bytes, bool alone);
    PIRP TakePendingReadLocked();
    ULONG FillLocked(PIRP irp);
    void CompleteRead(PIRP irp, NTSTATUS status, ULONG bytes);
    void Complete(PIRP irp, NTSTATUS status, ULONG_PTR information);
    void AnswerWrite(const std::vector<UCHAR>& bytes);
    static VOID NTAPI CancelRead(PDEVICE_OBJECT device, PIRP irp);
    static VOID NTAPI ReadTimeout(PKDPC dpc, PVOID context, PVOID, PVOID);

    std::string name_;
    std::u16string deviceName_, linkName_;
    PDEVICE_OBJECT device_ = nullptr;
    KSPIN_LOCK lock_ = 0;
    KTIMER readTimer_;
    KDPC readTimeoutDpc_;
    PIRP pendingRead_ = nullptr;
    std::deque<RxByte> rx_;
    std::vector<PIRP> heldWrites_;
    bool holdWrites_ = false;
    bool removed_ = false;
    bool linkPresent_ = false;
    ULONG readTimeoutMs_ = 0; // 0: a read waits for data without limit
    NTSTATUS failReadStatus_ = 0;
    ULONG failReadsLeft_ = 0;
    ULONGLONG readsReceived_ = 0;
    NTSTATUS failWriteStatus_ = 0;
    bool failNextWrite_ = false;
    std::vector<PortRequest> log_;
    int opens_ = 0;
    int cleanups_ = 0;
    int closes_ = 0;
    std::vector<ReadCompletionRecord> reads_;
    Panel panel_;
    std::mt19937 panelRandom_;
    bool interface_ = false;
};

} // namespace sim
