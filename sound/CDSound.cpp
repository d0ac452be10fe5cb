#include "sound/CDSound.h"

#include <string.h>

#include "sound/CDSBuffer.h"
#include "sound/DebugPrint.h"
#include "sound/SoundInternal.h"

static DirectSoundCreateFunc g_directSoundCreate = nullptr;

void SetDirectSoundCreateForTest(DirectSoundCreateFunc create) { g_directSoundCreate = create; }

// ---------------------------------------------------------------------------------------------
// CDSBufferList

CDSBufferList::CDSBufferList() : m_head(nullptr), m_tail(nullptr), m_count(0) {}

CDSBufferList::~CDSBufferList() { RemoveAll(); }

void CDSBufferList::AddTail(CDSBuffer* buffer)
{
    CDSBufferNode* node = new CDSBufferNode;
    node->buffer = buffer;
    node->previous = nullptr;
    node->next = nullptr;
    node->index = 0;
    if (!m_tail) {
        m_head = node;
    } else {
        m_tail->next = node;
        node->previous = m_tail;
    }
    m_tail = node;
    node->index = m_count;
    m_count++;
}

void CDSBufferList::RemoveAll()
{
    while (m_count > 0 && m_tail) {
        CDSBufferNode* node = m_tail;
        CDSBufferNode* previous = node->previous;
        if (node == m_head)
            m_head = nullptr;
        else if (previous)
            previous->next = nullptr;
        node->previous = nullptr;
        node->next = nullptr;
        delete node->buffer;
        node->buffer = nullptr;
        delete node;
        m_tail = previous;
        m_count--;
    }
    m_head = nullptr;
    m_tail = nullptr;
    m_count = 0;
}

// ---------------------------------------------------------------------------------------------
// CDSound

CDSound::CDSound()
    : m_window(nullptr),
      m_directSound(nullptr),
      m_primaryBuffer(nullptr),
      m_silentBuffer(nullptr),
      m_highQuality(0),
      m_pcmInMemory(0)
{
    memset(&m_primaryFormat, 0, sizeof(m_primaryFormat));
}

CDSound::~CDSound()
{
    Term();
    m_list.RemoveAll();
}

int CDSound::Init(HWND window, int highQuality)
{
    m_window = window;
    m_highQuality = highQuality;

    DirectSoundCreateFunc create = g_directSoundCreate ? g_directSoundCreate : DirectSoundCreate;
    if (FAILED(create(nullptr, &m_directSound, nullptr))) {
        m_directSound = nullptr;
        return 1;
    }
    if (FAILED(m_directSound->SetCooperativeLevel(window, DSSCL_PRIORITY)))
        return 2;

    memset(&m_primaryFormat, 0, sizeof(m_primaryFormat));
    m_primaryFormat.wFormatTag = WAVE_FORMAT_PCM;
    if (highQuality == 1) {
        m_primaryFormat.nChannels = 2;
        m_primaryFormat.nSamplesPerSec = 44100;
        m_primaryFormat.wBitsPerSample = 16;
    } else {
        m_primaryFormat.nChannels = 1;
        m_primaryFormat.nSamplesPerSec = 22050;
        m_primaryFormat.wBitsPerSample = 8;
    }
    m_primaryFormat.nBlockAlign = (WORD)(m_primaryFormat.nChannels * m_primaryFormat.wBitsPerSample / 8);
    m_primaryFormat.nAvgBytesPerSec = m_primaryFormat.nSamplesPerSec * m_primaryFormat.nBlockAlign;
    m_primaryFormat.cbSize = 0;

    DSBUFFERDESC desc;
    memset(&desc, 0, sizeof(desc));
    desc.dwSize = sizeof(desc);
    desc.dwFlags = DSBCAPS_PRIMARYBUFFER;
    desc.dwBufferBytes = 0;
    desc.lpwfxFormat = nullptr;
    if (FAILED(m_directSound->CreateSoundBuffer(&desc, &m_primaryBuffer, nullptr))) {
        m_primaryBuffer = nullptr;
        return 3;
    }
    if (FAILED(m_primaryBuffer->SetFormat(&m_primaryFormat)))
        return 4;
    if (CreateSilentBuffer(2) != 0)
        return 5;
    if (PlaySilentBuffer() != 0)
        return 6;
    return 0;
}

int CDSound::InitPcmInMemory()
{
    m_pcmInMemory = 1;
    return 0;
}

CDSBuffer* CDSound::NewBuffer() { return new CDSBuffer(m_directSound, m_pcmInMemory); }

int CDSound::CreateSilentBuffer(int seconds)
{
    if (!m_directSound || !m_primaryBuffer)
        return 1;
    if (m_silentBuffer) {
        m_silentBuffer->Release();
        m_silentBuffer = nullptr;
    }

    WAVEFORMATEX format = m_primaryFormat;
    DSBUFFERDESC desc;
    memset(&desc, 0, sizeof(desc));
    desc.dwSize = sizeof(desc);
    desc.dwFlags = DSBCAPS_STATIC | DSBCAPS_LOCSOFTWARE | DSBCAPS_CTRLPAN | DSBCAPS_CTRLVOLUME |
                   DSBCAPS_GLOBALFOCUS | DSBCAPS_GETCURRENTPOSITION2;
    desc.dwBufferBytes = (DWORD)seconds * m_primaryFormat.nAvgBytesPerSec;
    desc.lpwfxFormat = &format;
    HRESULT hr = m_directSound->CreateSoundBuffer(&desc, &m_silentBuffer, nullptr);
    if (FAILED(hr)) {
        m_silentBuffer = nullptr;
        DebugPrintHResult(hr);
        DebugPrint("CDSound::CreateSilentBuffer CreateDSBError\n");
        return 1;
    }

    void* region = nullptr;
    DWORD regionBytes = 0;
    if (FAILED(m_silentBuffer->Lock(0, desc.dwBufferBytes, &region, &regionBytes, nullptr, nullptr,
                                    DSBLOCK_ENTIREBUFFER))) {
        DebugPrint("CDSound::CreateSilentBuffer LockError\n");
        return 1;
    }
    if (region && regionBytes)
        memset(region, SilenceByte(m_primaryFormat), regionBytes);
    if (FAILED(m_silentBuffer->Unlock(region, regionBytes, nullptr, 0))) {
        DebugPrint("CDSound::CreateSilentBuffer UnlockError\n");
        return 1;
    }
    return 0;
}

int CDSound::PlaySilentBuffer()
{
    if (!m_silentBuffer)
        return 1;
    return FAILED(m_silentBuffer->Play(0, 0, DSBPLAY_LOOPING)) ? 1 : 0;
}

int CDSound::StopSilentBuffer()
{
    if (!m_silentBuffer)
        return 1;
    return FAILED(m_silentBuffer->Stop()) ? 1 : 0;
}

int CDSound::Compact()
{
    if (!m_directSound)
        return 1;
    return FAILED(m_directSound->Compact()) ? 1 : 0;
}

int CDSound::Term()
{
    StopSilentBuffer();
    if (m_silentBuffer) {
        m_silentBuffer->Release();
        m_silentBuffer = nullptr;
    }
    DropKeptBuffers();
    m_list.RemoveAll();
    if (m_primaryBuffer) {
        m_primaryBuffer->Release();
        m_primaryBuffer = nullptr;
    }
    if (m_directSound) {
        m_directSound->Release();
        m_directSound = nullptr;
    }
    return 0;
}
