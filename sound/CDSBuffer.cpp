// CDSBuffer: the object itself, buffer creation and playback control.
#include "sound/CDSBuffer.h"

#include <stdio.h>
#include <string.h>

#include <new>

#include "sound/DebugPrint.h"
#include "sound/XaDecoder.h"

CDSBuffer::CDSBuffer(IDirectSound* device, int keepPcm)
    : m_soundBuffer(nullptr),
      m_device(device),
      m_ownerTag(0),
      m_pauseFlag(0),
      m_streamThreshold(20),
      m_lengthSeconds(0),
      m_streaming(0),
      m_loop(0),
      m_srcChunk(nullptr),
      m_srcChunkSize(0),
      m_srcRead(0),
      m_srcConsumed(0),
      m_convBuffer(nullptr),
      m_convBufferSize(0),
      m_produced(0),
      m_refillHalf(0),
      m_writeCursor(0),
      m_bufferBytes(0),
      m_streamState(0),
      m_endHalf(0),
      m_file(nullptr),
      m_decoder(nullptr),
      m_srcFormat(nullptr),
      m_dataSize(0),
      m_dataOffset(0),
      m_decodedSize(0),
      m_kind(0),
      m_fadeCounter(-1),
      m_fadeLength(5),
      m_fileMissing(false),
      m_keepPcm(keepPcm),
      m_pcm(nullptr)
{
    m_fileName[0] = '\0';
    memset(&m_dstFormat, 0, sizeof(m_dstFormat));
    memset(m_xaHeader, 0, sizeof(m_xaHeader));
}

CDSBuffer::~CDSBuffer() { Term(); }

void CDSBuffer::SetFileName(const char* path)
{
    if (!path) {
        m_fileName[0] = '\0';
        return;
    }
    size_t n = strlen(path);
    if (n > sizeof(m_fileName) - 1)
        n = sizeof(m_fileName) - 1;
    memcpy(m_fileName, path, n);
    m_fileName[n] = '\0';
}

int CDSBuffer::Term()
{
    if (m_soundBuffer) {
        m_soundBuffer->Stop();
        m_soundBuffer->Release();
        m_soundBuffer = nullptr;
    }
    FreeSrcChunk();
    FreeSrcFormat();
    delete[] m_convBuffer;
    m_convBuffer = nullptr;
    delete[] m_pcm;
    m_pcm = nullptr;

    if (m_file) {
        if (m_kind == 1)
            mmioClose(static_cast<HMMIO>(m_file), 0);
        else if (m_kind == 2)
            fclose(static_cast<FILE*>(m_file));
        else if (m_kind == 0)
            DebugPrint("CDSBuffer::Term hFile Error?\n");
        m_file = nullptr;
    }
    if (m_decoder) {
        if (m_kind == 1)
            acmStreamClose(static_cast<HACMSTREAM>(m_decoder), 0);
        else if (m_kind == 2)
            GetXaDecoder().close(static_cast<HXASTREAM>(m_decoder));
        else if (m_kind == 0)
            DebugPrint("CDSBuffer::Term hAcm Error?\n");
        m_decoder = nullptr;
    }
    return 0;
}

