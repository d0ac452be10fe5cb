// The self-test of the checked mode (GuardHeap and FaultGuard).
#pragma once
#include <string>

// Runs every case in a child process; 0 when each fault was caught and reported as expected.
int RunSelfTest();
// The child: makes the named fault on purpose.
int RunSelfTestCase(const std::string& name);
