// Small services shared by the fuzzer and the soak checks.
#pragma once
#include <stdint.h>

#include <string>

// Counts the diagnostic lines (DebugPrint) instead of sending them to the debugger, and keeps the
// distinct kinds (the class::operation and step, without paths and numbers).
void InstallDiagnosticCounter();
long long DiagnosticLines();
// Lines written so far whose kind (see PrintDiagnosticSummary) starts with prefix.
long long DiagnosticCount(const std::string& kindPrefix);
bool SawDiagnostic(const std::string& prefix);  // a line starting with prefix was written
void ClearDiagnostics();
void PrintDiagnosticSummary(bool listAll);

// Creates a folder and every missing folder above it ('/' and '\\' both separate).
void MakeDirectories(const std::string& path);

// Makes the XA loader use the decoder compiled into this program (so that the checked heap
// covers it too) instead of xadec.dll.
void UseInProcessXaDecoder();

// Working set and private (committed) bytes of this process, in bytes. Wine reports no private
// usage; its page-file usage, the committed memory, stands in for it there.
struct MemoryFigures {
    uint64_t workingSet;
    uint64_t privateBytes;
};
MemoryFigures ProcessMemory();

// Open handles of this process (Wine answers GetProcessHandleCount with 0, so they are counted
// in the system's handle table).
unsigned long ProcessHandles();
// For the handles of the last ProcessHandles call: "type name:count ..." and the count of one type.
std::string HandleTypes();
unsigned long HandlesOfType(const char* typeName);
