// ktbdump: reads, compiles and lays out a chart exactly as the viewer's start-up does (with a sound
// device that was never initialised) and prints the time line as text.
#pragma once
#include <stdio.h>

class CChart;

// Prints the compiled chart and the current lane groups (as left by the builders and the seek) in
// the ktbdump format, in one write. endTime and seekTime are printed as given.
void PrintChartDump(FILE* out, const CChart* chart, int endTime, int seekTime);

// Loads path into chart and compiles it, as the viewer's start-up does. Returns 0, or 1 with a
// one-line reason on err that begins with the tool's name.
int ReadChartForTool(CChart* chart, const char* path, const char* tool, FILE* err);

// Loads path, compiles it, builds the lanes, seeks to seekMeasure and prints the dump on out.
// Returns 0 on success; 1 with a one-line reason on err when the chart cannot be read or compiled.
// The lane groups are freed again before it returns.
int DumpChartFile(const char* path, int seekMeasure, FILE* out, FILE* err);

// The command line of ktbdump: [-N<measure>] CHART (options start with '-' or '/', the letter in
// either case, the value attached). Returns the exit code: 0, or 1 with the reason on err.
int KtbDumpMain(int argc, char** argv, FILE* out, FILE* err);
