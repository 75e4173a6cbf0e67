#include "config/diagnostics.h"

#include "platform/kernel.h"

void PrintDebugMessage(DebugMessage message)
{
    const char* text = "";
    switch (message) {
    case DebugMessage::ReadDone:
        text = " Read Done !\n";
        break;
    case DebugMessage::UpdateCornerCalibration:
        text = " Update 4 point Calibration Parameters !\n";
        break;
    case DebugMessage::UpdateGridCalibration:
        text = " Update 25 point Calibration Parameters !\n";
        break;
    case DebugMessage::DisconnectedFreeWriteIrp:
        text = " Disconnected! Free Write Irp \n ";
        break;
    }
    DbgPrint("%s", text);
}
