// CDSBuffer::LoadWav: RIFF WAVE files through the multimedia file functions and the ACM.
#include <string.h>

#include "sound/CDSBuffer.h"
#include "sound/DebugPrint.h"
#include "sound/SoundInternal.h"

namespace {

// Size of the open file in bytes, or -1 when it cannot be found. The position is kept.
LONG MmioFileSize(HMMIO file)
{
    LONG here = mmioSeek(file, 0, SEEK_CUR);
    if (here < 0)
        return -1;
    LONG end = mmioSeek(file, 0, SEEK_END);
    mmioSeek(file, here, SEEK_SET);
    return end;
}

// Bytes the file holds from the offset on; the declared size when the file size is unknown.
DWORD BytesHeld(LONG fileSize, DWORD offset, DWORD declared)
{
    if (fileSize < 0)
        return declared;
    if ((DWORD)fileSize <= offset)
        return 0;
    DWORD held = (DWORD)fileSize - offset;
    return declared < held ? declared : held;
}

}  // namespace

int CDSBuffer::LoadWav(int allowStream)
{
    Term();

    HMMIO file = mmioOpenA(m_fileName, nullptr, MMIO_READ | MMIO_ALLOCBUF);
    if (!file) {
        DebugPrint("CDSBuffer::LoadWav %s Open Error\n", m_fileName);
        return 1;
    }
    m_file = file;
    const LONG fileSize = MmioFileSize(file);

    auto closeFile = [this]() {
        mmioClose(static_cast<HMMIO>(m_file), 0);
        m_file = nullptr;
    };
    auto freeSrcFormat = [this]() {
        delete[] reinterpret_cast<BYTE*>(m_srcFormat);
        m_srcFormat = nullptr;
    };

    MMCKINFO riff;
    memset(&riff, 0, sizeof(riff));
    if (mmioDescend(file, &riff, nullptr, 0) != MMSYSERR_NOERROR) {
        closeFile();
        DebugPrint("CDSBuffer::LoadWav RIFF DecError\n");
        return 1;
    }
    if (riff.ckid != FOURCC_RIFF || riff.fccType != mmioFOURCC('W', 'A', 'V', 'E')) {
        closeFile();
        DebugPrint("CDSBuffer::LoadWav WAVE not found\n");
        return 1;
    }

    MMCKINFO fmt;
    memset(&fmt, 0, sizeof(fmt));
    fmt.ckid = mmioFOURCC('f', 'm', 't', ' ');
    if (mmioDescend(file, &fmt, &riff, MMIO_FINDCHUNK) != MMSYSERR_NOERROR) {
        closeFile();
        DebugPrint("CDSBuffer::LoadWav fmt DecError\n");
        return 1;
    }

    // The format chunk is read exactly into a zeroed buffer of at least a WAVEFORMATEX, so a
    // 16-byte chunk gets an extra size of 0. A chunk larger than the file is refused before
    // anything is allocated.
    if (BytesHeld(fileSize, fmt.dwDataOffset, fmt.cksize) < fmt.cksize) {
        closeFile();
        DebugPrint("CDSBuffer::LoadWav fmt read Error\n");
        return 1;
    }
    DWORD fmtBytes = fmt.cksize < sizeof(WAVEFORMATEX) ? (DWORD)sizeof(WAVEFORMATEX) : fmt.cksize;
    BYTE* fmtMemory = new BYTE[fmtBytes];
    memset(fmtMemory, 0, fmtBytes);
    m_srcFormat = reinterpret_cast<WAVEFORMATEX*>(fmtMemory);
    LONG got = mmioRead(file, reinterpret_cast<HPSTR>(fmtMemory), (LONG)fmt.cksize);
    if (got < 0 || (DWORD)got != fmt.cksize) {
        closeFile();
        DebugPrint("CDSBuffer::LoadWav fmt read Error\n");
        return 1;
    }
    // The ACM reads cbSize bytes past the WAVEFORMATEX: never let it read past what we hold.
    if (m_srcFormat->cbSize > fmtBytes - sizeof(WAVEFORMATEX))
        m_srcFormat->cbSize = (WORD)(fmtBytes - sizeof(WAVEFORMATEX));

    if (mmioAscend(file, &fmt, 0) != MMSYSERR_NOERROR) {
        closeFile();
        freeSrcFormat();
        DebugPrint("CDSBuffer::LoadWav fmtAscError\n");
        return 1;
    }

    MMCKINFO data;
    memset(&data, 0, sizeof(data));
    data.ckid = mmioFOURCC('d', 'a', 't', 'a');
    if (mmioDescend(file, &data, &riff, MMIO_FINDCHUNK) != MMSYSERR_NOERROR) {
        closeFile();
        freeSrcFormat();
        DebugPrint("CDSBuffer::LoadWav data DecError\n");
        return 1;
    }
    m_dataOffset = (DWORD)mmioSeek(file, 0, SEEK_CUR);
    // A data chunk that claims more than the file holds is cut to what the file holds.
    m_dataSize = BytesHeld(fileSize, m_dataOffset, data.cksize);
    m_kind = 1;

    // A format without channels, rate or block alignment is one the ACM cannot convert.
    if (m_srcFormat->nChannels == 0 || m_srcFormat->nSamplesPerSec == 0 || m_srcFormat->nBlockAlign == 0) {
        closeFile();
        freeSrcFormat();
        DebugPrint("CDSBuffer::LoadWav ACM SUGGEST ERROR\n");
        return 1;
    }
    memset(&m_dstFormat, 0, sizeof(m_dstFormat));
    m_dstFormat.wFormatTag = WAVE_FORMAT_PCM;
    if (acmFormatSuggest(nullptr, m_srcFormat, &m_dstFormat, sizeof(WAVEFORMATEX), ACM_FORMATSUGGESTF_WFORMATTAG) !=
            MMSYSERR_NOERROR ||
        m_dstFormat.nChannels == 0 || m_dstFormat.nSamplesPerSec == 0 || m_dstFormat.nBlockAlign == 0 ||
        m_dstFormat.wBitsPerSample < 8) {
        closeFile();
        freeSrcFormat();
        DebugPrint("CDSBuffer::LoadWav ACM SUGGEST ERROR\n");
        return 1;
    }
    if (m_dstFormat.nAvgBytesPerSec == 0)
        m_dstFormat.nAvgBytesPerSec = m_dstFormat.nSamplesPerSec * m_dstFormat.nBlockAlign;

    HACMSTREAM stream = nullptr;
    if (acmStreamOpen(&stream, nullptr, m_srcFormat, &m_dstFormat, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME) !=
        MMSYSERR_NOERROR) {
        closeFile();
        freeSrcFormat();
        DebugPrint("CDSBuffer::LoadWav ACM OPEN ERROR\n");
        return 1;
    }
    m_decoder = stream;

    DWORD decoded = 0;
    if (acmStreamSize(stream, m_dataSize, &decoded, ACM_STREAMSIZEF_SOURCE) != MMSYSERR_NOERROR) {
        closeFile();
        freeSrcFormat();
        DebugPrint("CDSBuffer::LoadWav Size(s2d)Get Error\n");
        return 1;
    }
    m_decodedSize = decoded;
    m_lengthSeconds = m_decodedSize / m_dstFormat.nAvgBytesPerSec;

    if (allowStream && m_lengthSeconds >= m_streamThreshold) {
        m_streaming = 1;
        m_bufferBytes = m_dstFormat.nChannels * (m_dstFormat.wBitsPerSample / 8) * m_dstFormat.nSamplesPerSec * 2;
        DWORD chunk = 0;
        if (acmStreamSize(stream, m_bufferBytes, &chunk, ACM_STREAMSIZEF_DESTINATION) != MMSYSERR_NOERROR ||
            chunk == 0) {
            closeFile();
            freeSrcFormat();
            DebugPrint("CDSBuffer::LoadWav Size(d2s)Get Error\n");
            return 1;
        }
        m_srcChunkSize = chunk;
        DWORD bytes = 0;
        if (acmStreamSize(stream, m_srcChunkSize, &bytes, ACM_STREAMSIZEF_SOURCE) != MMSYSERR_NOERROR || bytes == 0) {
            closeFile();
            freeSrcFormat();
            DebugPrint("CDSBuffer::LoadWav Size(s2d)Get Error\n");
            return 1;
        }
        m_bufferBytes = bytes;

        m_srcChunk = new BYTE[m_srcChunkSize];
        m_srcRead = 0;
        m_srcConsumed = 0;
        m_refillHalf = 0;
        m_writeCursor = 0;
        m_streamState = 0;
        m_endHalf = 0;
        if (CreateDSB(m_bufferBytes) != 0) {
            DebugPrint("CDSBuffer::LoadWav DSBCreateError(Stream)\n");
            closeFile();
            freeSrcFormat();
            delete[] m_srcChunk;
            m_srcChunk = nullptr;
            return 1;
        }
        m_convBufferSize = m_bufferBytes;
        m_convBuffer = new BYTE[m_convBufferSize];
        m_produced = 0;
        if (StreamUpdateWav(m_bufferBytes - 1, m_bufferBytes * 3 / 4) != 0) {
            DebugPrint("CDSBuffer::LoadWav StreamUpdateError\n");
            return 1;
        }
        m_refillHalf = 0;
        return 0;
    }

    // Static: the whole sound converted once, straight into the locked sound buffer.
    m_streaming = 0;
    if (CreateDSB(m_decodedSize) != 0) {
        DebugPrint("CDSBuffer::LoadWav DSBCreateError\n");
        closeFile();
        freeSrcFormat();
        return 1;
    }
    m_srcChunkSize = m_dataSize;
    m_srcChunk = new BYTE[m_srcChunkSize ? m_srcChunkSize : 1];
    LONG read = m_dataSize ? mmioRead(static_cast<HMMIO>(m_file), reinterpret_cast<HPSTR>(m_srcChunk), (LONG)m_dataSize)
                           : 0;
    // Only what was really read is converted; the silence below stands for anything missing.
    DWORD srcLength = read > 0 ? (DWORD)read : 0;
    closeFile();
    freeSrcFormat();

    auto freeChunk = [this]() {
        delete[] m_srcChunk;
        m_srcChunk = nullptr;
    };

    void* region = nullptr;
    DWORD regionBytes = 0;
    HRESULT hr = m_soundBuffer->Lock(0, m_bufferBytes, &region, &regionBytes, nullptr, nullptr, DSBLOCK_ENTIREBUFFER);
    if (hr == DSERR_BUFFERLOST) {
        m_soundBuffer->Restore();
        hr = m_soundBuffer->Lock(0, m_bufferBytes, &region, &regionBytes, nullptr, nullptr, DSBLOCK_ENTIREBUFFER);
    }
    if (FAILED(hr) || !region) {
        freeChunk();
        DebugPrint("CDSBuffer::LoadWav LockError\n");
        return 1;
    }
    memset(region, SilenceByte(m_dstFormat), regionBytes);

    if (srcLength > 0) {
        ACMSTREAMHEADER header;
        memset(&header, 0, sizeof(header));
        header.cbStruct = sizeof(header);
        header.pbSrc = m_srcChunk;
        header.cbSrcLength = srcLength;
        header.pbDst = static_cast<LPBYTE>(region);
        header.cbDstLength = regionBytes;
        if (acmStreamPrepareHeader(stream, &header, 0) != MMSYSERR_NOERROR) {
            m_soundBuffer->Unlock(region, regionBytes, nullptr, 0);
            freeChunk();
            DebugPrint("CDSBuffer::LoadWav PrepareError\n");
            return 1;
        }
        if (acmStreamConvert(stream, &header, 0) != MMSYSERR_NOERROR) {
            acmStreamUnprepareHeader(stream, &header, 0);
            m_soundBuffer->Unlock(region, regionBytes, nullptr, 0);
            freeChunk();
            DebugPrint("CDSBuffer::LoadWav ConvertError\n");
            return 1;
        }
        if (acmStreamUnprepareHeader(stream, &header, 0) != MMSYSERR_NOERROR) {
            m_soundBuffer->Unlock(region, regionBytes, nullptr, 0);
            freeChunk();
            DebugPrint("CDSBuffer::LoadWav UnprepareError\n");
            return 1;
        }
    }

    if (FAILED(m_soundBuffer->Unlock(region, regionBytes, nullptr, 0))) {
        freeChunk();
        DebugPrint("CDSBuffer::LoadWav UnlockError\n");
        return 1;
    }
    acmStreamClose(stream, 0);
    m_decoder = nullptr;
    freeChunk();
    return 0;
}
