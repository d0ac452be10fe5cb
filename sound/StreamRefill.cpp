// Streaming refill of WAV sounds, the rewind of a WAV stream, the per-frame stream service, and
// the pieces the WAV and XA loads and refills share.
#include <stdio.h>
#include <string.h>

#include "sound/CDSBuffer.h"
#include "sound/DebugPrint.h"
#include "sound/SoundInternal.h"

// A stream whose set-up failed half way has nothing to refill with.
bool CDSBuffer::CanRefill() const
{
    return m_soundBuffer && m_convBuffer && m_srcChunk && m_file && m_decoder && m_bufferBytes != 0;
}

// Works out how much this refill writes toward `target` and must produce toward `minimum`. A
// sound that ended in the last refill gets one more pass of silence and is marked as ending.
CDSBuffer::RefillPass CDSBuffer::BeginRefill(unsigned int target, unsigned int minimum)
{
    RefillPass pass;
    const unsigned int size = m_bufferBytes;
    const unsigned int cursor = m_writeCursor;
    pass.count = target >= cursor ? target - cursor + 1 : target + size - cursor;
    pass.need = minimum >= cursor ? minimum - cursor + 1 : minimum + size - cursor;
    if (pass.count > m_convBufferSize)
        pass.count = m_convBufferSize;
    if (pass.need > pass.count)
        pass.need = pass.count;
    pass.room = pass.count;
    pass.written = 0;
    pass.idlePasses = 0;

    if (m_streamState == 3) {
        memset(m_convBuffer, SilenceByte(m_dstFormat), pass.count);
        m_streamState = 4;
        m_endHalf = m_refillHalf;
        pass.written = pass.count;
        pass.room = 0;
    }
    return pass;
}

// Reads the next source chunk into m_srcChunk; n is the number of bytes it holds. Returns 1
// when the bytes come from the file, 0 when the file has ended (the caller then sets n), -1 on
// a read error.
int CDSBuffer::ReadSourceChunk(unsigned int& n, int xa)
{
    n = m_srcChunkSize;
    unsigned int left = m_srcRead < m_dataSize ? m_dataSize - m_srcRead : 0;
    if (n > left)
        n = left;
    if (left == 0 && m_streamState == 0)
        m_streamState = 1;
    if (m_streamState != 0)
        return 0;

    unsigned int got = 0;
    if (xa) {
        got = n ? (unsigned int)fread(m_srcChunk, 1, n, static_cast<FILE*>(m_file)) : 0;
    } else {
        LONG read = n ? mmioRead(static_cast<HMMIO>(m_file), reinterpret_cast<HPSTR>(m_srcChunk), (LONG)n) : 0;
        if (read < 0) {
            DebugPrint("CDSBuffer::StreamUpdateWav ReadError\n");
            return -1;
        }
        got = (unsigned int)read;
    }
    if (got == 0 || got < n)
        m_streamState = 1;
    m_srcRead += got;
    n = got;
    return 1;
}

// Counts what the converter used of n source bytes and gives the rest back to the file, to be
// read again. Returns true when nothing converted because the room left is too small for one
// block: this refill ends there.
bool CDSBuffer::GiveBackUnused(unsigned int n, DWORD used, DWORD out, bool fromFile, int xa)
{
    m_srcConsumed += used;
    if (!fromFile || n <= used)
        return false;
    // (A short read has already set state 1: the file ends here.)
    if (used == 0 && out == 0 && (m_srcRead >= m_dataSize || m_streamState != 0)) {
        // The end of the data does not convert (a tail shorter than one block): count it as
        // consumed instead of reading it again for ever.
        m_srcConsumed += n;
        return false;
    }
    const bool noRoom = used == 0 && out == 0;
    DWORD rest = n - used;
    m_srcRead -= rest;
    if (xa)
        _fseeki64(static_cast<FILE*>(m_file), -(long long)rest, SEEK_CUR);
    else
        mmioSeek(static_cast<HMMIO>(m_file), -(LONG)rest, SEEK_CUR);
    return noRoom;
}

void CDSBuffer::AddOutput(RefillPass& pass, DWORD out)
{
    m_produced += out;
    pass.room -= out;
    pass.written += out;
    pass.idlePasses = out ? 0 : pass.idlePasses + 1;
}

