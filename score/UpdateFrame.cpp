// One frame of the score: the chart time from the play clock, the background, the rulers with
// their measure numbers, the chips of every lane, the sounds that come due, the fade and stream
// service of every sound, and the end of the chart.
#include "score/UpdateFrame.h"

#include <stdio.h>

#include "app/Globals.h"
#include "display/CDDraw.h"
#include "score/Lanes.h"
#include "score/ScoreLayout.h"
#include "sound/CDSBuffer.h"
#include "sound/CDSound.h"

using namespace ScoreLayout;

int32_t g_drumPixelsPerSecond = 160;
int32_t g_stringPixelsPerSecond = 100;
int32_t g_soundPixelsPerSecond = 100;
NoteStartHook g_noteStartHook = nullptr;

namespace {

// Screen offset of a note: (a - b) x rate / 1000, truncated toward zero.
//
// The product is formed in 64 bits: with a chip far from the play time at a high speed (speed 8
// scrolls the drums at 1280 pixels per second) a 32-bit (a - b) x rate overflows once the two
// times lie about 28 minutes apart. The result is then clamped to +-1,000,000 pixels, far outside
// the 320-pixel score, so every visibility, stop and done decision is the one the exact value gives.
int32_t Offset(int32_t a, int32_t b, int32_t rate)
{
    int64_t v = ((int64_t)a - (int64_t)b) * (int64_t)rate / 1000;
    const int64_t kLimit = 1000000;
    if (v > kLimit)
        v = kLimit;
    if (v < -kLimit)
        v = -kLimit;
    return (int32_t)v;
}

void DrawPart(int x, int y, const RECT* source)
{
    if (g_display)
        g_display->Draw(x, y, source, kPartsSheet);
}

void DrawPartKeyed(int x, int y, const RECT* source)
{
    if (g_display)
        g_display->DrawKeyed(x, y, source, kPartsSheet);
}

// A measure number right-aligned in four characters; blanks (and a minus sign) are not drawn.
void DrawMeasureNumber(int number, const int* columns, int y)
{
    char text[16];
    snprintf(text, sizeof(text), "%4d", number);
    for (int k = 0; k < 4 && text[k] != '\0'; ++k) {
        if (text[k] >= '0' && text[k] <= '9')
            DrawPart(columns[k], y, &kDigits[text[k] - '0']);
    }
}

// First entry to look at in a lane, or -1 when the lane is empty.
int ScanStart(LaneNote* lane, int32_t count, int32_t next)
{
    if (!lane || count <= 0)
        return -1;
    return next < 0 ? 0 : next;
}

void DrawDrumRuler(int32_t t)
{
    LaneNote* lane = g_drumLanes[8];
    int32_t count = g_drumLaneCounts[8];
    int start = ScanStart(lane, count, g_drumNextIndex[8]);
    if (start < 0)
        return;
    for (int i = start; i < count; ++i) {
        LaneNote& e = lane[i];
        int32_t y = kDrumJudgeY + Offset(t, e.time, g_drumPixelsPerSecond);
        if (y > 317) {
            e.pending = 0;
            g_drumNextIndex[8] = i;
        }
        if (y >= 0 && y <= kChipMaxY)
            DrawPartKeyed(kDrumRulerX, y, e.kind == 100 ? &kDrumMeasureLine : &kDrumBeatLine);
        if (e.kind == 100 && y >= 0 && y <= kDigitMaxY)
            DrawMeasureNumber(e.value, kDrumDigitX, y);
        if (y < 0)
            break;
    }
}

void DrawStringRuler(LaneNote* lane, int32_t count, int32_t* next, int32_t t, int lineX, const int* digitX)
{
    int start = ScanStart(lane, count, *next);
    if (start < 0)
        return;
    for (int i = start; i < count; ++i) {
        LaneNote& e = lane[i];
        int32_t y = kStringJudgeY + Offset(e.time, t, g_stringPixelsPerSecond);
        if (y < 0) {
            e.pending = 0;
            *next = i;
        }
        if (y >= 0 && y <= kThinLineMaxY)
            DrawPartKeyed(lineX, y, &kStringMeasureLine);
        if (y >= 0 && y <= kDigitMaxY)
            DrawMeasureNumber(i, digitX, y);  // the index in the lane is the measure index
        if (y > 314)
            break;
    }
}

// Drum and sound lanes scroll down to the same judge line; they differ only in rate, column,
// picture and owner tag. ((t - time) x rate / 1000 is the same as -((time - t) x rate / 1000).)
void DrawFallingLane(LaneNote* lane, int32_t count, int32_t* next, LaneNote** lastPlayed, int owner, int32_t rate,
                     int x, const RECT* chip, int32_t t)
{
    int start = ScanStart(lane, count, *next);
    if (start < 0)
        return;
    for (int i = start; i < count; ++i) {
        LaneNote& e = lane[i];
        int32_t y = kDrumJudgeY + Offset(t, e.time, rate);
        if (e.time <= t && e.pending == 1) {
            TriggerNote(&e, *lastPlayed, owner);
            *lastPlayed = &e;
            e.pending = 0;
            *next = i;
        }
        if (e.pending == 1 && y >= 0 && y <= kChipMaxY && x >= 0)
            DrawPart(x, y, chip);
        if (y < 0)
            break;
    }
}

void DrawStringLane(LaneNote* lane, int32_t count, int32_t* next, LaneNote** lastPlayed, int owner, int32_t t,
                    const int* chipX)
{
    int start = ScanStart(lane, count, *next);
    if (start < 0)
        return;
    for (int i = start; i < count; ++i) {
        LaneNote& e = lane[i];
        int32_t y = kStringJudgeY + Offset(e.time, t, g_stringPixelsPerSecond);
        if (e.time <= t && e.pending == 1) {
            if (e.kind != 8) {  // W entries never sound and never become the sounded-last entry
                TriggerNote(&e, *lastPlayed, owner);
                *lastPlayed = &e;
            }
            e.pending = 0;
            *next = i;
        }
        if (e.pending == 1 && y >= 0 && y <= kChipMaxY) {
            if (e.kind == 0) {
                DrawPart(chipX[0], y, &kOpenChip);
            } else {
                if (e.kind & 4)
                    DrawPart(chipX[0], y, &kChordBit4Chip);
                if (e.kind & 2)
                    DrawPart(chipX[1], y, &kChordBit2Chip);
                if (e.kind & 1)
                    DrawPart(chipX[2], y, &kChordBit1Chip);
                if (e.kind & 8)
                    DrawPart(chipX[3], y, &kWChip);
            }
        }
        if (y > kThinLineMaxY)
            break;
    }
}

int AnySoundPlaying()
{
    if (!g_sound)
        return 0;
    for (CDSBufferNode* n = g_sound->GetList().m_head; n; n = n->next) {
        if (n->buffer->IsPlaying())
            return 1;
    }
    return 0;
}

}  // namespace

