// Keeping loaded sounds across a chart reload: the file stamps, the keep-or-reload decision and
// the device's pool of kept sounds.
#include "sound/SoundReuse.h"

#include <windows.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "sound/CDSBuffer.h"
#include "sound/CDSound.h"
#include "sound/DebugPrint.h"

// The sounds of the last chart while a new one is read.
struct KeptSounds {
    std::vector<CDSBuffer*> order;                   // list order; null once taken or destroyed
    std::unordered_map<std::string, size_t> byName;  // upper-case name -> index into order
    int taken = 0;
    int freed = 0;
};

namespace {

// Names compare as the chart reader compares them: ASCII letters without regard to case.
std::string NameKey(const char* path)
{
    std::string key(path);
    for (char& c : key)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
    return key;
}

}  // namespace

SoundFileStamp ReadSoundFileStamp(const char* path)
{
    SoundFileStamp stamp = {0, 0, 0};
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!path || !GetFileAttributesExA(path, GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return stamp;
    stamp.size = ((unsigned long long)data.nFileSizeHigh << 32) | data.nFileSizeLow;
    stamp.writeTime =
        ((unsigned long long)data.ftLastWriteTime.dwHighDateTime << 32) | data.ftLastWriteTime.dwLowDateTime;
    stamp.known = 1;
    return stamp;
}

int IsKeptSoundCurrent(const CDSBuffer& kept, const SoundFileStamp& now)
{
    const SoundFileStamp& then = kept.m_loadedFile;
    return then.known && now.known && then.size == now.size && then.writeTime == now.writeTime;
}

int CDSBuffer::LoadStamped(int allowStream)
{
    // Read before the load: a file written while it loads then differs at the next reload.
    SoundFileStamp stamp = ReadSoundFileStamp(m_fileName);
    int result = Load(allowStream);
    if (result != 0)
        stamp.known = 0;
    m_loadedFile = stamp;
    return result;
}

void CDSBuffer::ResetForReuse()
{
    Stop();
    Rewind();
    m_pauseFlag = 0;
    m_fadeCounter = -1;
    m_ownerTag = 0;
    m_loop = 0;
    if (m_soundBuffer)
        m_soundBuffer->SetVolume(0);
}

void CDSound::KeepBuffersForReload()
{
    DropKeptBuffers();  // a pool left by an unfinished reload
    m_kept = new KeptSounds();
    m_kept->order.reserve((size_t)(m_list.m_count > 0 ? m_list.m_count : 0));
    CDSBufferNode* node = m_list.m_head;
    while (node) {
        CDSBufferNode* next = node->next;
        if (CDSBuffer* buffer = node->buffer) {
            buffer->Stop();
            m_kept->byName.emplace(NameKey(buffer->GetFileName()), m_kept->order.size());
            m_kept->order.push_back(buffer);
        }
        node->buffer = nullptr;
        node->previous = nullptr;
        node->next = nullptr;
        delete node;
        node = next;
    }
    m_list.m_head = nullptr;
    m_list.m_tail = nullptr;
    m_list.m_count = 0;
}

CDSBuffer* CDSound::TakeKeptBuffer(const char* path)
{
    if (!m_kept || m_kept->byName.empty() || !path)
        return nullptr;
    auto found = m_kept->byName.find(NameKey(path));
    if (found == m_kept->byName.end())
        return nullptr;
    CDSBuffer*& slot = m_kept->order[found->second];
    CDSBuffer* buffer = slot;
    slot = nullptr;
    m_kept->byName.erase(found);
    if (!IsKeptSoundCurrent(*buffer, ReadSoundFileStamp(path))) {
        // Its replacement is loaded next: free this one first rather than hold both.
        delete buffer;
        m_kept->freed++;
        return nullptr;
    }
    buffer->ResetForReuse();
    buffer->SetFileName(path);
    m_kept->taken++;
    return buffer;
}

int CDSound::DropKeptBuffers()
{
    if (!m_kept)
        return 0;
    for (size_t i = m_kept->order.size(); i-- > 0;) {
        if (m_kept->order[i]) {
            delete m_kept->order[i];
            m_kept->order[i] = nullptr;
            m_kept->freed++;
        }
    }
    int freed = m_kept->freed;
    DebugPrint("ReloadSounds kept=%d loaded=%d freed=%d\n", m_kept->taken, m_list.m_count - m_kept->taken, freed);
    delete m_kept;
    m_kept = nullptr;
    return freed;
}
