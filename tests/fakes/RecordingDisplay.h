// A display that records what is drawn instead of drawing it (no DirectDraw objects are made).
#pragma once
#include <windows.h>

#include <vector>

#include "display/CDDraw.h"

struct DrawCall {
    int x;
    int y;
    RECT source;      // all zero when the whole sheet was drawn
    bool wholeSheet;
    int sheet;
    bool keyed;
};

class RecordingDisplay : public CDDraw {
public:
    HRESULT Draw(int x, int y, const RECT* source, int sheet) override { return Record(x, y, source, sheet, false); }
    HRESULT DrawKeyed(int x, int y, const RECT* source, int sheet) override
    {
        return Record(x, y, source, sheet, true);
    }
    int Present() override
    {
        ++presents;
        return 0;
    }

    // The calls that drew this rectangle of the parts sheet.
    std::vector<DrawCall> CallsOf(const RECT& r) const
    {
        std::vector<DrawCall> out;
        for (const DrawCall& c : calls) {
            if (!c.wholeSheet && c.sheet == 0 && EqualRect(&c.source, &r))
                out.push_back(c);
        }
        return out;
    }

    std::vector<DrawCall> calls;
    int presents = 0;

private:
    HRESULT Record(int x, int y, const RECT* source, int sheet, bool keyed)
    {
        DrawCall c = {x, y, {0, 0, 0, 0}, source == nullptr, sheet, keyed};
        if (source)
            c.source = *source;
        calls.push_back(c);
        return DD_OK;
    }
};
