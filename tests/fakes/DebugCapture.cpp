#include "fakes/DebugCapture.h"

#include <algorithm>

static std::vector<std::string> g_capturedLines;

static void CaptureLine(const char* line) { g_capturedLines.push_back(line); }

DebugCapture::DebugCapture()
{
    g_capturedLines.clear();
    SetDebugOutputHook(CaptureLine);
}

DebugCapture::~DebugCapture() { SetDebugOutputHook(nullptr); }

const std::vector<std::string>& DebugCapture::Lines() const { return g_capturedLines; }

std::string DebugCapture::All() const
{
    std::string all;
    for (const auto& line : g_capturedLines)
        all += line;
    return all;
}

bool DebugCapture::Contains(const std::string& line) const
{
    return std::find(g_capturedLines.begin(), g_capturedLines.end(), line) != g_capturedLines.end();
}

void DebugCapture::Clear() { g_capturedLines.clear(); }
