// Collects the diagnostic lines written while an instance is alive.
#pragma once
#include <string>
#include <vector>

#include "sound/DebugPrint.h"

class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    const std::vector<std::string>& Lines() const;
    std::string All() const;  // every line concatenated
    bool Contains(const std::string& line) const;
    void Clear();
};
