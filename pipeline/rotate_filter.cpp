// Rotation by quarter turns and the smoothing filter.
//
// The filter is a four-sample weighted average whose newest weight adapts:
// it grows while the pointer moves fast (less lag) and shrinks while it moves
// little (more smoothing). The output is fed back into the history, so it
// smooths recursively. One state serves every touch device.
#include "pipeline/pipeline.h"

SmoothingFilterState SmoothingFilter = InitialSmoothingFilter;

namespace {

constexpr LONG NoStroke = -1;
constexpr ULONG Newest = FilterHistory - 1;
static_assert((FilterHistory & (FilterHistory - 1)) == 0,
              "a power of two: the slot arithmetic's modulo stays a mask");

struct FilterParameters {
    LONG Weights[FilterHistory];
    LONG Uppper;
    LONG Low;
    LONG Threshold;
};

FilterParameters ParametersOf(const DeviceExtension* control)
{
    return FilterParameters{{control->A0, control->A1, control->A2, control->A3},
                            control->Uppper,
                            control->Low,
                            control->FilterThreshold};
}

void StartStroke(SmoothingFilterState& f, const FilterParameters& p, LONG x, LONG y)
{
    f.WeightSumX = 0;
    f.WeightSumY = 0;
    for (ULONG k = 0; k < FilterHistory; ++k) {
        f.HistoryX[k] = x;
        f.HistoryY[k] = y;
        f.WeightX[k] = p.Weights[k];
        f.WeightY[k] = p.Weights[k];
        f.WeightSumX += p.Weights[k];
        f.WeightSumY += p.Weights[k];
    }
}

// The newest weight moves by at most one per report, never past Uppper on
// the way up nor past Low on the way down.
void AdaptNewestWeight(const LONG* history, ULONG slot, LONG* weights, LONGLONG* sum,
                       const FilterParameters& p)
{
    ULONG previous = (slot + FilterHistory - 1) % FilterHistory;
    LONGLONG movement = LONGLONG(history[slot]) - history[previous];
    if (movement < 0)
        movement = -movement;
    if (movement > p.Threshold) {
        if (weights[Newest] < p.Uppper) {
            weights[Newest]++;
            (*sum)++;
        }
    } else if (weights[Newest] > p.Low) {
        weights[Newest]--;
        (*sum)--;
    }
}

// Weighted average from the oldest sample (the slot after `slot`) to the
// newest. Weights whose sum is not positive cannot average: the sample
// passes unchanged.
LONG WeightedAverage(const LONG* history, ULONG slot, const LONG* weights, LONGLONG sum)
{
    if (sum <= 0)
        return history[slot];
    LONGLONG total = 0;
    for (ULONG k = 0; k < FilterHistory; ++k)
        total += LONGLONG(history[(slot + 1 + k) % FilterHistory]) * weights[k];
    LONGLONG average = total / sum;
    if (average < 0)
        return 0;
    if (average > OutputMaximum)
        return OutputMaximum;
    return LONG(average);
}

} // namespace

void RotateRecord(DeviceExtension* device, PMOUSE_INPUT_DATA record)
{
    UNREFERENCED_PARAMETER(device);
    LONG x = record->LastX, y = record->LastY;
    switch (ControlRecord()->Rotation) {
    case 1:
        record->LastX = OutputMaximum - y;
        record->LastY = x;
        break;
    case 2:
        record->LastX = OutputMaximum - x;
        record->LastY = OutputMaximum - y;
        break;
    case 3:
        record->LastX = y;
        record->LastY = OutputMaximum - x;
        break;
    default:
        break;
    }
}

void SmoothRecord(DeviceExtension* device, PMOUSE_INPUT_DATA record)
{
    const DeviceExtension* control = ControlRecord();
    if (control->Filter == 0)
        return;
    SmoothingFilterState& f = SmoothingFilter;
    FilterParameters p = ParametersOf(control);
    bool touching = (device->ReportBytes[0] & 1) != 0;

    ULONG slot;
    if (!touching) {
        // A pen-up with no stroke in progress has no slot: it passes as it is.
        if (f.FilterPosition == NoStroke)
            return;
        slot = ULONG(f.FilterPosition);
        f.FilterPosition = NoStroke;
    } else if (f.FilterPosition == NoStroke) {
        StartStroke(f, p, record->LastX, record->LastY);
        slot = 0;
        f.FilterPosition = 1;
    } else {
        slot = ULONG(f.FilterPosition);
        f.FilterPosition = LONG((slot + 1) % FilterHistory);
    }
    f.HistoryX[slot] = record->LastX;
    f.HistoryY[slot] = record->LastY;

    AdaptNewestWeight(f.HistoryX, slot, f.WeightX, &f.WeightSumX, p);
    AdaptNewestWeight(f.HistoryY, slot, f.WeightY, &f.WeightSumY, p);
    record->LastX = WeightedAverage(f.HistoryX, slot, f.WeightX, f.WeightSumX);
    record->LastY = WeightedAverage(f.HistoryY, slot, f.WeightY, f.WeightSumY);

    // Within a stroke the output replaces the sample; after the pen-up the
    // raw sample stays, unused until the next stroke refills the history.
    if (f.FilterPosition != NoStroke) {
        f.HistoryX[slot] = record->LastX;
        f.HistoryY[slot] = record->LastY;
    }
}

// A filter switched off keeps its state frozen, for pen-ups as for this.
void EndSmoothingStroke()
{
    if (ControlRecord()->Filter != 0)
        SmoothingFilter.FilterPosition = NoStroke;
}
