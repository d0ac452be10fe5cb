// Bounds that keep the time line finite and within the lanes' 32-bit integers for absurd charts.
#pragma once
#include <stdint.h>

const double kMaxMsPerMeasure = 1e9;  // a 4/4 measure lasts at most this long (tempo ~0.00024 bpm)
const double kMaxLengthFactor = 1e6;  // bar lengths are clamped to +-this for the time line
const double kMaxTime = 1e9;          // event times are clamped to +-this many ms (about 11.6 days)
// A chart holds at most this many beat lines (measure lines not counted): about 100 MB with their
// lane entries.
const int32_t kMaxBeatLines = 1 << 20;

// time clamped to [-kMaxTime, kMaxTime]; NaN gives 0.
double ClampChartTime(double time);
