// Catches what goes wrong while one input is processed and names the input that caused it:
//   - access violations and other hardware faults (a vectored handler that sees them first, and
//     the unhandled-exception filter for the rest), abort() and std::terminate;
//   - faults found by the checked heap (double free, overwritten slack);
//   - hangs: a watchdog thread ends the process when one input takes longer than its time bound.
// The report goes to stderr; the input file is copied next to the other artefacts as
// crash-<n>.<ext> (or hang-<n>.<ext>) so that it can be rerun alone. Exit codes: 3 fault, 4 hang.
#pragma once

namespace FaultGuard {

// Installs every handler. artefactDir receives the copies of failing inputs (created if missing).
void Install(const char* artefactDir);

// The input being processed: a short label ("wav #17") and the file that holds it (may be null).
void BeginInput(const char* label, const char* path);
void EndInput();

// Starts the watchdog: one input may take at most timeoutMs milliseconds.
void StartWatchdog(unsigned timeoutMs);

// Reports a failed check of the running input (a broken invariant, a leak) like a fault and
// ends the process with exit code 3.
[[noreturn]] void Fail(const char* what);

}  // namespace FaultGuard
