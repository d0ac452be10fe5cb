// CDSBuffer::LoadWav: RIFF WAVE files through the multimedia file functions and the ACM.
#include <string.h>

#include "sound/AcmFormatCache.h"
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

// A source format whose block cannot hold what the format says it holds is corrupt, and the
// converters trust it: they read past the end of the data they are handed. Such a format is
// refused before the ACM sees it. f holds at least 18 + cbSize bytes.
// - PCM: a block is one sample frame, channels x bytes per sample (Wine's PCM converter reads a
//   whole sample per channel even when the block alignment is smaller).
// - Block-coded ADPCM: the format gives the sample frames that one block decodes to, and the
//   codecs decode that many from every block (Wine's IMA and MS ADPCM codecs).
// - Every format: the ACM sizes conversions from the average bytes per second; Wine's PCM
//   converter stops the whole process on an assertion when it is 0.
bool SourceFormatFits(const WAVEFORMATEX* f)
{
    if (f->nAvgBytesPerSec == 0)
        return false;
    const DWORD channels = f->nChannels;
    const BYTE* extra = reinterpret_cast<const BYTE*>(f) + sizeof(WAVEFORMATEX);
    auto word = [extra](int i) { return (DWORD)extra[2 * i] | ((DWORD)extra[2 * i + 1] << 8); };
    if (f->wFormatTag == WAVE_FORMAT_PCM)
        return f->wBitsPerSample != 0 && f->wBitsPerSample % 8 == 0 &&
               f->nBlockAlign == channels * (f->wBitsPerSample / 8);
    if (f->wFormatTag == WAVE_FORMAT_IMA_ADPCM) {
        if (f->cbSize < 2 || f->wBitsPerSample == 0 || f->nBlockAlign <= 4 * channels)
            return false;
        const DWORD capacity = (f->nBlockAlign - 4 * channels) * 8 / (f->wBitsPerSample * channels) + 1;
        return word(0) >= 1 && word(0) <= capacity;
    }
    if (f->wFormatTag == WAVE_FORMAT_ADPCM) {
        if (f->cbSize < 4 || f->nBlockAlign <= 7 * channels)
            return false;
        const DWORD capacity = (f->nBlockAlign - 7 * channels) * 8 / (4 * channels) + 2;
        return word(0) >= 2 && word(0) <= capacity && 4 + 4 * word(1) <= f->cbSize;
    }
    return true;
}

