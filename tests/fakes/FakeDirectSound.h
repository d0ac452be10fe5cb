// A DirectSound device and its sound buffers as plain C++ test doubles.
// They record every call with its arguments, keep real memory behind Lock, serve a play
// cursor and status that the test sets, and fail on request.
//
//   FakeDirectSound ds;                          // test-owned; Release never deletes it
//   CDSBuffer sound(&ds);                        // CDSBuffer uses the device as it is
//   FakeDirectSoundBuffer* b = ds.LastBuffer();  // the buffer the code created
//   b->SetPlayCursor(1000); b->Advance(4096);    // move the play position, collect played bytes
//
// For CDSound::Init, InstallFakeDirectSoundCreate(&ds) makes DirectSoundCreate hand out `ds`.
#pragma once
#include <windows.h>
#include <mmsystem.h>
#include <dsound.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class FakeDirectSound;

struct FakeLockRecord {
    DWORD offset;
    DWORD bytes;
    DWORD flags;
    DWORD bytes1;  // size of the regions handed out
    DWORD bytes2;
};

class FakeDirectSoundBuffer : public IDirectSoundBuffer {
public:
    FakeDirectSoundBuffer(const DSBUFFERDESC& desc);
    virtual ~FakeDirectSoundBuffer() = default;

    // IUnknown
    STDMETHOD(QueryInterface)(REFIID riid, void** object) override;
    STDMETHOD_(ULONG, AddRef)() override;
    STDMETHOD_(ULONG, Release)() override;
    // IDirectSoundBuffer
    STDMETHOD(GetCaps)(LPDSBCAPS caps) override;
    STDMETHOD(GetCurrentPosition)(LPDWORD play, LPDWORD write) override;
    STDMETHOD(GetFormat)(LPWAVEFORMATEX format, DWORD allocated, LPDWORD written) override;
    STDMETHOD(GetVolume)(LPLONG volume) override;
    STDMETHOD(GetPan)(LPLONG pan) override;
    STDMETHOD(GetFrequency)(LPDWORD frequency) override;
    STDMETHOD(GetStatus)(LPDWORD status) override;
    STDMETHOD(Initialize)(LPDIRECTSOUND device, LPCDSBUFFERDESC desc) override;
    STDMETHOD(Lock)(DWORD offset, DWORD bytes, LPVOID* ptr1, LPDWORD bytes1, LPVOID* ptr2, LPDWORD bytes2,
                    DWORD flags) override;
    STDMETHOD(Play)(DWORD reserved, DWORD priority, DWORD flags) override;
    STDMETHOD(SetCurrentPosition)(DWORD position) override;
    STDMETHOD(SetFormat)(LPCWAVEFORMATEX format) override;
    STDMETHOD(SetVolume)(LONG volume) override;
    STDMETHOD(SetPan)(LONG pan) override;
    STDMETHOD(SetFrequency)(DWORD frequency) override;
    STDMETHOD(Stop)() override;
    STDMETHOD(Unlock)(LPVOID ptr1, DWORD bytes1, LPVOID ptr2, DWORD bytes2) override;
    STDMETHOD(Restore)() override;

    // --- what the code asked for
    DWORD flags;
    DWORD bytes;  // buffer size (0 for a primary buffer)
    bool primary;
    WAVEFORMATEX format;  // creation format, or the last SetFormat of a primary buffer
    bool formatSet;
    std::vector<BYTE> memory;

    // --- state
    LONG refCount;
    bool playing;
    DWORD playFlags;  // flags of the last Play
    DWORD playCursor;
    DWORD writeLead;  // the write cursor is this far ahead of the play cursor
    LONG volume;
    bool locked;

    // --- records
    std::vector<std::string> calls;  // "Play 0 0 1", "Stop", "SetVolume -2000", "Lock 0 100 2", ...
    std::vector<LONG> volumes;
    std::vector<FakeLockRecord> locks;
    int playCalls;
    int stopCalls;
    int restoreCalls;
    int badUnlocks;  // Unlock calls whose pointers or sizes do not match the last Lock