// Ends the sound once the converter is stuck or, unlooped, has produced the whole sound: what
// it produced past the end is silenced along with the rest of the pass.
void CDSBuffer::EndIfDone(RefillPass& pass, bool stuck, int xa)
{
    if (!stuck && (m_loop || m_produced < m_decodedSize))
        return;
    unsigned int over = m_produced >= m_decodedSize ? m_produced - m_decodedSize : 0;
    if (m_loop)
        over = 0;
    if (over > pass.written) {
        if (xa)
            DebugPrint(KTB_OVERRUN_XA, (int)over, (int)pass.room, (int)pass.written);
        else
            DebugPrint(KTB_OVERRUN_WAV, (int)over, (int)pass.room);
        over = 0;
    }
    EndSound(pass, over);
}

// Silences the last `over` bytes produced and the rest of the pass; the sound has ended.
void CDSBuffer::EndSound(RefillPass& pass, unsigned int over)
{
    memset(m_convBuffer + pass.written - over, SilenceByte(m_dstFormat), pass.room + over);
    pass.written = pass.count;
    pass.room = 0;
    m_streamState = 3;
}

// Back to the start of the data, nothing read or produced yet.
void CDSBuffer::RewindSource(int xa)
{
    if (m_file) {
        if (xa)
            _fseeki64(static_cast<FILE*>(m_file), m_dataOffset, SEEK_SET);
        else
            mmioSeek(static_cast<HMMIO>(m_file), (LONG)m_dataOffset, SEEK_SET);
    }
    m_srcRead = 0;
    m_srcConsumed = 0;
    m_produced = 0;
    m_streamState = 0;
}

// Rewinds a stream for a restart: source and cursors back to the start, the buffer stopped at
// position 0. Returns whether the buffer was playing.
bool CDSBuffer::RestartStream(int xa)
{
    RewindSource(xa);
    m_writeCursor = 0;
    m_refillHalf = 0;
    m_endHalf = 0;

    DWORD status = 0;
    const bool wasPlaying = SUCCEEDED(m_soundBuffer->GetStatus(&status)) && (status & DSBSTATUS_PLAYING);
    if (wasPlaying)
        m_soundBuffer->Stop();
    m_soundBuffer->SetCurrentPosition(0);
    return wasPlaying;
}

// Sets up a newly loaded stream: source chunk, sound buffer and conversion buffer, then the
// first fill. The file stays open for the refills.
int CDSBuffer::StartStream(int xa)
{
    const char* caller = xa ? "CDSBuffer::LoadXA" : "CDSBuffer::LoadWav";
    m_srcChunk = new BYTE[m_srcChunkSize];
    m_srcRead = 0;
    m_srcConsumed = 0;
    m_refillHalf = 0;
    m_writeCursor = 0;
    m_streamState = 0;
    m_endHalf = 0;
    if (CreateDSB(m_bufferBytes) != 0) {
        DebugPrint("%s DSBCreateError(Stream)\n", caller);
        CloseSource(xa);
        FreeSrcFormat();
        FreeSrcChunk();
        return 1;
    }
    m_convBufferSize = m_bufferBytes;
    m_convBuffer = new BYTE[m_convBufferSize];
    m_produced = 0;
    return FillStream(xa, caller, false);
}

// Fills the whole stream buffer from the write cursor; `caller` names the failure line. A
// buffer that was playing is started again.
int CDSBuffer::FillStream(int xa, const char* caller, bool wasPlaying)
{
    int failed = xa ? StreamUpdateXA(m_bufferBytes - 1, m_bufferBytes * 3 / 4)
                    : StreamUpdateWav(m_bufferBytes - 1, m_bufferBytes * 3 / 4);
    if (failed) {
        DebugPrint("%s StreamUpdateError\n", caller);
        return 1;
    }
    m_refillHalf = 0;
    if (wasPlaying && m_soundBuffer->Play(0, 0, DSBPLAY_LOOPING) != DS_OK)
        return 1;
    return 0;
}

// Locks the whole sound buffer, restoring it once if it was lost.
HRESULT CDSBuffer::LockWhole(void** region1, DWORD* bytes1, void** region2, DWORD* bytes2)
{
    HRESULT hr = m_soundBuffer->Lock(0, m_bufferBytes, region1, bytes1, region2, bytes2, DSBLOCK_ENTIREBUFFER);
    if (hr == DSERR_BUFFERLOST) {
        m_soundBuffer->Restore();
        hr = m_soundBuffer->Lock(0, m_bufferBytes, region1, bytes1, region2, bytes2, DSBLOCK_ENTIREBUFFER);
    }
    return hr;
}

