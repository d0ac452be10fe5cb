// The PCM format the Audio Compression Manager suggests for a source format, remembered per
// source format: asking the ACM without a driver makes it open and try its codecs one after the
// other, some 10 ms per question under Wine, while a chart often holds hundreds of sounds in one
// or two formats.
#pragma once
#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
#include <msacm.h>

// As acmFormatSuggest(null, src, dst, sizeof(WAVEFORMATEX), ACM_FORMATSUGGESTF_WFORMATTAG) with
// dst zeroed and its wFormatTag set to PCM (done here): the same result and the same format, the
// ACM asked once per distinct source format (its 18 bytes and cbSize extra bytes) in the process.
MMRESULT SuggestPcmFormat(const WAVEFORMATEX* src, WAVEFORMATEX* dst);

// True when converting src to dst is a copy of whole sample frames: both 8- or 16-bit PCM of
// the same channels, rate and block alignment.
inline bool IsPlainPcmCopy(const WAVEFORMATEX& src, const WAVEFORMATEX& dst)
{
    return src.wFormatTag == WAVE_FORMAT_PCM && dst.wFormatTag == WAVE_FORMAT_PCM &&
           (src.wBitsPerSample == 8 || src.wBitsPerSample == 16) && src.wBitsPerSample == dst.wBitsPerSample &&
           src.nChannels == dst.nChannels && src.nSamplesPerSec == dst.nSamplesPerSec &&
           src.nBlockAlign == dst.nBlockAlign && src.nBlockAlign == src.nChannels * (src.wBitsPerSample / 8);
}
