// Streaming refill of WAV sounds, the rewind of a WAV stream, and the per-frame stream service.
#include <string.h>

#include "sound/CDSBuffer.h"
#include "sound/DebugPrint.h"
#include "sound/SoundInternal.h"

// A refill gives up producing once this many passes in a row produced nothing: the converter
// cannot go on, and the sound is treated as ended instead of spinning.
static const int kMaxIdlePasses = 3;

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
    // A stream whose set-up failed half way has nothing to refill with.
    if (!m_soundBuffer || !m_convBuffer || !m_srcChunk || !m_file || !m_decoder || m_bufferBytes == 0)
        return 1;

    const unsigned int size = m_bufferBytes;
    const unsigned int cursor = m_writeCursor;
    unsigned int count = target >= cursor ? target - cursor + 1 : target + size - cursor;
    unsigned int need = minimum >= cursor ? minimum - cursor + 1 : minimum + size - cursor;
    if (count > m_convBufferSize)
        count = m_convBufferSize;
    if (need > count)
        need = count;
    unsigned int room = count;
    unsigned int written = 0;
    const BYTE silence = SilenceByte(m_dstFormat);
    HMMIO file = static_cast<HMMIO>(m_file);
    HACMSTREAM stream = static_cast<HACMSTREAM>(m_decoder);

    if (m_streamState == 3) {
        memset(m_convBuffer, silence, count);
        m_streamState = 4;
        m_endHalf = m_refillHalf;
        written = count;
        room = 0;
    }

    int idlePasses = 0;
    while (written < need) {
        unsigned int n = m_srcChunkSize;
        unsigned int left = m_srcRead < m_dataSize ? m_dataSize - m_srcRead : 0;
        if (n > left)
            n = left;
        if (left == 0 && m_streamState == 0)
            m_streamState = 1;

        const bool fromFile = m_streamState == 0;
        if (fromFile) {
            LONG got = n ? mmioRead(file, reinterpret_cast<HPSTR>(m_srcChunk), (LONG)n) : 0;
            if (got < 0) {
                DebugPrint("CDSBuffer::StreamUpdateWav ReadError\n");
                return 1;
            }
            if (got == 0 || (unsigned int)got < n)
                m_streamState = 1;
            m_srcRead += (unsigned int)got;
            n = (unsigned int)got;
        } else {
            // Silence in the source's own terms: an 8-bit PCM source may convert to 16 bits.
            const bool eightBitSource =
                m_srcFormat && m_srcFormat->wFormatTag == WAVE_FORMAT_PCM && m_srcFormat->wBitsPerSample == 8;
            memset(m_srcChunk, eightBitSource ? 0x80 : silence, m_srcChunkSize);
            n = m_srcChunkSize;
        }

        DWORD used = 0;
        DWORD out = 0;
        if (n > 0) {
            ACMSTREAMHEADER header;
            memset(&header, 0, sizeof(header));
            header.cbStruct = sizeof(header);
            header.pbSrc = m_srcChunk;
            header.cbSrcLength = n;
            header.pbDst = m_convBuffer + written;
            header.cbDstLength = room;
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
            out = header.cbDstLengthUsed < room ? header.cbDstLengthUsed : room;
        }

        m_srcConsumed += used;
        bool noRoom = false;
        if (fromFile && n > used) {
            // (A short read has already set state 1: the file ends here.)
            if (used == 0 && out == 0 && (m_srcRead >= m_dataSize || m_streamState != 0)) {
                // The end of the data does not convert (a tail shorter than one block): count it
                // as consumed instead of reading it again for ever.
                m_srcConsumed += n;
            } else {
                // Given back, to be read again; with nothing converted, the room left is too
                // small for one block and this refill ends here.
                noRoom = used == 0 && out == 0;
                DWORD rest = n - used;
                m_srcRead -= rest;
                mmioSeek(file, -(LONG)rest, SEEK_CUR);
            }
        }
        if (noRoom)
            break;  // what was given back is read again by the next refill

        m_produced += out;
        room -= out;
        written += out;
        idlePasses = out ? 0 : idlePasses + 1;
        const bool stuck = idlePasses >= kMaxIdlePasses;

        if (stuck || (!m_loop && m_produced >= m_decodedSize)) {
            unsigned int over = m_produced >= m_decodedSize ? m_produced - m_decodedSize : 0;
            if (m_loop)
                over = 0;
            if (over > written) {
                DebugPrint(KTB_OVERRUN_WAV, (int)over, (int)room);
                over = 0;
            }
            memset(m_convBuffer + written - over, silence, room + over);
            written = count;
            room = 0;
            m_streamState = 3;
        }

        if (m_srcConsumed >= m_dataSize) {
            if (m_loop) {
                mmioSeek(file, (LONG)m_dataOffset, SEEK_SET);
                m_srcRead = 0;
                m_srcConsumed = 0;
                m_produced = 0;
                m_streamState = 0;
            } else if (m_streamState != 3) {
                // The whole source is converted: the sound ends here, even when the converter's
                // size estimate promised more.
                memset(m_convBuffer + written, silence, room);
                written = count;
                room = 0;
                m_streamState = 3;
            }
        }
    }

    return CopyRefill(count, written, 0);
}

int CDSBuffer::StreamUpdateResetWav()
{
    if (!m_streaming || !m_soundBuffer)
        return 0;

    if (m_file)
        mmioSeek(static_cast<HMMIO>(m_file), (LONG)m_dataOffset, SEEK_SET);
    m_srcRead = 0;
    m_srcConsumed = 0;
    m_produced = 0;
    m_streamState = 0;
    m_writeCursor = 0;
    m_refillHalf = 0;
    m_endHalf = 0;

    DWORD status = 0;
    const bool wasPlaying = SUCCEEDED(m_soundBuffer->GetStatus(&status)) && (status & DSBSTATUS_PLAYING);
    if (wasPlaying)
        m_soundBuffer->Stop();
    m_soundBuffer->SetCurrentPosition(0);

    if (m_decoder) {
        acmStreamClose(static_cast<HACMSTREAM>(m_decoder), 0);
        m_decoder = nullptr;
    }
    HACMSTREAM stream = nullptr;
    if (!m_file || !m_srcFormat ||
        acmStreamOpen(&stream, nullptr, m_srcFormat, &m_dstFormat, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME) !=
            MMSYSERR_NOERROR) {
        if (m_file) {
            mmioClose(static_cast<HMMIO>(m_file), 0);
            m_file = nullptr;
        }
        delete[] reinterpret_cast<BYTE*>(m_srcFormat);
        m_srcFormat = nullptr;
        DebugPrint("CDSBuffer::StreamUpdateResetWav ACM OPEN ERROR\n");
        return 1;
    }
    m_decoder = stream;

    if (StreamUpdateWav(m_bufferBytes - 1, m_bufferBytes * 3 / 4) != 0) {
        DebugPrint("CDSBuffer::StreamUpdateResetWav StreamUpdateError\n");
        return 1;
    }
    m_refillHalf = 0;
    if (wasPlaying && m_soundBuffer->Play(0, 0, DSBPLAY_LOOPING) != DS_OK)
        return 1;
    return 0;
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
