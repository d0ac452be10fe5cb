#include "fakes/FakeDirectSound.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "sound/CDSound.h"

static std::string Format(const char* fmt, ...)
{
    char text[200];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    return text;
}

// ---------------------------------------------------------------------------------------------
// FakeDirectSoundBuffer

FakeDirectSoundBuffer::FakeDirectSoundBuffer(const DSBUFFERDESC& desc)
    : flags(desc.dwFlags),
      bytes(desc.dwBufferBytes),
      primary((desc.dwFlags & DSBCAPS_PRIMARYBUFFER) != 0),
      formatSet(false),
      refCount(1),
      playing(false),
      playFlags(0),
      playCursor(0),
      writeLead(0),
      volume(0),
      locked(false),
      playCalls(0),
      stopCalls(0),
      restoreCalls(0),
      badUnlocks(0),
      bufferLostLocks(0),
      lockResult(DS_OK),
      unlockResult(DS_OK),
      playResult(DS_OK),
      stopResult(DS_OK),
      setVolumeResult(DS_OK),
      getCapsResult(DS_OK),
      getPositionResult(DS_OK),
      getStatusResult(DS_OK),
      setPositionResult(DS_OK),
      setFormatResult(DS_OK),
      restoreResult(DS_OK),
      reportedBytes(0),
      m_lock1(nullptr),
      m_lock2(nullptr),
      m_lockBytes1(0),
      m_lockBytes2(0)
{
    memset(&format, 0, sizeof(format));
    if (desc.lpwfxFormat) {
        format = *desc.lpwfxFormat;
        formatSet = true;
    }
    if (!primary) {
        // Fresh DirectSound memory is not guaranteed to be silent: fill it with a pattern that
        // a test can tell from sound and from silence.
        memory.assign(bytes, 0xA5);
    }
}

HRESULT FakeDirectSoundBuffer::QueryInterface(REFIID, void** object)
{
    if (object)
        *object = nullptr;
    return E_NOINTERFACE;
}

ULONG FakeDirectSoundBuffer::AddRef() { return (ULONG)++refCount; }

ULONG FakeDirectSoundBuffer::Release()
{
    calls.push_back("Release");
    return (ULONG)(refCount > 0 ? --refCount : 0);
}

HRESULT FakeDirectSoundBuffer::GetCaps(LPDSBCAPS caps)
{
    calls.push_back("GetCaps");
    if (FAILED(getCapsResult))
        return getCapsResult;
    if (!caps || caps->dwSize < sizeof(DSBCAPS))
        return DSERR_INVALIDPARAM;
    caps->dwFlags = flags;
    caps->dwBufferBytes = reportedBytes ? reportedBytes : bytes;
    caps->dwUnlockTransferRate = 0;
    caps->dwPlayCpuOverhead = 0;
    return DS_OK;
}

HRESULT FakeDirectSoundBuffer::GetCurrentPosition(LPDWORD play, LPDWORD write)
{
    calls.push_back("GetCurrentPosition");
    if (FAILED(getPositionResult))
        return getPositionResult;
    if (play)
        *play = playCursor;
    if (write)
        *write = bytes ? (playCursor + writeLead) % bytes : 0;
    return DS_OK;
}

HRESULT FakeDirectSoundBuffer::GetFormat(LPWAVEFORMATEX out, DWORD allocated, LPDWORD written)
{
    if (out && allocated >= sizeof(WAVEFORMATEX))
        *out = format;
    if (written)
        *written = sizeof(WAVEFORMATEX);
    return DS_OK;
}

HRESULT FakeDirectSoundBuffer::GetVolume(LPLONG out)
{
    if (out)
        *out = volume;
    return DS_OK;
}

HRESULT FakeDirectSoundBuffer::GetPan(LPLONG pan)
{
    if (pan)
        *pan = 0;
    return DS_OK;
}

HRESULT FakeDirectSoundBuffer::GetFrequency(LPDWORD frequency)
{
    if (frequency)
        *frequency = format.nSamplesPerSec;
    return DS_OK;
}

HRESULT FakeDirectSoundBuffer::GetStatus(LPDWORD status)
{
    calls.push_back("GetStatus");
    if (FAILED(getStatusResult))
        return getStatusResult;
    if (status)
        *status = playing ? (DSBSTATUS_PLAYING | ((playFlags & DSBPLAY_LOOPING) ? DSBSTATUS_LOOPING : 0)) : 0;
    return DS_OK;
}

HRESULT FakeDirectSoundBuffer::Initialize(LPDIRECTSOUND, LPCDSBUFFERDESC) { return DSERR_ALREADYINITIALIZED; }

