// Keeping loaded sounds across a chart reload: a sound whose file has not changed since its buffer
// was loaded is handed to the new chart as it is instead of being loaded again.
#pragma once

class CDSBuffer;

// A sound file as it was looked at: size and last-write time. known is 0 when the file could not
// be looked at (missing, a folder, no access).
struct SoundFileStamp {
    unsigned long long size;
    unsigned long long writeTime;  // FILETIME, 100 ns units
    int known;
};

SoundFileStamp ReadSoundFileStamp(const char* path);

// The keep-or-reload decision for a sound kept from the last chart whose path the new chart names:
// 1 (keep it) when its load succeeded and its file now has the size and last-write time it had
// when that load began; 0 (load the file anew) otherwise. A file replaced by one of the same size
// and the same last-write time (a copy that keeps the time) is not told apart.
int IsKeptSoundCurrent(const CDSBuffer& kept, const SoundFileStamp& now);
