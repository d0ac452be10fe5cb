// The render engine: every lane entry that the frame update would sound, in the frame update's
// order, started at its own time (or on the frame boundary that would start it), with one voice
// per sound buffer, the fade decision of TriggerNote and the fade's volume steps; the voices
// resampled by linear interpolation and mixed into 16-bit stereo.
#include "score/ChartRender.h"

#include <windows.h>
#include <math.h>
#include <string.h>

#include <unordered_map>
#include <vector>

#include "app/Globals.h"
#include "score/Lanes.h"
#include "score/ScoreLayout.h"
#include "score/UpdateFrame.h"
#include "sound/CDSBuffer.h"
#include "sound/CDSound.h"

using namespace ScoreLayout;

namespace {

const int kFrameMs = 16;                // the viewer's frame: the fade steps and --frames
const long long kBlockFrames = 4096;    // output frames mixed and handed on at a time

// One sound buffer's voice: its PCM, and where on the output it plays.
struct Voice {
    const BYTE* pcm = nullptr;  // null: the sound did not load and never plays
    long long srcFrames = 0;
    long long srcRate = 0;
    int blockAlign = 0;
    int bytesPerSample = 0;
    int rightOffset = 0;      // byte of the right channel in a frame (0 for mono)
    long long length = 0;     // output frames of the whole buffer
    int fadeLength = 0;       // the buffer's fade length in frames
    bool active = false;
    long long start = 0;      // output frame of its first sample
    long long end = 0;        // output frame at which it stops
    long long fadeMs = -1;    // ms after output frame 0 at which its fade began; -1: none
};

// One sample, centred, on the 16-bit scale.
template <int Bytes>
inline double ReadSample(const BYTE* p)
{
    if (Bytes == 1)
        return (p[0] - 128) * 256.0;
    if (Bytes == 2)
        return (int16_t)(p[0] | (p[1] << 8));
    uint32_t v = 0;
    for (int k = 0; k < Bytes && k < 4; ++k)
        v |= (uint32_t)p[Bytes - 1 - k] << (24 - 8 * k);
    return (int32_t)v / 65536.0;
}

// Adds output frames [from, to) of the voice at `gain` into out (out[0] is frame `from`).
template <int Bytes>
void MixSpan(const Voice& v, long long from, long long to, double gain, long long rate, double* out)
{
    const long long j = from - v.start;
    long long i = j * v.srcRate / rate;  // source frame and the remainder of its position
    long long rem = j * v.srcRate % rate;
    const long long step = v.srcRate / rate;
    const long long stepRem = v.srcRate % rate;
    const double perRem = 1.0 / (double)rate;
    for (long long n = 0; n < to - from; ++n) {
        const BYTE* f = v.pcm + i * v.blockAlign;
        double l = ReadSample<Bytes>(f);
        double r = ReadSample<Bytes>(f + v.rightOffset);
        if (rem != 0) {
            double l2 = 0.0;
            double r2 = 0.0;
            if (i + 1 < v.srcFrames) {
                l2 = ReadSample<Bytes>(f + v.blockAlign);
                r2 = ReadSample<Bytes>(f + v.blockAlign + v.rightOffset);
            }
            const double frac = rem * perRem;
            l += (l2 - l) * frac;
            r += (r2 - r) * frac;
        }
        out[2 * n] += l * gain;
        out[2 * n + 1] += r * gain;
        i += step;
        rem += stepRem;
        if (rem >= rate) {
            rem -= rate;
            ++i;
        }
    }
}

// DirectSound's volume in hundredths of a dB as a gain; -10000 is silence.
double VolumeGain(long long volume) { return volume <= DSBVOLUME_MIN ? 0.0 : pow(10.0, (double)volume / 2000.0); }

// A lane as the frame update walks it.
struct LaneWalk {
    LaneNote* entries;
    int32_t count;
    int32_t next;
    LaneNote** lastPlayed;
    int owner;
};

class Renderer {
public:
    Renderer(CDSound* device, const RenderOptions& options) : m_options(options), m_rate(options.rate)
    {
        for (CDSBufferNode* n = device ? device->GetList().m_head : nullptr; n; n = n->next) {
            m_index[n->buffer] = m_voices.size();
            m_voices.push_back(VoiceOf(*n->buffer));
        }
        AddLanes();
    }

