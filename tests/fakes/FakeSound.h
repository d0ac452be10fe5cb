// Sounds for tests of the code that drives CDSBuffer objects (the clock, the window messages,
// the frame update): a static CDSBuffer whose DirectSound buffer is a FakeDirectSoundBuffer.
#pragma once
#include <string>

#include "fakes/FakeDirectSound.h"
#include "sound/CDSBuffer.h"

// The fake buffer is owned by device (which must outlive the sound); the sound releases it.
inline CDSBuffer* NewRecordedSound(FakeDirectSound& device, FakeDirectSoundBuffer** fake)
{
    DSBUFFERDESC desc = {};
    desc.dwSize = sizeof(desc);
    desc.dwBufferBytes = 4096;
    *fake = new FakeDirectSoundBuffer(desc);
    device.buffers.emplace_back(*fake);
    CDSBuffer* sound = new CDSBuffer(&device);
    sound->m_soundBuffer = *fake;
    return sound;
}

// The calls that change playback, in order, joined by blanks: "Stop", "SetCurrentPosition 0",
// "SetVolume -2000", "Play 0 0 0" (status and position queries are left out).
inline bool IsPlaybackCall(const std::string& call)
{
    return call.rfind("Stop", 0) == 0 || call.rfind("Play", 0) == 0 || call.rfind("SetVolume", 0) == 0 ||
           call.rfind("SetCurrentPosition", 0) == 0;
}

// The calls that change playback, in order, joined by commas: "Stop", "SetCurrentPosition 0",
// "SetVolume -2000", "Play 0 0 0" (status and position queries are left out).
inline std::string PlaybackCalls(const FakeDirectSoundBuffer& buffer)
{
    std::string out;
    for (const std::string& call : buffer.calls) {
        if (IsPlaybackCall(call))
            out += (out.empty() ? "" : ", ") + call;
    }
    return out;
}

inline std::string LastPlaybackCall(const FakeDirectSoundBuffer& buffer)
{
    for (auto it = buffer.calls.rbegin(); it != buffer.calls.rend(); ++it) {
        if (IsPlaybackCall(*it))
            return *it;
    }
    return "";
}
