// The program's one DirectSound device with its silent buffer and the list of every loaded sound.
#pragma once
#include <windows.h>
#include <mmsystem.h>
#include <dsound.h>

class CDSBuffer;
struct KeptSounds;

struct CDSBufferNode {
    CDSBuffer* buffer;
    CDSBufferNode* previous;
    CDSBufferNode* next;
    int index;
};

class CDSBufferList {
public:
    CDSBufferList();
    ~CDSBufferList();
    void AddTail(CDSBuffer* buffer);
    void RemoveAll();  // destroys every node and its sound, tail first

    CDSBufferNode* m_head;
    CDSBufferNode* m_tail;
    int m_count;
};

class CDSound {
public:
    CDSound();
    ~CDSound();

    int Init(HWND window, int highQuality);
    // Sets the device up without DirectSound, for programs that mix the sounds themselves: every
    // buffer it makes keeps its decoded PCM in memory (CDSBuffer::m_pcm). Returns 0.
    int InitPcmInMemory();
    // A new sound for this device (not yet listed or loaded).
    CDSBuffer* NewBuffer();
    int CreateSilentBuffer(int seconds);
    int PlaySilentBuffer();
    int StopSilentBuffer();
    int Compact();
    int Term();

    // Sounds kept across a reload (sound/SoundReuse.cpp). KeepBuffersForReload stops every listed
    // sound and moves it out of the list into a pool of kept sounds. TakeKeptBuffer hands back the
    // kept sound of path (compared without regard to case) when IsKeptSoundCurrent says so, reset
    // as after a fresh load and named path, but not appended; otherwise null, and a stale kept sound
    // of that path is destroyed at once. DropKeptBuffers destroys the kept sounds nobody took, last
    // kept first, writes the line "ReloadSounds kept=K loaded=L freed=F" and returns F.
    void KeepBuffersForReload();
    CDSBuffer* TakeKeptBuffer(const char* path);
    int DropKeptBuffers();

    IDirectSound* GetDirectSound() const { return m_directSound; }
    CDSBufferList& GetList() { return m_list; }

    HWND m_window;
    IDirectSound* m_directSound;
    IDirectSoundBuffer* m_primaryBuffer;
    IDirectSoundBuffer* m_silentBuffer;
    WAVEFORMATEX m_primaryFormat;
    int m_highQuality;
    CDSBufferList m_list;
    int m_pcmInMemory;
    KeptSounds* m_kept = nullptr;  // the pool while a reload runs, else null
};

// Test seam: the call that creates the DirectSound object (DirectSoundCreate unless replaced);
// null restores DirectSoundCreate.
typedef HRESULT(WINAPI* DirectSoundCreateFunc)(LPCGUID device, LPDIRECTSOUND* object, LPUNKNOWN outer);
void SetDirectSoundCreateForTest(DirectSoundCreateFunc create);

// Walks every buffer of the device's list from the head: for (CDSBufferNode* n = ...; n; n = n->next).