    // --- failures on request
    int bufferLostLocks;  // the next N Lock calls return DSERR_BUFFERLOST
    HRESULT lockResult;   // any other forced Lock result (after the lost ones)
    HRESULT unlockResult;
    HRESULT playResult;
    HRESULT stopResult;
    HRESULT setVolumeResult;
    HRESULT getCapsResult;
    HRESULT getPositionResult;
    HRESULT getStatusResult;
    HRESULT setPositionResult;
    HRESULT setFormatResult;
    HRESULT restoreResult;
    DWORD reportedBytes;  // GetCaps size when non-zero (DirectSound may report another size)

    // --- helpers for tests
    void SetPlayCursor(DWORD position) { playCursor = bytes ? position % bytes : 0; }
    // Plays `count` bytes from the play cursor: returns them and moves the cursor (wrapping).
    // A buffer that does not loop stops at its end.
    std::vector<BYTE> Advance(DWORD count);
    // Copy of `count` bytes from `offset`, wrapping round the end.
    std::vector<BYTE> Read(DWORD offset, DWORD count) const;
    bool Released() const { return refCount <= 0; }
    int CountCalls(const std::string& prefix) const;

private:
    void* m_lock1;
    void* m_lock2;
    DWORD m_lockBytes1;
    DWORD m_lockBytes2;
};

class FakeDirectSound : public IDirectSound {
public:
    FakeDirectSound();
    virtual ~FakeDirectSound() = default;

    // IUnknown
    STDMETHOD(QueryInterface)(REFIID riid, void** object) override;
    STDMETHOD_(ULONG, AddRef)() override;
    STDMETHOD_(ULONG, Release)() override;
    // IDirectSound
    STDMETHOD(CreateSoundBuffer)(LPCDSBUFFERDESC desc, LPLPDIRECTSOUNDBUFFER buffer, IUnknown* outer) override;
    STDMETHOD(GetCaps)(LPDSCAPS caps) override;
    STDMETHOD(DuplicateSoundBuffer)(LPDIRECTSOUNDBUFFER original, LPLPDIRECTSOUNDBUFFER duplicate) override;
    STDMETHOD(SetCooperativeLevel)(HWND window, DWORD level) override;
    STDMETHOD(Compact)() override;
    STDMETHOD(GetSpeakerConfig)(LPDWORD config) override;
    STDMETHOD(SetSpeakerConfig)(DWORD config) override;
    STDMETHOD(Initialize)(LPCGUID guid) override;

    // --- records
    std::vector<DSBUFFERDESC> requests;     // every CreateSoundBuffer description (format pointer cleared)
    std::vector<WAVEFORMATEX> requestFormats;  // its format (zeroed when none)
    std::vector<std::unique_ptr<FakeDirectSoundBuffer>> buffers;  // every buffer created, kept after Release
    LONG refCount;
    HWND cooperativeWindow;
    DWORD cooperativeLevel;
    int compactCalls;

    // --- failures on request
    HRESULT createObjectResult;  // what the installed DirectSoundCreate returns
    int failCreateBuffers;       // the next N CreateSoundBuffer calls fail with createBufferFailure
    HRESULT createBufferFailure;
    int failPrimaryCreate;       // fail the primary buffer creation (DSERR_INVALIDPARAM)
    HRESULT cooperativeResult;
    HRESULT compactResult;
    DWORD maxBufferBytes;        // larger requests fail with DSERR_OUTOFMEMORY, as a real device would
    HRESULT nextBufferSetFormatResult;  // given to every buffer created afterwards
    // Called with every buffer right after its creation (to set failures on new buffers).
    std::function<void(FakeDirectSoundBuffer&)> onCreate;

    FakeDirectSoundBuffer* LastBuffer() { return buffers.empty() ? nullptr : buffers.back().get(); }
    // Buffers that are not primary, in creation order.
    std::vector<FakeDirectSoundBuffer*> SecondaryBuffers();
    int LiveBuffers() const;  // created and not released
};

// Makes the DirectSoundCreate used by CDSound::Init hand out `device` (null restores the real call).
void InstallFakeDirectSoundCreate(FakeDirectSound* device);
