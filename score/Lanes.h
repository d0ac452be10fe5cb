// The lane tables the frame update plays: flat arrays of LaneNote, one per lane, sorted by time.
#pragma once
#include <stdint.h>

class CDSBuffer;
class CChart;

struct LaneNote {
    int32_t time;   // ms, rounded half up
    int32_t kind;   // drum lane 1..7, chord 0..7, 8 = W, sound channel 1..32, 100 measure line, 101 beat line
    int32_t value;  // soundNumber (measure index for a measure line)
    double position;
    CDSBuffer* sound;  // not owned
    int32_t fadeOnNext;
    int32_t pending;
};

extern LaneNote* g_drumLanes[9];
extern int32_t g_drumLaneCounts[9];
extern int32_t g_drumNextIndex[9];
extern LaneNote* g_drumLastPlayed[9];

extern LaneNote* g_guitarLanes[10];
extern int32_t g_guitarLaneCounts[10];
extern int32_t g_guitarNextIndex[10];
extern LaneNote* g_guitarLastPlayed;

extern LaneNote* g_bassLanes[10];
extern int32_t g_bassLaneCounts[10];
extern int32_t g_bassNextIndex[10];
extern LaneNote* g_bassLastPlayed;

extern LaneNote* g_soundLanes[36];
extern int32_t g_soundLaneCounts[36];
extern int32_t g_soundNextIndex[36];
extern LaneNote* g_soundLastPlayed[36];

void ResetLanes();
int BuildDrumLanes(CChart* chart);
int BuildStringLanes(CChart* chart, int part);  // 1 guitar, 2 bass
int BuildSoundLanes(CChart* chart);
void SeekToMeasure(int measure);
void RearmLanes();
// Frees every lane array of the four groups and sets each pointer to null (counts are kept).
void FreeLaneArrays();
// g_chartEndTime rule: last measure line time (else last beat line), truncated, or -1; plus 2000.
int ComputeChartEndTime(const CChart* chart);
// After a compile: every lane group built anew, the seek to the measure, and g_chartEndTime.
void BuildLanesAndSeek(CChart* chart, int measure);