void CDSBuffer::CloseSource(int xa)
{
    if (xa)
        fclose(static_cast<FILE*>(m_file));
    else
        mmioClose(static_cast<HMMIO>(m_file), 0);
    m_file = nullptr;
}

void CDSBuffer::FreeSrcChunk()
{
    delete[] m_srcChunk;
    m_srcChunk = nullptr;
}

void CDSBuffer::FreeSrcFormat()
{
    delete[] reinterpret_cast<BYTE*>(m_srcFormat);
    m_srcFormat = nullptr;
}

int CDSBuffer::CopyRefill(unsigned int count, unsigned int written, int xa)
{
    const char* name = xa ? "CDSBuffer::StreamUpdateXA" : "CDSBuffer::StreamUpdateWav";
    void* region1 = nullptr;
    void* region2 = nullptr;
    DWORD bytes1 = 0;
    DWORD bytes2 = 0;
    HRESULT hr = m_soundBuffer->Lock(m_writeCursor, count, &region1, &bytes1, &region2, &bytes2, 0);
    if (hr == DSERR_BUFFERLOST) {
        if (FAILED(m_soundBuffer->Restore())) {
            DebugPrint("%s BufferLost(Lock)\n", name);
            return 1;
        }
        hr = m_soundBuffer->Lock(m_writeCursor, count, &region1, &bytes1, &region2, &bytes2, 0);
    }
    if (FAILED(hr)) {
        DebugPrint("%s LockError %d %d ", name, (int)m_writeCursor, (int)count);
        DebugPrintHResult(hr);
        return 1;
    }
    if (!region1)
        bytes1 = 0;
    if (!region2)
        bytes2 = 0;

    const BYTE silence = SilenceByte(m_dstFormat);
    if (bytes1)
        memset(region1, silence, bytes1);
    if (bytes2)
        memset(region2, silence, bytes2);

    DWORD first = written < bytes1 ? written : bytes1;
    if (first)
        memcpy(region1, m_convBuffer, first);
    if (written > bytes1) {
        DWORD rest = written - bytes1;
        if (bytes2 == 0 || rest > bytes2) {
            DebugPrint("%s BufSizeCalcError\n", name);
            hr = m_soundBuffer->Unlock(region1, bytes1, region2, bytes2);
            if (xa && FAILED(hr))
                DebugPrint("%s UnlockError\n", name);
            return 1;
        }
        memcpy(region2, m_convBuffer + bytes1, rest);
    }

    m_writeCursor += written;
    if (m_writeCursor >= m_bufferBytes)
        m_writeCursor -= m_bufferBytes;

    if (FAILED(m_soundBuffer->Unlock(region1, bytes1, region2, bytes2))) {
        DebugPrint("%s UnlockError\n", name);
        return 1;
    }
    return 0;
}

