// The checked heap of the reliability programs: replaces operator new/delete and malloc/free.
//
// Guarded mode: every block ends exactly where a page that cannot be touched begins (the block
// is placed at the end of its own VirtualAlloc'd region, whose last page stays reserved only), so
// a read or write past its end faults at once. The bytes a block's alignment leaves between its
// end and that page are filled with a pattern that is checked when the block is freed. A freed
// block's pages are decommitted and kept in a quarantine, so a use after free faults as well; a
// second free of the same block is reported. New memory is filled with 0xBE, so code that reads
// memory it never wrote sees the same garbage on every run.
//
// Pass-through mode: blocks come from the process heap with a small prefix, so live blocks can
// still be counted (leak checks) without the cost of the guard pages.
//
// Blocks of either mode, and blocks the C runtime allocated itself, may be freed at any time:
// free finds the owner of every pointer.
#pragma once
#include <stddef.h>
#include <stdint.h>

namespace GuardHeap {

enum Mode { kPassThrough = 0, kGuarded = 1 };

void SetMode(Mode mode);
Mode GetMode();

// Blocks allocated through this heap and not yet freed (both modes), and their bytes.
int64_t LiveBlocks();
int64_t LiveBytes();
// Every allocation so far (a serial number is given to each).
int64_t TotalAllocations();

// When address lies in or near a guarded block (live, or freed and in quarantine), writes a
// description ("3 bytes past the end of a live 2000-byte block #1234", "use after free ...")
// into text and returns true. Safe to call from an exception handler.
bool Describe(const void* address, char* text, size_t size);

// Called when the heap finds a fault itself (double free, a pattern overwritten past a block's
// end, out of memory in guarded mode). The handler reports and ends the process; without one the
// heap writes the text to stderr and ends the process with exit code 3.
typedef void (*FaultHandler)(const char* what);
void SetFaultHandler(FaultHandler handler);

}  // namespace GuardHeap