// Decodes a static sound: `srcLength` bytes of the source into `dst` (`dstBytes` long, silence
// where the sound does not reach), by a copy of whole sample frames (plainCopy) or one ACM
// conversion through `stream`. Returns null, or the failure line of the ACM step that failed.
const char* DecodeWavData(HACMSTREAM stream, bool plainCopy, BYTE* src, DWORD srcLength, const WAVEFORMATEX& format,
                          BYTE* dst, DWORD dstBytes)
{
    memset(dst, SilenceByte(format), dstBytes);
    if (srcLength == 0)
        return nullptr;
    if (plainCopy) {
        DWORD bytes = srcLength - srcLength % format.nBlockAlign;
        memcpy(dst, src, bytes < dstBytes ? bytes : dstBytes);
        return nullptr;
    }
    ACMSTREAMHEADER header = AcmHeader(src, srcLength, dst, dstBytes);
    if (acmStreamPrepareHeader(stream, &header, 0) != MMSYSERR_NOERROR)
        return "CDSBuffer::LoadWav PrepareError\n";
    if (acmStreamConvert(stream, &header, 0) != MMSYSERR_NOERROR) {
        acmStreamUnprepareHeader(stream, &header, 0);
        return "CDSBuffer::LoadWav ConvertError\n";
    }
    if (acmStreamUnprepareHeader(stream, &header, 0) != MMSYSERR_NOERROR)
        return "CDSBuffer::LoadWav UnprepareError\n";
    return nullptr;
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

    // fail closes the file; failFormat also frees the source format.
    auto fail = [this](const char* message) {
        CloseSource(0);
        DebugPrint("%s", message);
        return 1;
    };
    auto failFormat = [this](const char* message) {
        CloseSource(0);
        FreeSrcFormat();
        DebugPrint("%s", message);
        return 1;
    };

    MMCKINFO riff;
    memset(&riff, 0, sizeof(riff));
    if (mmioDescend(file, &riff, nullptr, 0) != MMSYSERR_NOERROR)
        return fail("CDSBuffer::LoadWav RIFF DecError\n");
    if (riff.ckid != FOURCC_RIFF || riff.fccType != mmioFOURCC('W', 'A', 'V', 'E'))
        return fail("CDSBuffer::LoadWav WAVE not found\n");

    MMCKINFO fmt;
    memset(&fmt, 0, sizeof(fmt));
    fmt.ckid = mmioFOURCC('f', 'm', 't', ' ');
    if (mmioDescend(file, &fmt, &riff, MMIO_FINDCHUNK) != MMSYSERR_NOERROR)
        return fail("CDSBuffer::LoadWav fmt DecError\n");

    // The format chunk is read exactly into a zeroed buffer of at least a WAVEFORMATEX, so a
    // 16-byte chunk gets an extra size of 0. A chunk larger than the file is refused before
    // anything is allocated.
    if (BytesHeld(fileSize, fmt.dwDataOffset, fmt.cksize) < fmt.cksize)
        return fail("CDSBuffer::LoadWav fmt read Error\n");
    DWORD fmtBytes = fmt.cksize < sizeof(WAVEFORMATEX) ? (DWORD)sizeof(WAVEFORMATEX) : fmt.cksize;
    BYTE* fmtMemory = new BYTE[fmtBytes];
    memset(fmtMemory, 0, fmtBytes);
    m_srcFormat = reinterpret_cast<WAVEFORMATEX*>(fmtMemory);
    LONG got = mmioRead(file, reinterpret_cast<HPSTR>(fmtMemory), (LONG)fmt.cksize);
    if (got < 0 || (DWORD)got != fmt.cksize)
        return fail("CDSBuffer::LoadWav fmt read Error\n");
    // The ACM reads cbSize bytes past the WAVEFORMATEX: never let it read past what we hold.
    if (m_srcFormat->cbSize > fmtBytes - sizeof(WAVEFORMATEX))
        m_srcFormat->cbSize = (WORD)(fmtBytes - sizeof(WAVEFORMATEX));

    if (mmioAscend(file, &fmt, 0) != MMSYSERR_NOERROR)
        return failFormat("CDSBuffer::LoadWav fmtAscError\n");

    MMCKINFO data;
    memset(&data, 0, sizeof(data));
    data.ckid = mmioFOURCC('d', 'a', 't', 'a');
    if (mmioDescend(file, &data, &riff, MMIO_FINDCHUNK) != MMSYSERR_NOERROR)
        return failFormat("CDSBuffer::LoadWav data DecError\n");
    m_dataOffset = (DWORD)mmioSeek(file, 0, SEEK_CUR);
    // A data chunk that claims more than the file holds is cut to what the file holds.
    m_dataSize = BytesHeld(fileSize, m_dataOffset, data.cksize);
    m_kind = 1;

    // A format without channels, rate or block alignment is one the ACM cannot convert.
    if (m_srcFormat->nChannels == 0 || m_srcFormat->nSamplesPerSec == 0 || m_srcFormat->nBlockAlign == 0 ||
        !SourceFormatFits(m_srcFormat))
        return failFormat("CDSBuffer::LoadWav ACM SUGGEST ERROR\n");
    if (SuggestPcmFormat(m_srcFormat, &m_dstFormat) != MMSYSERR_NOERROR ||
        m_dstFormat.nChannels == 0 || m_dstFormat.nSamplesPerSec == 0 || m_dstFormat.nBlockAlign == 0 ||
        m_dstFormat.wBitsPerSample < 8)
        return failFormat("CDSBuffer::LoadWav ACM SUGGEST ERROR\n");
    if (m_dstFormat.nAvgBytesPerSec == 0)
        m_dstFormat.nAvgBytesPerSec = m_dstFormat.nSamplesPerSec * m_dstFormat.nBlockAlign;
    // Two seconds that do not fit in 32 bits: a corrupt header.
    const unsigned long long twoSeconds = TwoSecondsOfPcm(m_dstFormat);
    if (m_dstFormat.nAvgBytesPerSec == 0 || twoSeconds == 0 || twoSeconds > 0xFFFFFFFFull)
        return failFormat("CDSBuffer::LoadWav ACM SUGGEST ERROR\n");

    // When the suggested PCM is the source format itself, the conversion is a copy of whole
    // sample frames, and a static sound is copied without an ACM stream: opening one without a
    // driver makes the ACM try its codecs in turn, several milliseconds per file under Wine.
    const bool plainCopy = IsPlainPcmCopy(*m_srcFormat, m_dstFormat);
    HACMSTREAM stream = nullptr;
    auto openStream = [&]() {
        if (acmStreamOpen(&stream, nullptr, m_srcFormat, &m_dstFormat, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME) !=
            MMSYSERR_NOERROR)
            return false;
        m_decoder = stream;
        return true;
    };
    DWORD decoded = 0;
    if (plainCopy) {
        decoded = m_dataSize - m_dataSize % m_dstFormat.nBlockAlign;  // what the ACM's size gives
    } else {
        if (!openStream())
            return failFormat("CDSBuffer::LoadWav ACM OPEN ERROR\n");
        if (acmStreamSize(stream, m_dataSize, &decoded, ACM_STREAMSIZEF_SOURCE) != MMSYSERR_NOERROR)
            return failFormat("CDSBuffer::LoadWav Size(s2d)Get Error\n");
    }
    m_decodedSize = decoded;
    m_lengthSeconds = m_decodedSize / m_dstFormat.nAvgBytesPerSec;

    if (allowStream && !m_keepPcm && m_lengthSeconds >= m_streamThreshold) {
        if (!stream && !openStream())  // the refills convert through the ACM
            return failFormat("CDSBuffer::LoadWav ACM OPEN ERROR\n");
        m_streaming = 1;
        m_bufferBytes = (unsigned int)TwoSecondsOfPcm(m_dstFormat);
        DWORD chunk = 0;
        // No source format takes more than a few times the bytes of the PCM it converts to (32-bit
        // samples to 16-bit take two); a larger chunk comes from a corrupt average byte rate and
        // would be an allocation of gigabytes.
        if (acmStreamSize(stream, m_bufferBytes, &chunk, ACM_STREAMSIZEF_DESTINATION) != MMSYSERR_NOERROR ||
            chunk == 0 || chunk > 4ull * m_bufferBytes + m_srcFormat->nBlockAlign)
            return failFormat("CDSBuffer::LoadWav Size(d2s)Get Error\n");
        m_srcChunkSize = chunk;
        DWORD bytes = 0;
        if (acmStreamSize(stream, m_srcChunkSize, &bytes, ACM_STREAMSIZEF_SOURCE) != MMSYSERR_NOERROR || bytes == 0)
            return failFormat("CDSBuffer::LoadWav Size(s2d)Get Error\n");
        m_bufferBytes = bytes;
        return StartStream(0);
    }

    // Static: the whole sound converted once, straight into its store (the locked sound buffer).
    m_streaming = 0;
    if (CreateStore(m_decodedSize) != 0) {
        DebugPrint("CDSBuffer::LoadWav DSBCreateError\n");
        CloseSource(0);
        FreeSrcFormat();
        return 1;
    }
    m_srcChunkSize = m_dataSize;
    m_srcChunk = new BYTE[m_srcChunkSize ? m_srcChunkSize : 1];
    LONG read = m_dataSize ? mmioRead(static_cast<HMMIO>(m_file), reinterpret_cast<HPSTR>(m_srcChunk), (LONG)m_dataSize)
                           : 0;
    // Only what was really read is converted; the silence below stands for anything missing.
    DWORD srcLength = read > 0 ? (DWORD)read : 0;
    CloseSource(0);
    FreeSrcFormat();

    void* region = nullptr;
    DWORD regionBytes = 0;
    HRESULT hr = LockStore(&region, &regionBytes, nullptr, nullptr);
    if (FAILED(hr) || !region) {
        FreeSrcChunk();
        DebugPrint("CDSBuffer::LoadWav LockError\n");
        return 1;
    }
    const char* failure = DecodeWavData(stream, plainCopy, m_srcChunk, srcLength, m_dstFormat,
                                        static_cast<BYTE*>(region), regionBytes);
    if (failure) {
        UnlockStore(region, regionBytes, nullptr, 0);
        FreeSrcChunk();
        DebugPrint("%s", failure);
        return 1;
    }
    if (FAILED(UnlockStore(region, regionBytes, nullptr, 0))) {
        FreeSrcChunk();
        DebugPrint("CDSBuffer::LoadWav UnlockError\n");
        return 1;
    }
    if (stream)
        acmStreamClose(stream, 0);
    m_decoder = nullptr;
    FreeSrcChunk();
    return 0;
}
