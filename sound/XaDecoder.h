// Run-time binding of xadec.dll. The library is loaded once, on first use; when it is missing,
// every XA file is refused at xaDecodeOpen and loading falls back to RIFF WAVE.
#pragma once
#include "xadec/xadec.h"

struct XaDecoderApi {
    PFN_xaDecodeOpen open;
    PFN_xaDecodeSize size;
    PFN_xaDecodeConvert convert;
    PFN_xaDecodeClose close;
};

// The bound calls. Always a valid table: when the library (or one of its four exports) is
// missing, open returns null and the other three report failure.
const XaDecoderApi& GetXaDecoder();

// True when the calls come from a real library or an injected table.
bool XaDecoderAvailable();

// Test seams.
// The table that stands in for a missing library (open refuses every header).
const XaDecoderApi& MissingXaDecoder();
// Replaces the bound calls with the given table (copied); null restores the library binding.
void SetXaDecoderForTest(const XaDecoderApi* api);