    int Run(RenderSink sink, void* sinkContext, RenderProgress progress, void* progressContext, RenderSummary* s)
    {
        const long long endMs = (long long)g_chartEndTime - g_seekBaseTime;
        const long long chartEnd = m_options.frames ? FrameSampleAtOrAfter(SampleOfMs(endMs > 0 ? endMs : 0))
                                                    : SampleOfMs(endMs > 0 ? endMs : 0);
        std::vector<double> mix((size_t)kBlockFrames * 2, 0.0);
        std::vector<int16_t> out((size_t)kBlockFrames * 2);
        long long cur = 0;        // output frames mixed so far
        long long blockStart = 0;  // output frame of mix[0]

        // Mixes every voice up to `target`, handing on each full block.
        auto mixTo = [&](long long target) {
            while (cur < target) {
                const long long stop = target < blockStart + kBlockFrames ? target : blockStart + kBlockFrames;
                for (size_t a = 0; a < m_active.size(); ++a)
                    MixVoice(m_voices[m_active[a]], cur, stop, &mix[(size_t)(cur - blockStart) * 2]);
                cur = stop;
                if (cur == blockStart + kBlockFrames) {
                    if (!Flush(mix, out, kBlockFrames, sink, sinkContext, s))
                        return false;
                    blockStart = cur;
                    DropEnded(cur);
                    if (progress)
                        progress(progressContext, cur, chartEnd);
                }
            }
            return true;
        };

        Event e = {};
        bool have = NextEvent(e);
        for (;;) {
            // The chart is over once its end time has come and no voice plays any more; a note
            // due at that very moment still sounds first.
            long long quiet = chartEnd;
            for (size_t a = 0; a < m_active.size(); ++a)
                if (m_voices[m_active[a]].end > quiet)
                    quiet = m_voices[m_active[a]].end;
            if (m_options.frames)
                quiet = FrameSampleAtOrAfter(quiet);
            if (!have || quiet < e.sample) {
                if (!mixTo(quiet))
                    return 1;
                break;
            }
            if (!mixTo(e.sample))
                return 1;
            Trigger(e);
            have = NextEvent(e);
        }
        if (cur > blockStart && !Flush(mix, out, cur - blockStart, sink, sinkContext, s))
            return 1;
        s->frames = cur;
        s->notesSounded = m_summaryNotes;
        if (progress)
            progress(progressContext, cur, chartEnd);
        return 0;
    }

private:
    struct Event {
        LaneNote* entry;
        LaneWalk* lane;
        long long ms;      // after output frame 0
        long long sample;  // output frame at which it starts
    };

    Voice VoiceOf(const CDSBuffer& buffer)
    {
        Voice v;
        const WAVEFORMATEX& f = buffer.m_dstFormat;
        v.fadeLength = buffer.m_fadeLength;
        if (!buffer.m_pcm || f.nBlockAlign == 0 || f.nChannels == 0 || f.nSamplesPerSec == 0)
            return v;
        v.pcm = buffer.m_pcm;
        v.blockAlign = f.nBlockAlign;
        v.bytesPerSample = f.wBitsPerSample / 8;
        v.rightOffset = f.nChannels > 1 ? v.bytesPerSample : 0;
        if (v.bytesPerSample < 1 || v.bytesPerSample * f.nChannels > v.blockAlign) {
            v.pcm = nullptr;  // no layout this mixer can read
            return v;
        }
        v.srcFrames = buffer.m_bufferBytes / f.nBlockAlign;
        v.srcRate = f.nSamplesPerSec;
        v.length = (v.srcFrames * m_rate + v.srcRate - 1) / v.srcRate;
        return v;
    }

