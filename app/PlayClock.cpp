// The play clock: pause, resume and restart, with every listed sound following the clock.
#include "app/PlayClock.h"

#include "app/Globals.h"
#include "score/Lanes.h"
#include "sound/CDSBuffer.h"
#include "sound/CDSound.h"

void PausePlay(int byUser)
{
    if (g_isPlaying == 0)
        return;
    if (byUser == 1) {
        if (g_userPaused == 1)
            return;
        g_userPaused = 1;
    }
    g_pauseStartTime = NowMs();
    g_isPlaying = 0;
    if (g_sound) {
        for (CDSBufferNode* n = g_sound->GetList().m_head; n; n = n->next)
            n->buffer->Pause();
    }
}

void ResumePlay(int byUser)
{
    if (g_isPlaying == 1)
        return;
    if (byUser == 1) {
        // The user cannot resume the Idle state (no pause time) nor a pause the window caused itself.
        if (g_userPaused == 0 || g_pauseStartTime == 0)
            return;
        g_userPaused = 0;
    }
    g_isPlaying = 1;
    // 32-bit wrap-around arithmetic, as the system clock itself wraps.
    g_playStartTime = (int)((unsigned)g_playStartTime + ((unsigned)NowMs() - (unsigned)g_pauseStartTime));
    g_pauseStartTime = 0;
    if (g_sound) {
        for (CDSBufferNode* n = g_sound->GetList().m_head; n; n = n->next)
            n->buffer->Resume();
        for (CDSBufferNode* n = g_sound->GetList().m_head; n; n = n->next)
            n->buffer->ClearPauseFlag();
    }
}

void StopAllSounds()
{
    if (!g_sound)
        return;
    for (CDSBufferNode* n = g_sound->GetList().m_head; n; n = n->next)
        n->buffer->Stop();
    for (CDSBufferNode* n = g_sound->GetList().m_head; n; n = n->next)
        n->buffer->ClearPauseFlag();
}

void RestartPlay()
{
    StopAllSounds();
    g_playStartTime = NowMs();
    g_isPlaying = 1;
    RearmLanes();
    SeekToMeasure(g_startMeasure);
    // The frame time follows the new clock at once: a pause that arrives before the next frame
    // (a forwarded "-N5 -S", say) must not freeze the old chart time over the sought lanes.
    g_playTime = g_seekBaseTime;
    g_pauseStartTime = 0;
    g_userPaused = 0;
}

void PlayFromMeasure(int measure)
{
    StopAllSounds();
    g_isPlaying = 1;
    g_playStartTime = NowMs();
    RearmLanes();
    g_startMeasure = measure;
    SeekToMeasure(measure);
    g_playTime = g_seekBaseTime;  // as in RestartPlay
    g_pauseStartTime = 0;
    g_userPaused = 0;
}
