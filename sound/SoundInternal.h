// Helpers shared by the CDSBuffer sources; not part of the sound subsystem's public face.
#pragma once
#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
#include <msacm.h>
#include <string.h>

// Silence of a PCM format: 0x80 for 8-bit samples, 0x00 otherwise.
inline BYTE SilenceByte(const WAVEFORMATEX& format) { return format.wBitsPerSample == 8 ? 0x80 : 0x00; }

// Bytes of two seconds of a PCM format (a stream buffer), counted in 64 bits: a format whose two
// seconds do not fit in 32 bits comes from a corrupt header, and its 32-bit byte counts would wrap
// round, down to a division by zero.
inline unsigned long long TwoSecondsOfPcm(const WAVEFORMATEX& f)
{
    return (unsigned long long)f.nChannels * (f.wBitsPerSample / 8) * f.nSamplesPerSec * 2;
}

// A conversion request from `srcLength` bytes at `src` into at most `dstLength` bytes at `dst`.
inline ACMSTREAMHEADER AcmHeader(BYTE* src, DWORD srcLength, BYTE* dst, DWORD dstLength)
{
    ACMSTREAMHEADER header;
    memset(&header, 0, sizeof(header));
    header.cbStruct = sizeof(header);
    header.pbSrc = src;
    header.cbSrcLength = srcLength;
    header.pbDst = dst;
    header.cbDstLength = dstLength;
    return header;
}

// A refill gives up producing once this many passes in a row produced nothing: the converter
// cannot go on, and the sound is treated as ended instead of spinning.
const int kMaxIdlePasses = 3;

// The end-of-sound overrun lines of the refills, code page 932 text kept as bytes.
#define KTB_OVERRUN_WAV "\x91\xE0\x92\xB7\x81" "I\x81" "I\x91\xE5\x95\xCF\x82\xC5\x82\xB7(\x8D\x86\x8B\x83" \
                        " Over=%d nDstLen=%d\n"
#define KTB_OVERRUN_XA "\x91\xE0\x92\xB7\x81" "I\x81" "I\x91\xE5\x95\xCF\x82\xC5\x82\xB7(\x8D\x86\x8B\x83" \
                       " Over=%d nDstLen=%d nDstPos=%d\n"