namespace {

// The size of a static sound buffer for `bytes` of PCM: never shorter than 150 ms, a whole number
// of blocks. (64-bit arithmetic: a long sound must not wrap round into the short-sound case.)
unsigned int StoreBytes(unsigned int bytes, const WAVEFORMATEX& format)
{
    unsigned long long size = bytes;
    const unsigned long long avg = format.nAvgBytesPerSec;
    if (avg != 0 && size * 1000 / avg < 150)
        size = avg * 150 / 1000;
    const unsigned long long block = format.nBlockAlign;
    if (block != 0 && size % block != 0) {
        size += block - size % block;
        if (size > 0xFFFFFFFFull)
            size -= block;
    }
    return (unsigned int)size;
}

// A path that the multimedia file functions open as written: rooted, with a drive, or starting
// with ".\" or "..\". Any other name, one with folders in it (sounds\kick.wav) as well, they
// also look for in the program's folder, the system folders and PATH.
bool PathIsExplicit(const char* path)
{
    const char c = path[0];
    if (c == '\\' || c == '/')
        return true;
    if (((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) && path[1] == ':')
        return true;
    if (c != '.')
        return false;
    if (path[1] == '\\' || path[1] == '/')
        return true;
    return path[1] == '.' && (path[2] == '\\' || path[2] == '/');
}

}  // namespace

int CDSBuffer::CreateDSB(unsigned int bytes)
{
    if (!m_device) {
        DebugPrint("CDSBuffer::CreateDSB DSobj==NULL\n");
        return 1;
    }
    if (m_soundBuffer) {  // a buffer of an earlier creation is replaced, not leaked
        m_soundBuffer->Release();
        m_soundBuffer = nullptr;
    }
    m_bufferBytes = StoreBytes(bytes, m_dstFormat);

    WAVEFORMATEX format = m_dstFormat;
    DSBUFFERDESC desc;
    memset(&desc, 0, sizeof(desc));
    desc.dwSize = sizeof(desc);
    desc.dwFlags = DSBCAPS_STATIC | DSBCAPS_LOCSOFTWARE | DSBCAPS_CTRLPAN | DSBCAPS_CTRLVOLUME | DSBCAPS_GLOBALFOCUS |
                   DSBCAPS_GETCURRENTPOSITION2;
    desc.dwBufferBytes = m_bufferBytes;
    desc.lpwfxFormat = &format;

    IDirectSoundBuffer* buffer = nullptr;
    HRESULT hr = m_device->CreateSoundBuffer(&desc, &buffer, nullptr);
    if (hr != DS_OK) {
        if (SUCCEEDED(hr) && buffer)  // a success code other than DS_OK: drop that buffer before retrying
            buffer->Release();
        buffer = nullptr;
        DebugPrintHResult(hr);
        DebugPrint("CDSBuffer::CreateDSB 1stCreateFailed\n");
        desc.dwFlags = DSBCAPS_CTRLVOLUME | DSBCAPS_GETCURRENTPOSITION2;
        hr = m_device->CreateSoundBuffer(&desc, &buffer, nullptr);
        if (FAILED(hr) || !buffer) {
            DebugPrintHResult(hr);
            DebugPrint("CDSBuffer::CreateDSB CreateDSBError\n");
            return 1;
        }
    }
    m_soundBuffer = buffer;

    DSBCAPS caps;
    memset(&caps, 0, sizeof(caps));
    caps.dwSize = sizeof(caps);
    if (FAILED(m_soundBuffer->GetCaps(&caps))) {
        DebugPrint("CDSBuffer::CreateDSB GetCapsError\n");
        return 1;
    }
    m_bufferBytes = caps.dwBufferBytes;
    return 0;
}

int CDSBuffer::CreateStore(unsigned int bytes)
{
    if (!m_keepPcm)
        return CreateDSB(bytes);
    delete[] m_pcm;
    m_pcm = nullptr;
    m_bufferBytes = StoreBytes(bytes, m_dstFormat);
    // DirectSound's largest buffer is the largest store: a bigger sound fails as it would there.
    if (m_bufferBytes <= DSBSIZE_MAX)
        m_pcm = new (std::nothrow) BYTE[m_bufferBytes ? m_bufferBytes : 1];
    if (!m_pcm) {
        DebugPrint("CDSBuffer::CreateDSB CreateDSBError\n");
        return 1;
    }
    return 0;
}

HRESULT CDSBuffer::LockStore(void** region1, DWORD* bytes1, void** region2, DWORD* bytes2)
{
    if (!m_keepPcm)
        return LockWhole(region1, bytes1, region2, bytes2);
    *region1 = m_pcm;
    *bytes1 = m_bufferBytes;
    if (region2)
        *region2 = nullptr;
    if (bytes2)
        *bytes2 = 0;
    return DS_OK;
}

HRESULT CDSBuffer::UnlockStore(void* region1, DWORD bytes1, void* region2, DWORD bytes2)
{
    return m_keepPcm ? DS_OK : m_soundBuffer->Unlock(region1, bytes1, region2, bytes2);
}

int CDSBuffer::Load(int allowStream)
{
    if (LoadXA(allowStream) == 0)
        return 0;
    // A file that does not exist at an explicit path fails the WAV loader's open too: report that
    // without a second search for it (each costs a directory scan under Wine's case-insensitive
    // file names). Any other name the WAV loader also looks for in the program's folder, the
    // system folders and PATH, so it gets that search.
    if (m_fileMissing && PathIsExplicit(m_fileName)) {
        DebugPrint("CDSBuffer::LoadWav %s Open Error\n", m_fileName);
        return 1;
    }
    return LoadWav(allowStream);
}

int CDSBuffer::Play(int loop, int owner)
{
    if (!m_soundBuffer)
        return 1;
    m_ownerTag = owner;
    m_loop = loop;
    m_fadeCounter = -1;
    if (FAILED(m_soundBuffer->SetVolume(0)))
        return 1;
    DWORD flags = (m_streaming || loop == 1) ? DSBPLAY_LOOPING : 0;
    if (m_soundBuffer->Play(0, 0, flags) != DS_OK)
        return 1;
    return 0;
}

int CDSBuffer::Stop()
{
    if (!m_soundBuffer)
        return 1;
    return m_soundBuffer->Stop() == DS_OK ? 0 : 1;
}

int CDSBuffer::Rewind()
{
    if (!m_soundBuffer)
        return 1;
    if (m_streaming) {
        if (m_kind == 2)
            return StreamUpdateResetXA();
        if (m_kind == 1)
            return StreamUpdateResetWav();
        return 0;
    }
    if (m_soundBuffer->Stop() != DS_OK)
        return 1;
    if (m_soundBuffer->SetCurrentPosition(0) != DS_OK)
        return 1;
    return 0;
}

int CDSBuffer::FadeOut()
{
    m_fadeCounter = m_fadeLength;
    return m_soundBuffer ? 0 : 1;
}

int CDSBuffer::UpdateFade()
{
    if (m_fadeCounter < 0)
        return 0;
    if (!m_soundBuffer)
        return 1;
    LONG volume = m_fadeLength > 0 ? (LONG)((m_fadeCounter - m_fadeLength) * 10000 / m_fadeLength) : DSBVOLUME_MIN;
    if (FAILED(m_soundBuffer->SetVolume(volume)))
        return 1;
    m_fadeCounter--;
    if (m_fadeCounter < 0) {
        if (FAILED(m_soundBuffer->Stop()))
            return 1;
    }
    return 0;
}

int CDSBuffer::IsPlaying()
{
    if (!m_soundBuffer)
        return 0;
    DWORD status = 0;
    if (FAILED(m_soundBuffer->GetStatus(&status)))
        return 0;
    return (status & DSBSTATUS_PLAYING) ? 1 : 0;
}

int CDSBuffer::Pause()
{
    m_pauseFlag = IsPlaying();
    return Stop();
}

void CDSBuffer::Resume()
{
    if (m_pauseFlag && m_fadeCounter < 0)
        Play(0, m_ownerTag);
    m_pauseFlag = 0;
}
