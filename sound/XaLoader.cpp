// XA sounds: CDSBuffer::LoadXA and the XA forms of the stream refill and rewind.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "sound/CDSBuffer.h"
#include "sound/DebugPrint.h"
#include "sound/SoundInternal.h"
#include "sound/XaDecoder.h"

namespace {

const unsigned int kXaHeaderBytes = 32;
const unsigned int kXaChunkBytes = 10000;

DWORD ReadLe32(const BYTE* p) { return (DWORD)p[0] | ((DWORD)p[1] << 8) | ((DWORD)p[2] << 16) | ((DWORD)p[3] << 24); }

// channels × sample frames × 2 bytes of 16-bit PCM, held at the largest 32-bit count.
unsigned long long HeaderPcmBytes(const BYTE* header)
{
    return (unsigned long long)header[15] * ReadLe32(header + 8) * 2;
}

unsigned int Clamp32(unsigned long long value) { return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : (unsigned int)value; }

// Size of the open stream in bytes, or -1. The position is kept.
long long StreamFileSize(FILE* file)
{
    long long here = _ftelli64(file);
    if (here < 0 || _fseeki64(file, 0, SEEK_END) != 0)
        return -1;
    long long end = _ftelli64(file);
    _fseeki64(file, here, SEEK_SET);
    return end;
}

// A format the decoder filled in that the sound buffer can be built from (two seconds of it must
// fit in 32 bits, as in the WAV loader).
bool UsablePcm(const WAVEFORMATEX& f)
{
    return f.nChannels != 0 && f.nSamplesPerSec != 0 && f.nBlockAlign != 0 && f.wBitsPerSample >= 8 &&
           f.wBitsPerSample % 8 == 0 && TwoSecondsOfPcm(f) <= 0xFFFFFFFFull;
}

// Decodes a static sound: `srcLength` bytes of `src` into `dst` (`dstBytes` long) in one call,
// with silence wherever the decoder wrote nothing or wrote past the sound's true length of
// `truth` bytes. False when the decoder refuses.
bool DecodeXaData(HXASTREAM decoder, BYTE* src, DWORD srcLength, unsigned long long truth, BYTE silence, BYTE* dst,
                  DWORD dstBytes)
{
    memset(dst, silence, dstBytes);
    XASTREAMHEADER request;
    memset(&request, 0, sizeof(request));
    request.pSrc = src;
    request.nSrcLen = srcLength;
    request.pDst = dst;
    request.nDstLen = dstBytes;
    if (!GetXaDecoder().convert(decoder, &request))
        return false;
    if (truth < dstBytes)
        memset(dst + truth, silence, dstBytes - (DWORD)truth);
    return true;
}

}  // namespace

int CDSBuffer::LoadXA(int allowStream)
{
    Term();

    errno = 0;
    FILE* file = fopen(m_fileName, "rb");
    m_fileMissing = !file && errno == ENOENT;
    if (!file)
        return 1;
    BYTE header[kXaHeaderBytes];
    if (fread(header, 1, sizeof(header), file) < sizeof(header) || memcmp(header, "KWD1", 4) != 0) {
        fclose(file);
        return 1;
    }
    m_file = file;
    memcpy(m_xaHeader, header, sizeof(m_xaHeader));

    // The header's data size is cut to what the file holds behind the header.
    m_dataSize = ReadLe32(header + 4);
    m_dataOffset = kXaHeaderBytes;
    long long fileSize = StreamFileSize(file);
    if (fileSize >= 0) {
        unsigned long long held = fileSize > (long long)kXaHeaderBytes ? (unsigned long long)fileSize - kXaHeaderBytes : 0;
        if (m_dataSize > held)
            m_dataSize = (unsigned int)held;
    }

    const XaDecoderApi& xa = GetXaDecoder();
    memset(&m_dstFormat, 0, sizeof(m_dstFormat));
    HXASTREAM decoder = xa.open(header, &m_dstFormat);
    if (decoder && !UsablePcm(m_dstFormat)) {  // a format without channels, rate or sample size is a refusal
        xa.close(decoder);
        decoder = nullptr;
    }
    if (!decoder) {
        CloseSource(1);
        DebugPrint("CDSBuffer::LoadXA DecodeOpenError\n");
        return 1;
    }
    m_decoder = decoder;
    m_kind = 2;

    DWORD decoded = 0;
    if (!xa.size(decoder, m_dataSize, &decoded)) {
        CloseSource(1);
        DebugPrint("CDSBuffer::LoadXA DecodeSizeError\n");
        return 1;
    }
    m_decodedSize = decoded;
    if (m_dstFormat.nAvgBytesPerSec == 0)
        m_dstFormat.nAvgBytesPerSec = m_dstFormat.nChannels * (m_dstFormat.wBitsPerSample / 8) * m_dstFormat.nSamplesPerSec;
    m_lengthSeconds = m_decodedSize / m_dstFormat.nAvgBytesPerSec;

    if (allowStream && !m_keepPcm && m_lengthSeconds >= m_streamThreshold) {
        m_streaming = 1;
        m_bufferBytes = (unsigned int)TwoSecondsOfPcm(m_dstFormat);
        m_srcChunkSize = kXaChunkBytes;
        m_decodedSize = Clamp32(HeaderPcmBytes(header));
        return StartStream(1);
    }

    m_streaming = 0;
    if (CreateStore(m_decodedSize) != 0) {
        DebugPrint("CDSBuffer::LoadXA DSBCreateError\n");
        CloseSource(1);
        return 1;
    }
    m_srcChunkSize = m_dataSize;
    m_srcChunk = new BYTE[m_srcChunkSize ? m_srcChunkSize : 1];
    // Only what the file really gave is handed to the decoder.
    size_t got = m_dataSize ? fread(m_srcChunk, 1, m_dataSize, static_cast<FILE*>(m_file)) : 0;
    CloseSource(1);

    void* region1 = nullptr;
    void* region2 = nullptr;
    DWORD bytes1 = 0;
    DWORD bytes2 = 0;
    HRESULT hr = LockStore(&region1, &bytes1, &region2, &bytes2);
    if (FAILED(hr) || !region1) {
        FreeSrcChunk();
        DebugPrint("CDSBuffer::LoadXA LockError\n");
        return 1;
    }
    if (!DecodeXaData(decoder, m_srcChunk, (DWORD)got, HeaderPcmBytes(header), SilenceByte(m_dstFormat),
                      static_cast<BYTE*>(region1), bytes1)) {
        UnlockStore(region1, bytes1, region2, bytes2);
        FreeSrcChunk();
        DebugPrint("CDSBuffer::LoadXA Convert\n");
        return 1;
    }
    hr = UnlockStore(region1, bytes1, region2, bytes2);
    if (FAILED(hr)) {
        FreeSrcChunk();
        DebugPrintHResult(hr);
        DebugPrint("CDSBuffer::LoadXA UnlockError\n");
        return 1;
    }
    xa.close(decoder);
    m_decoder = nullptr;
    FreeSrcChunk();
    return 0;
}