HRESULT FakeDirectSoundBuffer::Lock(DWORD offset, DWORD count, LPVOID* ptr1, LPDWORD bytes1, LPVOID* ptr2,
                                    LPDWORD bytes2, DWORD lockFlags)
{
    calls.push_back(Format("Lock %lu %lu %lu", (unsigned long)offset, (unsigned long)count, (unsigned long)lockFlags));
    if (bufferLostLocks > 0) {
        bufferLostLocks--;
        return DSERR_BUFFERLOST;
    }
    if (FAILED(lockResult))
        return lockResult;
    if (primary || !ptr1 || !bytes1)
        return DSERR_INVALIDPARAM;
    if (lockFlags & DSBLOCK_FROMWRITECURSOR)
        offset = (playCursor + writeLead) % bytes;
    if (lockFlags & DSBLOCK_ENTIREBUFFER) {
        offset = 0;
        count = bytes;
    }
    if (offset >= bytes || count == 0 || count > bytes)
        return DSERR_INVALIDPARAM;
    DWORD first = count < bytes - offset ? count : bytes - offset;
    DWORD second = count - first;
    *ptr1 = memory.data() + offset;
    *bytes1 = first;
    if (ptr2)
        *ptr2 = second ? memory.data() : nullptr;
    if (bytes2)
        *bytes2 = ptr2 ? second : 0;
    if (!ptr2)
        second = 0;
    m_lock1 = *ptr1;
    m_lockBytes1 = first;
    m_lock2 = second ? memory.data() : nullptr;
    m_lockBytes2 = second;
    locked = true;
    locks.push_back({offset, count, lockFlags, first, second});
    return DS_OK;
}

HRESULT FakeDirectSoundBuffer::Play(DWORD reserved, DWORD priority, DWORD playFlagsIn)
{
    calls.push_back(Format("Play %lu %lu %lu", (unsigned long)reserved, (unsigned long)priority,
                           (unsigned long)playFlagsIn));
    playCalls++;
    if (FAILED(playResult))
        return playResult;
    playing = true;
    playFlags = playFlagsIn;
    return DS_OK;
}

HRESULT FakeDirectSoundBuffer::SetCurrentPosition(DWORD position)
{
    calls.push_back(Format("SetCurrentPosition %lu", (unsigned long)position));
    if (FAILED(setPositionResult))
        return setPositionResult;
    SetPlayCursor(position);
    return DS_OK;
}

HRESULT FakeDirectSoundBuffer::SetFormat(LPCWAVEFORMATEX in)
{
    calls.push_back("SetFormat");
    if (FAILED(setFormatResult))
        return setFormatResult;
    if (!in)
        return DSERR_INVALIDPARAM;
    format = *in;
    formatSet = true;
    return DS_OK;
}

HRESULT FakeDirectSoundBuffer::SetVolume(LONG volumeIn)
{
    calls.push_back(Format("SetVolume %ld", (long)volumeIn));
    if (FAILED(setVolumeResult))
        return setVolumeResult;
    if (volumeIn > DSBVOLUME_MAX || volumeIn < DSBVOLUME_MIN)
        return DSERR_INVALIDPARAM;
    volume = volumeIn;
    volumes.push_back(volumeIn);
    return DS_OK;
}

HRESULT FakeDirectSoundBuffer::SetPan(LONG) { return DS_OK; }

HRESULT FakeDirectSoundBuffer::SetFrequency(DWORD) { return DS_OK; }

HRESULT FakeDirectSoundBuffer::Stop()
{
    calls.push_back("Stop");
    stopCalls++;
    if (FAILED(stopResult))
        return stopResult;
    playing = false;
    return DS_OK;
}

HRESULT FakeDirectSoundBuffer::Unlock(LPVOID ptr1, DWORD count1, LPVOID ptr2, DWORD count2)
{
    calls.push_back("Unlock");
    if (!locked || ptr1 != m_lock1 || count1 > m_lockBytes1 || (count2 && ptr2 != m_lock2) || count2 > m_lockBytes2)
        badUnlocks++;
    locked = false;
    return unlockResult;
}

HRESULT FakeDirectSoundBuffer::Restore()
{
    calls.push_back("Restore");
    restoreCalls++;
    return restoreResult;
}

std::vector<BYTE> FakeDirectSoundBuffer::Read(DWORD offset, DWORD count) const
{
    std::vector<BYTE> out;
    out.reserve(count);
    for (DWORD i = 0; i < count && bytes; ++i)
        out.push_back(memory[(offset + i) % bytes]);
    return out;
}

std::vector<BYTE> FakeDirectSoundBuffer::Advance(DWORD count)
{
    std::vector<BYTE> out;
    if (!bytes || !playing)
        return out;
    if (!(playFlags & DSBPLAY_LOOPING) && count >= bytes - playCursor) {
        out = Read(playCursor, bytes - playCursor);
        playCursor = 0;
        playing = false;
        return out;
    }
    out = Read(playCursor, count);
    playCursor = (playCursor + count) % bytes;
    return out;
}

int FakeDirectSoundBuffer::CountCalls(const std::string& prefix) const
{
    int n = 0;
    for (const auto& call : calls)
        if (call.compare(0, prefix.size(), prefix) == 0)
            n++;
    return n;
}

// ---------------------------------------------------------------------------------------------
// FakeDirectSound