    // The sounding lanes in the frame update's order: drum 1..6, guitar 0..8, bass 0..8, sound
    // 1..35 (drum lane 7 never sounds), each with its sounded-last slot and owner tag.
    void AddLanes()
    {
        m_lanes.reserve(6 + 9 + 9 + 35);
        for (int n = 1; n <= 6; ++n)
            AddLane(g_drumLanes[n], g_drumLaneCounts[n], &m_drumLast[n], kDrumOwnerBase + n);
        for (int n = 0; n <= 8; ++n)
            AddLane(g_guitarLanes[n], g_guitarLaneCounts[n], &m_guitarLast, kGuitarOwner);
        for (int n = 0; n <= 8; ++n)
            AddLane(g_bassLanes[n], g_bassLaneCounts[n], &m_bassLast, kBassOwner);
        for (int n = 1; n <= 35; ++n)
            AddLane(g_soundLanes[n], g_soundLaneCounts[n], &m_soundLast[n], kSoundOwnerBase + n);
    }

    void AddLane(LaneNote* entries, int32_t count, LaneNote** lastPlayed, int owner)
    {
        if (entries && count > 0)
            m_lanes.push_back({entries, count, 0, lastPlayed, owner});
    }

    long long SampleOfMs(long long ms) const { return RenderSampleOfMs(ms, m_rate); }

    // The first frame boundary (16 ms steps from output frame 0) at or after output frame s.
    long long FrameSampleAtOrAfter(long long s) const
    {
        long long k = s * 1000 / (kFrameMs * (long long)m_rate);
        while (k > 0 && SampleOfMs(kFrameMs * (k - 1)) >= s)
            --k;
        while (SampleOfMs(kFrameMs * k) < s)
            ++k;
        return SampleOfMs(kFrameMs * k);
    }

    // When an entry comes due, in ms after output frame 0: its own time, or the frame that reaches it.
    long long DueMs(const LaneNote& entry) const
    {
        long long ms = (long long)entry.time - g_seekBaseTime;
        if (ms < 0)
            ms = 0;
        return m_options.frames ? (ms + kFrameMs - 1) / kFrameMs * kFrameMs : ms;
    }

    // The next entry to come due: the earliest, lanes in the frame update's order at the same
    // moment. Entries the seek marked done and W entries (chord value 8) never come.
    bool NextEvent(Event& e)
    {
        LaneWalk* best = nullptr;
        long long bestMs = 0;
        for (LaneWalk& lane : m_lanes) {
            while (lane.next < lane.count &&
                   (lane.entries[lane.next].pending == 0 || IsW(lane, lane.entries[lane.next])))
                ++lane.next;
            if (lane.next >= lane.count)
                continue;
            const long long ms = DueMs(lane.entries[lane.next]);
            if (!best || ms < bestMs) {
                best = &lane;
                bestMs = ms;
            }
        }
        if (!best)
            return false;
        e.entry = &best->entries[best->next++];
        e.lane = best;
        e.ms = bestMs;
        e.sample = SampleOfMs(bestMs);
        return true;
    }

    static bool IsW(const LaneWalk& lane, const LaneNote& entry)
    {
        return (lane.owner == kGuitarOwner || lane.owner == kBassOwner) && entry.kind == 8;
    }

    Voice* VoiceFor(const CDSBuffer* sound)
    {
        auto it = m_index.find(sound);
        return it == m_index.end() ? nullptr : &m_voices[it->second];
    }

    // TriggerNote: restart the entry's sound, then fade the lane's previous sound where the
    // rules say so.
    void Trigger(const Event& e)
    {
        LaneNote* previous = *e.lane->lastPlayed;
        const int fade = FadesPrevious(e.entry, previous, e.lane->owner);
        Voice* v = e.entry->sound ? VoiceFor(e.entry->sound) : nullptr;
        if (v && v->pcm) {
            if (!v->active)
                m_active.push_back((size_t)(v - m_voices.data()));
            v->active = true;
            e.entry->sound->m_ownerTag = e.lane->owner;  // as its Play would set it
            v->start = e.sample;
            v->end = e.sample + v->length;
            v->fadeMs = -1;
            m_summaryNotes++;
        }
        if (fade) {
            Voice* old = VoiceFor(previous->sound);
            if (old && old->active) {
                old->fadeMs = e.ms;
                const long long stop = SampleOfMs(e.ms + (long long)kFrameMs * old->fadeLength);
                if (stop < old->end)
                    old->end = stop;
            }
        }
        *e.lane->lastPlayed = e.entry;
    }