int CDSBuffer::StreamUpdateXA(unsigned int target, unsigned int minimum)
{
    if (m_streamState == 5)
        return 0;
    if (!CanRefill())
        return 1;

    RefillPass pass = BeginRefill(target, minimum);
    const XaDecoderApi& xa = GetXaDecoder();

    while (pass.written < pass.need) {
        unsigned int n = 0;
        const bool fromFile = ReadSourceChunk(n, 1) > 0;
        if (!fromFile)
            n = 0;

        XASTREAMHEADER request;
        memset(&request, 0, sizeof(request));
        request.pSrc = m_srcChunk;
        request.nSrcLen = n;
        request.pDst = m_convBuffer + pass.written;
        request.nDstLen = pass.room;
        if (!xa.convert(static_cast<HXASTREAM>(m_decoder), &request)) {
            DebugPrint("CDSBuffer::StreamUpdateXA ConvertError\n");
            return 1;
        }
        DWORD used = request.nSrcUsed < n ? request.nSrcUsed : n;
        DWORD out = request.nDstUsed < pass.room ? request.nDstUsed : pass.room;

        if (GiveBackUnused(n, used, out, fromFile, 1))
            break;  // what was given back is read again by the next refill

        AddOutput(pass, out);
        // The decoder gives nothing more while the source is exhausted: the sound has ended,
        // even when the header promised more.
        const bool stuck = pass.idlePasses >= kMaxIdlePasses || (out == 0 && m_streamState != 0 && !m_loop);
        EndIfDone(pass, stuck, 1);

        // A loop starts the data again, and the decoder with it: it counts blocks to find the
        // short last one, and the file may end before the header's last block.
        if (m_srcConsumed >= m_dataSize && m_loop) {
            RewindSource(1);
            if (!ReopenXaDecoder()) {
                DebugPrint("CDSBuffer::StreamUpdateXA DecodeOpenError\n");
                return 1;
            }
        }
    }

    return CopyRefill(pass.count, pass.written, 1);
}

int CDSBuffer::StreamUpdateResetXA()
{
    if (!m_streaming || !m_soundBuffer)
        return 0;

    FILE* file = static_cast<FILE*>(m_file);
    BYTE header[kXaHeaderBytes];
    if (!file || _fseeki64(file, 0, SEEK_SET) != 0 || fread(header, 1, sizeof(header), file) < sizeof(header)) {
        if (file)
            fclose(file);
        m_file = nullptr;
        DebugPrint("CDSBuffer::LoadXA HeaderReadError\n");
        return 1;
    }
    const bool wasPlaying = RestartStream(1);

    memcpy(m_xaHeader, header, sizeof(m_xaHeader));
    if (!ReopenXaDecoder()) {
        CloseSource(1);
        DebugPrint("CDSBuffer::StreamUpdateResetXA DecodeOpenError\n");
        return 1;
    }
    return FillStream(1, "CDSBuffer::StreamUpdateResetXA", wasPlaying);
}

// A fresh decoder for the kept header, in place of the one in use (the format stays as loaded).
bool CDSBuffer::ReopenXaDecoder()
{
    const XaDecoderApi& xa = GetXaDecoder();
    if (m_decoder) {
        xa.close(static_cast<HXASTREAM>(m_decoder));
        m_decoder = nullptr;
    }
    WAVEFORMATEX format = m_dstFormat;
    m_decoder = xa.open(m_xaHeader, &format);
    return m_decoder != nullptr;
}
