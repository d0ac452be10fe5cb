// ktbdump [-N<measure>] CHART: prints a chart's time line and lanes as the viewer builds them.
#include <stdio.h>

#include "score/ChartDump.h"

int main(int argc, char** argv) { return KtbDumpMain(argc, argv, stdout, stderr); }