FakeDirectSound::FakeDirectSound()
    : refCount(1),
      cooperativeWindow(nullptr),
      cooperativeLevel(0),
      compactCalls(0),
      createObjectResult(DS_OK),
      failCreateBuffers(0),
      createBufferFailure(DSERR_INVALIDPARAM),
      failPrimaryCreate(0),
      cooperativeResult(DS_OK),
      compactResult(DS_OK),
      maxBufferBytes(64u * 1024 * 1024),
      nextBufferSetFormatResult(DS_OK)
{
}

HRESULT FakeDirectSound::QueryInterface(REFIID, void** object)
{
    if (object)
        *object = nullptr;
    return E_NOINTERFACE;
}

ULONG FakeDirectSound::AddRef() { return (ULONG)++refCount; }

ULONG FakeDirectSound::Release() { return (ULONG)(refCount > 0 ? --refCount : 0); }

HRESULT FakeDirectSound::CreateSoundBuffer(LPCDSBUFFERDESC desc, LPLPDIRECTSOUNDBUFFER out, IUnknown* outer)
{
    if (out)
        *out = nullptr;
    if (!desc || !out || outer)
        return DSERR_INVALIDPARAM;
    DSBUFFERDESC copy = *desc;
    WAVEFORMATEX format;
    memset(&format, 0, sizeof(format));
    if (desc->lpwfxFormat)
        format = *desc->lpwfxFormat;
    copy.lpwfxFormat = nullptr;
    requests.push_back(copy);
    requestFormats.push_back(format);

    const bool isPrimary = (desc->dwFlags & DSBCAPS_PRIMARYBUFFER) != 0;
    if (desc->dwSize != sizeof(DSBUFFERDESC) && desc->dwSize != sizeof(DSBUFFERDESC1))
        return DSERR_INVALIDPARAM;
    if (isPrimary && failPrimaryCreate)
        return DSERR_INVALIDPARAM;
    if (failCreateBuffers > 0) {
        failCreateBuffers--;
        return createBufferFailure;
    }
    if (!isPrimary) {
        if (!desc->lpwfxFormat || desc->dwBufferBytes < DSBSIZE_MIN)
            return DSERR_INVALIDPARAM;
        if (desc->dwBufferBytes > maxBufferBytes)
            return DSERR_OUTOFMEMORY;
        if (format.nBlockAlign == 0 || format.nChannels == 0 || format.nSamplesPerSec == 0)
            return DSERR_BADFORMAT;
    }
    buffers.emplace_back(new FakeDirectSoundBuffer(*desc));
    buffers.back()->setFormatResult = nextBufferSetFormatResult;
    if (onCreate)
        onCreate(*buffers.back());
    *out = buffers.back().get();
    return DS_OK;
}

HRESULT FakeDirectSound::GetCaps(LPDSCAPS) { return DSERR_UNSUPPORTED; }

HRESULT FakeDirectSound::DuplicateSoundBuffer(LPDIRECTSOUNDBUFFER, LPLPDIRECTSOUNDBUFFER) { return DSERR_UNSUPPORTED; }

HRESULT FakeDirectSound::SetCooperativeLevel(HWND window, DWORD level)
{
    cooperativeWindow = window;
    cooperativeLevel = level;
    return cooperativeResult;
}

HRESULT FakeDirectSound::Compact()
{
    compactCalls++;
    return compactResult;
}

HRESULT FakeDirectSound::GetSpeakerConfig(LPDWORD config)
{
    if (config)
        *config = 0;
    return DS_OK;
}

HRESULT FakeDirectSound::SetSpeakerConfig(DWORD) { return DS_OK; }

HRESULT FakeDirectSound::Initialize(LPCGUID) { return DSERR_ALREADYINITIALIZED; }

std::vector<FakeDirectSoundBuffer*> FakeDirectSound::SecondaryBuffers()
{
    std::vector<FakeDirectSoundBuffer*> out;
    for (auto& buffer : buffers)
        if (!buffer->primary)
            out.push_back(buffer.get());
    return out;
}

int FakeDirectSound::LiveBuffers() const
{
    int n = 0;
    for (const auto& buffer : buffers)
        if (!buffer->Released())
            n++;
    return n;
}

// ---------------------------------------------------------------------------------------------

static FakeDirectSound* g_installedFake = nullptr;

static HRESULT WINAPI FakeDirectSoundCreate(LPCGUID, LPDIRECTSOUND* object, LPUNKNOWN)
{
    if (object)
        *object = nullptr;
    if (!g_installedFake || !object)
        return DSERR_NODRIVER;
    if (FAILED(g_installedFake->createObjectResult))
        return g_installedFake->createObjectResult;
    g_installedFake->AddRef();
    *object = g_installedFake;
    return DS_OK;
}

void InstallFakeDirectSoundCreate(FakeDirectSound* device)
{
    g_installedFake = device;
    SetDirectSoundCreateForTest(device ? FakeDirectSoundCreate : nullptr);
}
