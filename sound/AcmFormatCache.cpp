#include "sound/AcmFormatCache.h"

#include <string.h>

#include <vector>

namespace {

struct Suggestion {
    std::vector<BYTE> source;  // the source format's bytes: the WAVEFORMATEX and its extra bytes
    MMRESULT result;
    WAVEFORMATEX pcm;
};

// A handful of formats per chart; the list is capped so that odd files cannot grow it.
const size_t kMaxSuggestions = 64;
std::vector<Suggestion> g_suggestions;

}  // namespace

MMRESULT SuggestPcmFormat(const WAVEFORMATEX* src, WAVEFORMATEX* dst)
{
    const BYTE* bytes = reinterpret_cast<const BYTE*>(src);
    const size_t size = sizeof(WAVEFORMATEX) + src->cbSize;
    memset(dst, 0, sizeof(*dst));
    dst->wFormatTag = WAVE_FORMAT_PCM;
    for (const Suggestion& s : g_suggestions) {
        if (s.source.size() == size && memcmp(s.source.data(), bytes, size) == 0) {
            if (s.result == MMSYSERR_NOERROR)
                *dst = s.pcm;
            return s.result;
        }
    }
    MMRESULT result = acmFormatSuggest(nullptr, const_cast<WAVEFORMATEX*>(src), dst, sizeof(WAVEFORMATEX),
                                       ACM_FORMATSUGGESTF_WFORMATTAG);
    if (g_suggestions.size() < kMaxSuggestions)
        g_suggestions.push_back({std::vector<BYTE>(bytes, bytes + size), result, *dst});
    return result;
}
