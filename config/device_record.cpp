// Initialisers of the device record.
#include "config/device_record.h"

#include "pipeline/pipeline.h"

PDEVICE_OBJECT ControlDeviceObject = nullptr;

namespace {

constexpr LONG ReferenceLowCorner = 102;
constexpr LONG ReferenceHighCorner = 1945;
constexpr ULONG RemoveLockHighWatermark = 10;

void SetDefaultGlobalFilterSettings(DeviceExtension* record)
{
    record->A0 = 4;
    record->A1 = 4;
    record->A2 = 4;
    record->A3 = 12;
    record->Uppper = 36;
    record->Low = 1;
    record->FilterThreshold = 256;
    record->Filter = 1;
    record->Rotation = 0;
}

void InitializeClickAssist(DeviceExtension* record)
{
    record->ClickPending = 0;
    KeInitializeTimer(&record->ClickTimer);
    record->ClickDueTime = DefaultClickDueTime;
    KeInitializeDpc(&record->ClickTimerDpc, ClickTimerExpired, record);
}

// What every kind shares: identity, lock, parser state clear, the port closed.
void InitializeCommon(PDEVICE_OBJECT device, DeviceExtension* record)
{
    record->Self = device;
    record->OpenCount = 0;
    record->PortOpen = 0;
    record->ClassEnabled = 0;
    KeInitializeSpinLock(&record->Lock);
    record->InReport = 0;
    record->InResponse = 0;
    record->ReportIndex = 0;
    record->ResponseRemaining = 0;
    record->ResponseLength = 0;
    record->ParametersLoaded = 0;
    record->Stopping = 1;
    record->SwapXY = 0;
    record->GridEnabled = 1;
    InitializeClickAssist(record);
    SetDefaultGlobalFilterSettings(record);
}

} // namespace

void SetDefaultTouchSettings(TouchSettings* settings)
{
    RtlZeroMemory(settings, sizeof *settings);
    settings->Interface = 2;
    settings->BaudRate = 9600;
    settings->ModeStatus = 0;
    // Both corner sets start on the reference square, so the mappings start
    // as the identity.
    settings->LLX = settings->LLY = ReferenceLowCorner;
    settings->LRX = ReferenceHighCorner;
    settings->LRY = ReferenceLowCorner;
    settings->URX = settings->URY = ReferenceHighCorner;
    settings->ULX = ReferenceLowCorner;
    settings->ULY = ReferenceHighCorner;
    settings->GridLLX = settings->GridLLY = ReferenceLowCorner;
    settings->GridLRX = ReferenceHighCorner;
    settings->GridLRY = ReferenceLowCorner;
    settings->GridURX = settings->GridURY = ReferenceHighCorner;
    settings->GridULX = ReferenceLowCorner;
    settings->GridULY = ReferenceHighCorner;
    settings->RxBufferSize = 1024;
    settings->PointBufferSize = 1024;
    settings->Mode = 0;
    settings->XDeviation = 30;
    settings->YDeviation = 30;
    settings->SelDelay = 10;
    settings->ClickDelay = 10;
}

void InitializeMousePortRecord(PDEVICE_OBJECT device)
{
    DeviceExtension* record = ExtensionOf(device);
    InitializeCommon(device, record);
    record->IsMousePort = 1;
    record->IsControl = 0;
    record->UnitIndex = 0;
    record->PortList = nullptr;
    record->DynamicList = nullptr;
    IoInitializeRemoveLock(&record->RemoveLock, MousePortRemoveLockTag, 0, RemoveLockHighWatermark);
    record->Settings.CalFlags = 0;
    record->Settings.CalAux = 0;
    record->WriteIrp = nullptr;
    record->ParameterThread = nullptr;
    record->NotificationEntry = nullptr;
    record->EventIrp = nullptr;
    record->NotifyMask = 0;
}

void InitializeControlRecord(PDEVICE_OBJECT device)
{
    DeviceExtension* record = ExtensionOf(device);
    InitializeCommon(device, record);
    record->IsMousePort = 0;
    record->IsControl = 1;
    record->OpenCount = 1; // the control device counts itself as open
    record->QueueBuffer = static_cast<PMOUSE_INPUT_DATA>(ExAllocatePoolWithTag(
        NonPagedPool, InputQueueCapacity * sizeof(MOUSE_INPUT_DATA), DriverPoolTag));
    record->QueueHead = 0;
    record->QueueTail = 0;
    record->QueueCount = 0;
    record->QueueCapacity = InputQueueCapacity;
    KeInitializeDpc(&record->DeliveryDpc, DeliverQueuedRecords, record);
    SetDefaultTouchSettings(&record->Settings);
    KeInitializeEvent(&record->ResponseEvent, NotificationEvent, FALSE);
    record->MouseMode = 0;
    record->DoubleClickSpeed = 0;
    record->DoubleClickSize = 0;
}

NTSTATUS InitializeTouchRecord(PDEVICE_OBJECT device)
{
    DeviceExtension* record = ExtensionOf(device);
    InitializeCommon(device, record);
    record->IsMousePort = 0;
    record->IsControl = 0;
    record->ReadIrp = nullptr;
    record->ReaderThread = nullptr;
    KeInitializeEvent(&record->StopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&record->ReadDoneEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&record->ResponseEvent, NotificationEvent, FALSE);
    KeInitializeDpc(&record->ParseDpc, ParseReceivedBytes, record);
    KeInitializeEvent(&record->ReaderStarted, NotificationEvent, FALSE);
    KeInitializeEvent(&record->ParameterReadStarted, NotificationEvent, FALSE);
    KeInitializeEvent(&record->WriteIdleEvent, NotificationEvent, TRUE);
    SetDefaultTouchSettings(&record->Settings);
    InvalidateCornerMaps(record);
    record->RingHead = 0;
    record->RingTail = 0;
    record->RingCount = 0;
    record->RingBuffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, ByteRingCapacity, DriverPoolTag));
    if (!record->RingBuffer) {
        record->RingCapacity = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    record->RingCapacity = ByteRingCapacity;
    return STATUS_SUCCESS;
}

void FreeTouchRecordStorage(DeviceExtension* device)
{
    if (device->RingBuffer)
        ExFreePool(device->RingBuffer);
    device->RingBuffer = nullptr;
    device->RingCapacity = 0;
    device->RingCount = 0;
}

void FreeControlRecordStorage(DeviceExtension* device)
{
    if (device->QueueBuffer)
        ExFreePool(device->QueueBuffer);
    device->QueueBuffer = nullptr;
    device->QueueCount = 0;
}