int CDSBuffer::StreamUpdateWav(unsigned int target, unsigned int minimum)
{
    if (m_streamState == 5)
        return 0;
    if (!CanRefill())
        return 1;

    RefillPass pass = BeginRefill(target, minimum);
    const BYTE silence = SilenceByte(m_dstFormat);
    HACMSTREAM stream = static_cast<HACMSTREAM>(m_decoder);

    while (pass.written < pass.need) {
        unsigned int n = 0;
        const int fromFile = ReadSourceChunk(n, 0);
        if (fromFile < 0)
            return 1;
        if (!fromFile) {
            // Silence in the source's own terms: an 8-bit PCM source may convert to 16 bits.
            const bool eightBitSource =
                m_srcFormat && m_srcFormat->wFormatTag == WAVE_FORMAT_PCM && m_srcFormat->wBitsPerSample == 8;
            memset(m_srcChunk, eightBitSource ? 0x80 : silence, m_srcChunkSize);
            n = m_srcChunkSize;
        }

        DWORD used = 0;
        DWORD out = 0;
        if (n > 0) {
            ACMSTREAMHEADER header = AcmHeader(m_srcChunk, n, m_convBuffer + pass.written, pass.room);
            MMRESULT mr = acmStreamPrepareHeader(stream, &header, 0);
            if (mr != MMSYSERR_NOERROR) {
                DebugPrint("CDSBuffer::StreamUpdateWav PrepareError %X\n", (unsigned int)mr);
                return 1;
            }
            mr = acmStreamConvert(stream, &header, ACM_STREAMCONVERTF_BLOCKALIGN);
            if (mr != MMSYSERR_NOERROR) {
                acmStreamUnprepareHeader(stream, &header, 0);
                DebugPrint("CDSBuffer::StreamUpdateWav ConvertError %X\n", (unsigned int)mr);
                return 1;
            }
            if (acmStreamUnprepareHeader(stream, &header, 0) != MMSYSERR_NOERROR) {
                DebugPrint("CDSBuffer::StreamUpdateWav UnprepareError\n");
                return 1;
            }
            used = header.cbSrcLengthUsed < n ? header.cbSrcLengthUsed : n;
            out = header.cbDstLengthUsed < pass.room ? header.cbDstLengthUsed : pass.room;
        }

        if (GiveBackUnused(n, used, out, fromFile != 0, 0))
            break;  // what was given back is read again by the next refill

        AddOutput(pass, out);
        EndIfDone(pass, pass.idlePasses >= kMaxIdlePasses, 0);

        if (m_srcConsumed >= m_dataSize) {
            if (m_loop) {
                RewindSource(0);
            } else if (m_streamState != 3) {
                // The whole source is converted: the sound ends here, even when the converter's
                // size estimate promised more.
                EndSound(pass, 0);
            }
        }
    }

    return CopyRefill(pass.count, pass.written, 0);
}

int CDSBuffer::StreamUpdateResetWav()
{
    if (!m_streaming || !m_soundBuffer)
        return 0;

    const bool wasPlaying = RestartStream(0);

    if (m_decoder) {
        acmStreamClose(static_cast<HACMSTREAM>(m_decoder), 0);
        m_decoder = nullptr;
    }
    HACMSTREAM stream = nullptr;
    if (!m_file || !m_srcFormat ||
        acmStreamOpen(&stream, nullptr, m_srcFormat, &m_dstFormat, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME) !=
            MMSYSERR_NOERROR) {
        if (m_file)
            CloseSource(0);
        FreeSrcFormat();
        DebugPrint("CDSBuffer::StreamUpdateResetWav ACM OPEN ERROR\n");
        return 1;
    }
    m_decoder = stream;
    return FillStream(0, "CDSBuffer::StreamUpdateResetWav", wasPlaying);
}

int CDSBuffer::StreamPlay()
{
    if (!m_streaming || !m_soundBuffer || m_streamState == 5)
        return 0;

    DWORD play = 0;
    DWORD write = 0;
    if (m_soundBuffer->GetCurrentPosition(&play, &write) != DS_OK) {
        DebugPrint("CDSBuffer::StreamPlay GetCurrentPosError\n");
        return 1;
    }
    const unsigned int size = m_bufferBytes;

    if (!m_loop && m_streamState >= 4) {
        if ((m_endHalf == 0 && 0 < play && play < size / 2) || (m_endHalf == 1 && size / 2 < play && play < size - 1)) {
            m_soundBuffer->Stop();
            m_streamState = 5;
        }
        return 0;
    }

    const bool xa = m_kind == 2;
    if (m_refillHalf == 0 && size / 2 < play && play < size * 3 / 4) {
        int failed = xa ? StreamUpdateXA(size / 2 - 1, size / 4) : StreamUpdateWav(size / 2 - 1, size / 4);
        if (failed) {
            DebugPrint(xa ? "CDSBuffer::StreamPlayXA [A]StreamUpdateError\n"
                          : "CDSBuffer::StreamPlayWav [A]StreamUpdateError\n");
            return 1;
        }
        m_refillHalf = 1;
        return 0;
    }
    if (m_refillHalf == 1 && 0 < play && play < size / 2) {
        int failed = xa ? StreamUpdateXA(size - 1, size * 3 / 4) : StreamUpdateWav(size - 1, size * 3 / 4);
        if (failed) {
            DebugPrint(xa ? "CDSBuffer::StreamPlayXA [B]StreamUpdateError\n"
                          : "CDSBuffer::StreamPlayWav [B]StreamUpdateError\n");
            return 1;
        }
        m_refillHalf = 0;
        return 0;
    }
    return 0;
}
