// Chart files written by a test into a private temporary folder, and a chart loaded from them with
// a sound device that was never initialised (every sound load fails, every buffer stays listed).
#pragma once
#include <windows.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "chart/CChart.h"
#include "score/Lanes.h"
#include "sound/CDSBuffer.h"
#include "sound/CDSound.h"

class TempFolder {
public:
    TempFolder()
    {
        char base[MAX_PATH] = {0};
        GetTempPathA(MAX_PATH, base);
        static int serial = 0;
        char name[64];
        snprintf(name, sizeof(name), "ktbtest_%lu_%d", (unsigned long)GetCurrentProcessId(), ++serial);
        m_path = std::string(base) + name;
        CreateDirectoryA(m_path.c_str(), nullptr);
    }
    ~TempFolder()
    {
        for (const std::string& f : m_files)
            DeleteFileA(f.c_str());
        RemoveDirectoryA(m_path.c_str());
    }
    const std::string& Path() const { return m_path; }
    // Writes bytes as they are (no newline translation) and returns the full path.
    std::string Write(const std::string& name, const std::string& bytes)
    {
        std::string full = m_path + "\\" + name;
        FILE* f = fopen(full.c_str(), "wb");
        if (f) {
            fwrite(bytes.data(), 1, bytes.size(), f);
            fclose(f);
        }
        m_files.push_back(full);
        return full;
    }

private:
    std::string m_path;
    std::vector<std::string> m_files;
};

// Joins lines with CR LF (each line ends with one).
inline std::string CrLf(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& l : lines)
        text += l + "\r\n";
    return text;
}

// One chart: device, chart object, load result. Lanes are freed by the destructor.
class LoadedChart {
public:
    LoadedChart() : sound(new CDSound()), chart(new CChart(sound)) {}
    ~LoadedChart()
    {
        FreeLaneArrays();
        ResetLanes();
        delete chart;
        chart = nullptr;
        delete sound;
        sound = nullptr;
    }
    int Load(const std::string& text, const char* name = "chart.ktb")
    {
        path = folder.Write(name, text);
        result = chart->Load(path.c_str(), 0, 10, 0);
        return result;
    }
    int LoadLines(const std::vector<std::string>& lines) { return Load(CrLf(lines)); }
    // Load, Compile, lanes and seek as at start-up.
    int Prepare(const std::vector<std::string>& lines, int seekMeasure = -1)
    {
        if (!LoadLines(lines))
            return 0;
        chart->Compile();
        ResetLanes();
        BuildDrumLanes(chart);
        BuildStringLanes(chart, 1);
        BuildStringLanes(chart, 2);
        BuildSoundLanes(chart);
        SeekToMeasure(seekMeasure);
        return 1;
    }
    std::vector<std::string> BufferNames() const
    {
        std::vector<std::string> names;
        for (CDSBufferNode* n = sound->GetList().m_head; n; n = n->next)
            names.push_back(n->buffer->GetFileName());
        return names;
    }
    template <typename T>
    static std::vector<T*> Records(const EventList<T>& list)
    {
        std::vector<T*> out;
        for (T* r = list.head; r; r = r->next)
            out.push_back(r);
        return out;
    }

    TempFolder folder;
    CDSound* sound;
    CChart* chart;
    std::string path;
    int result = -1;
};
