// Bounds that keep the time line finite and within the lanes' 32-bit integers for absurd charts.
#pragma once

const double kMaxMsPerMeasure = 1e9;  // a 4/4 measure lasts at most this long (tempo ~0.00024 bpm)
const double kMaxLengthFactor = 1e6;  // bar lengths are clamped to +-this for the time line
const double kMaxTime = 1e9;          // event times are clamped to +-this many ms (about 11.6 days)
const double kMaxBeatFactor = 16.0;   // the beat count uses the bar length clamped to [0, 16]

// A finite bpm above 0.
int IsUsableTempo(double bpm);
// ms per 4/4 measure of a usable tempo, at most kMaxMsPerMeasure.
double MsPerMeasureOf(double bpm);
// time clamped to [-kMaxTime, kMaxTime]; NaN gives 0.
double ClampChartTime(double time);
// Beats of a measure in the drum view: trunc(4 x factor clamped to [0, 16]), at least 1.
int BeatsOfMeasure(double lengthFactor);
