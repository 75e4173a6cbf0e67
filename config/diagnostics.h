// The driver's debugger messages: the only text it ever prints.
#pragma once

enum class DebugMessage {
    ReadDone,
    UpdateCornerCalibration,
    UpdateGridCalibration,
    DisconnectedFreeWriteIrp,
};

void PrintDebugMessage(DebugMessage message);
