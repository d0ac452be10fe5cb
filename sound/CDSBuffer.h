// One sound: a file name, a DirectSound secondary buffer holding it as PCM, and while it
// streams, the open file and converter that keep feeding the buffer.
#pragma once
#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
#include <msacm.h>
#include <dsound.h>

#include "sound/SoundReuse.h"

class CDSBuffer {
public:
    // keepPcm 1: a static sound's PCM is kept in memory of this object instead of a DirectSound
    // buffer (no device needed; for programs that mix the sounds themselves). Such a sound
    // never streams and has no sound buffer to play.
    explicit CDSBuffer(IDirectSound* device, int keepPcm = 0);
    ~CDSBuffer();

    void SetFileName(const char* path);
    const char* GetFileName() const { return m_fileName; }

    int Term();

    // Loading: XA first, then RIFF WAVE.
    int Load(int allowStream);
    // Load, remembering what the file was when the load began (m_loadedFile; sound/SoundReuse.cpp).
    int LoadStamped(int allowStream);
    // A sound kept for a new chart: stopped, rewound, pause flag, fade, owner tag, loop and volume
    // as after a fresh load (sound/SoundReuse.cpp).
    void ResetForReuse();
    int LoadWav(int allowStream);
    int LoadXA(int allowStream);
    int CreateDSB(unsigned int bytes);

    // Playback control.
    int Play(int loop, int owner);
    int Stop();
    int Rewind();
    int FadeOut();
    int UpdateFade();
    int StreamPlay();
    int IsPlaying();
    int Pause();
    void Resume();
    void ClearPauseFlag() { m_pauseFlag = 0; }

    // Streaming refill.
    int StreamUpdateWav(unsigned int target, unsigned int minimum);
    int StreamUpdateResetWav();
    int StreamUpdateXA(unsigned int target, unsigned int minimum);
    int StreamUpdateResetXA();

private:
    // Pieces shared by the WAV (xa 0) and XA (xa 1) loads and refills.

    // One refill: the bytes it writes at the write cursor, the least it must produce, and how
    // much of the conversion buffer is filled and still free.
    struct RefillPass {
        unsigned int count;
        unsigned int need;
        unsigned int room;
        unsigned int written;
        int idlePasses;
    };
    bool CanRefill() const;
    RefillPass BeginRefill(unsigned int target, unsigned int minimum);
    int ReadSourceChunk(unsigned int& n, int xa);
    bool GiveBackUnused(unsigned int n, DWORD used, DWORD out, bool fromFile, int xa);
    void AddOutput(RefillPass& pass, DWORD out);
    void EndIfDone(RefillPass& pass, bool stuck, int xa);
    void EndSound(RefillPass& pass, unsigned int over);
    void RewindSource(int xa);
    bool ReopenXaDecoder();
    bool RestartStream(int xa);
    int StartStream(int xa);
    int FillStream(int xa, const char* caller, bool wasPlaying);
    HRESULT LockWhole(void** region1, DWORD* bytes1, void** region2, DWORD* bytes2);
    // The home of a static sound's PCM: the DirectSound buffer, or memory (keepPcm). The loads
    // create it, lock it and decode straight into it, then unlock it.
    int CreateStore(unsigned int bytes);
    HRESULT LockStore(void** region1, DWORD* bytes1, void** region2, DWORD* bytes2);
    HRESULT UnlockStore(void* region1, DWORD bytes1, void* region2, DWORD bytes2);
    void CloseSource(int xa);
    void FreeSrcChunk();
    void FreeSrcFormat();

    // Shared tail of the WAV and XA refills: locks `count` bytes at the write cursor, silences
    // them, copies the first `written` bytes of the conversion buffer and advances the cursor.
    int CopyRefill(unsigned int count, unsigned int written, int xa);

public:
    // Fields, in the documented order. Read directly (there are no getters besides
    // GetFileName): by the frame update (owner tag), the tools, and tests that set up states.
    char m_fileName[260];
    IDirectSoundBuffer* m_soundBuffer;
    IDirectSound* m_device;
    int m_ownerTag;
    int m_pauseFlag;
    unsigned int m_streamThreshold;  // seconds
    unsigned int m_lengthSeconds;
    int m_streaming;
    int m_loop;
    BYTE* m_srcChunk;
    unsigned int m_srcChunkSize;
    unsigned int m_srcRead;
    unsigned int m_srcConsumed;
    BYTE* m_convBuffer;
    unsigned int m_convBufferSize;
    unsigned int m_produced;
    int m_refillHalf;
    unsigned int m_writeCursor;
    unsigned int m_bufferBytes;
    int m_streamState;
    int m_endHalf;
    void* m_file;     // HMMIO (kind 1) or FILE* (kind 2)
    void* m_decoder;  // HACMSTREAM (kind 1) or HXASTREAM (kind 2)
    WAVEFORMATEX* m_srcFormat;
    WAVEFORMATEX m_dstFormat;
    unsigned int m_dataSize;
    unsigned int m_dataOffset;
    unsigned int m_decodedSize;
    int m_kind;  // 0 nothing, 1 WAV, 2 XA
    int m_fadeCounter;
    int m_fadeLength;
    // Set by LoadXA: its file does not exist (so Load does not try to open it as WAV as well).
    bool m_fileMissing;
    int m_keepPcm;
    BYTE* m_pcm;  // owned; keepPcm: the decoded sound, m_bufferBytes of m_dstFormat laid out as a
                  // sound buffer would hold them; null when nothing is kept
    BYTE m_xaHeader[32];  // kind 2: the file's header, for reopening the decoder when a loop rewinds
    // Set by LoadStamped: the file when the load began; known only when that load succeeded.
    SoundFileStamp m_loadedFile = {0, 0, 0};
};