    // Mixes output frames [from, to) of a voice into out (frame `from`), step by step of its fade:
    // step k of the fade (k frames after it began) plays at volume -k x 10000 / fade length.
    void MixVoice(const Voice& v, long long from, long long to, double* out) const
    {
        if (to > v.end)
            to = v.end;
        while (from < to) {
            double gain = 1.0;
            long long stop = to;
            if (v.fadeMs >= 0) {
                int k = 0;
                while (k + 1 < v.fadeLength && SampleOfMs(v.fadeMs + (long long)kFrameMs * (k + 1)) <= from)
                    ++k;
                gain = VolumeGain(-(long long)k * 10000 / (v.fadeLength > 0 ? v.fadeLength : 1));
                const long long next = SampleOfMs(v.fadeMs + (long long)kFrameMs * (k + 1));
                if (next > from && next < stop)
                    stop = next;
            }
            switch (v.bytesPerSample) {
            case 1: MixSpan<1>(v, from, stop, gain, m_rate, out); break;
            case 2: MixSpan<2>(v, from, stop, gain, m_rate, out); break;
            case 3: MixSpan<3>(v, from, stop, gain, m_rate, out); break;
            default: MixSpan<4>(v, from, stop, gain, m_rate, out); break;
            }
            out += 2 * (stop - from);
            from = stop;
        }
    }

    void DropEnded(long long now)
    {
        size_t kept = 0;
        for (size_t a = 0; a < m_active.size(); ++a) {
            Voice& v = m_voices[m_active[a]];
            if (v.end > now)
                m_active[kept++] = m_active[a];
            else
                v.active = false;
        }
        m_active.resize(kept);
    }

    // Rounds the mixed block to 16 bits (nearest, halves up), clips, and hands it on.
    bool Flush(std::vector<double>& mix, std::vector<int16_t>& out, long long frames, RenderSink sink,
               void* context, RenderSummary* s)
    {
        for (long long n = 0; n < frames * 2; ++n) {
            double v = floor(mix[(size_t)n] + 0.5);
            if (v > 32767.0) {
                v = 32767.0;
                s->clipped++;
            } else if (v < -32768.0) {
                v = -32768.0;
                s->clipped++;
            }
            const int value = (int)v;
            const int magnitude = value < 0 ? -value : value;
            if (magnitude > s->peak)
                s->peak = magnitude;
            out[(size_t)n] = (int16_t)value;
            mix[(size_t)n] = 0.0;
        }
        return sink(context, out.data(), (size_t)frames);
    }

    RenderOptions m_options;
    long long m_rate;
    std::vector<Voice> m_voices;
    std::unordered_map<const CDSBuffer*, size_t> m_index;
    std::vector<size_t> m_active;
    std::vector<LaneWalk> m_lanes;
    LaneNote* m_drumLast[7] = {};
    LaneNote* m_guitarLast = nullptr;
    LaneNote* m_bassLast = nullptr;
    LaneNote* m_soundLast[36] = {};
    int m_summaryNotes = 0;
};

}  // namespace

int RenderLanes(CDSound* device, const RenderOptions& options, RenderSink sink, void* sinkContext,
                RenderProgress progress, void* progressContext, RenderSummary* summary)
{
    RenderSummary local;
    RenderSummary* s = summary ? summary : &local;
    *s = RenderSummary();
    Renderer renderer(device, options);
    return renderer.Run(sink, sinkContext, progress, progressContext, s);
}