int FadesPrevious(const LaneNote* entry, const LaneNote* previous, int ownerTag)
{
    return previous && previous->sound && previous->sound != entry->sound && previous->fadeOnNext != 0 &&
           previous->sound->m_ownerTag == ownerTag;
}

void TriggerNote(LaneNote* entry, LaneNote* previous, int ownerTag)
{
    int fade = FadesPrevious(entry, previous, ownerTag);
    if (entry->sound) {
        entry->sound->Stop();
        entry->sound->Rewind();
        entry->sound->Play(0, ownerTag);
        if (g_noteStartHook)
            g_noteStartHook(entry, ownerTag);
    }
    if (fade)
        previous->sound->FadeOut();
}

void UpdateFrame()
{
    // 1. Time.
    int now = NowMs();
    if (g_isPlaying != 0)
        g_playTime = (int)((unsigned)g_seekBaseTime + ((unsigned)now - (unsigned)g_playStartTime));
    else if (g_playTime == -1)
        g_playTime = g_seekBaseTime;
    const int32_t t = g_playTime;

    // 2. Background.
    if (g_display)
        g_display->Draw(0, 0, nullptr, kBackgroundSheet);

    // 3. Scroll rates, truncated (in double: the single-precision speed x 160 rounded in single
    // precision would lose the truncation, e.g. 0.7f gives 111, not 112).
    g_drumPixelsPerSecond = (int32_t)((double)g_scrollSpeed * 160.0);
    g_stringPixelsPerSecond = (int32_t)((double)g_scrollSpeed * 100.0);
    g_soundPixelsPerSecond = g_stringPixelsPerSecond;

    // 4. Rulers.
    DrawDrumRuler(t);
    DrawStringRuler(g_guitarLanes[9], g_guitarLaneCounts[9], &g_guitarNextIndex[9], t, kGuitarLineX, kGuitarDigitX);
    DrawStringRuler(g_bassLanes[9], g_bassLaneCounts[9], &g_bassNextIndex[9], t, kBassLineX, kBassDigitX);

    // 5. Chips (drum lane 7, the FI events, is neither drawn nor sounded).
    for (int n = 1; n <= 6; ++n)
        DrawFallingLane(g_drumLanes[n], g_drumLaneCounts[n], &g_drumNextIndex[n], &g_drumLastPlayed[n],
                        kDrumOwnerBase + n, g_drumPixelsPerSecond, kDrumLaneX[n], &kDrumChips[n], t);
    for (int n = 0; n <= 8; ++n)
        DrawStringLane(g_guitarLanes[n], g_guitarLaneCounts[n], &g_guitarNextIndex[n], &g_guitarLastPlayed,
                       kGuitarOwner, t, kGuitarChipX);
    for (int n = 0; n <= 8; ++n)
        DrawStringLane(g_bassLanes[n], g_bassLaneCounts[n], &g_bassNextIndex[n], &g_bassLastPlayed, kBassOwner, t,
                       kBassChipX);
    for (int n = 1; n <= 35; ++n)
        DrawFallingLane(g_soundLanes[n], g_soundLaneCounts[n], &g_soundNextIndex[n], &g_soundLastPlayed[n],
                        kSoundOwnerBase + n, g_soundPixelsPerSecond, kSoundLaneX[n], SoundChip(n), t);

    // 6. Sound service.
    if (g_sound) {
        for (CDSBufferNode* n = g_sound->GetList().m_head; n; n = n->next)
            n->buffer->UpdateFade();
        for (CDSBufferNode* n = g_sound->GetList().m_head; n; n = n->next)
            n->buffer->StreamPlay();
    }

    // 7. End of the chart, once every sound has rung out.
    if (t >= g_chartEndTime) {
        if (AnySoundPlaying())
            return;
        g_isPlaying = 0;
        g_playStartTime = NowMs();
        RearmLanes();
        SeekToMeasure(g_startMeasure);
        g_playTime = -1;
        g_userPaused = 1;
        g_pauseStartTime = NowMs();
    }
}
