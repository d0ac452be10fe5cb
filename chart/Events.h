// Event records of a chart and the singly linked lists that hold them.
#pragma once
#include <stdint.h>

class CDSBuffer;

struct NoteEvent {
    double position;  // measure + fraction
    double time;      // ms, set by the compiler
    int32_t lane;
    int32_t sourceLane;
    int32_t soundNumber;
    CDSBuffer* buffer;  // not owned
    int32_t enabled;
    NoteEvent* next;
};

struct TempoEvent {
    double position;
    double span;      // measures governed inside its measure
    double time;      // ms
    double duration;  // ms
    double bpm;
    TempoEvent* next;
};

struct BarLengthEvent {
    int32_t measure;
    double length;
    BarLengthEvent* next;
};

struct SpanMark {
    double position;
    int32_t value;  // 1 start, 2 end
    SpanMark* next;
};

// index (built by the compiler), count, tail (append point), head.
template <typename T>
struct EventList {
    T** index;
    int32_t count;
    T* tail;
    T* head;
};

struct MeasureInfo {
    int32_t index;
    double startTime;
    double duration;
    double lengthFactor;
};
