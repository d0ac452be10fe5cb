// The render engine on charts of our own making: where each sound starts, and what the voices add
// up to around a retrigger, a fade and a span.
#include <gtest/gtest.h>

#include <math.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/Globals.h"
#include "fakes/ChartFiles.h"
#include "score/ChartRender.h"

namespace {

const int kRate = 44100;

// A mono 16-bit PCM WAV at kRate.
std::string PcmWav(const std::vector<int16_t>& samples)
{
    auto u32 = [](uint32_t v) { return std::string{(char)v, (char)(v >> 8), (char)(v >> 16), (char)(v >> 24)}; };
    const uint32_t bytes = (uint32_t)samples.size() * 2;
    std::string w = "RIFF" + u32(36 + bytes) + "WAVEfmt " + u32(16);
    w += std::string("\x01\x00\x01\x00", 4) + u32(kRate) + u32(kRate * 2) + std::string("\x02\x00\x10\x00", 4);
    w += "data" + u32(bytes);
    w.append(reinterpret_cast<const char*>(samples.data()), bytes);
    return w;
}

bool Collect(void* context, const int16_t* frames, size_t count)
{
    auto* out = static_cast<std::vector<int16_t>*>(context);
    out->insert(out->end(), frames, frames + count * 2);
    return true;
}

// A chart whose sounds are kept in memory, read, compiled and laid out as the viewer does.
struct RenderChart : LoadedChart {
    std::vector<int16_t> Render(const std::vector<std::string>& lines, int seekMeasure, int frames)
    {
        sound->InitPcmInMemory();
        std::vector<int16_t> out;
        EXPECT_NE(0, LoadLines(lines));
        EXPECT_EQ(0, chart->Compile());
        BuildLanesAndSeek(chart, seekMeasure);
        RenderOptions options;
        options.seekMeasure = seekMeasure;
        options.frames = frames;
        EXPECT_EQ(0, RenderLanes(sound, options, Collect, &out, nullptr, nullptr, nullptr));
        return out;
    }
    const int16_t* Pcm(const char* name)
    {
        for (CDSBufferNode* n = sound->GetList().m_head; n; n = n->next)
            if (strstr(n->buffer->GetFileName(), name))
                return reinterpret_cast<const int16_t*>(n->buffer->m_pcm);
        return nullptr;
    }
};

// Clicks of one sample at 1000 on the drum lanes: the measure before the seek, one at the seek
// time, two 1 ms apart, then a tempo change to 150 bpm half way through measure 2 and notes at
// thirds of a measure (times that are not whole milliseconds), the last two at the same time.
TEST(ChartRenderTest, EverySoundStartsOnTheSampleOfItsTimeOrOnItsFrame)
{
    std::vector<int16_t> click(10, 0);
    click[0] = 1000;
    std::string sd(800, '0');
    std::string bd(800, '0');
    sd.replace(200, 2, "02");  // measure 1 at 600 bpm lasts 400 ms: cell n is n ms in
    bd.replace(202, 2, "03");
    const std::vector<std::string> lines = {"#BPM 600", "#WAV01 c1.wav", "#WAV02 c2.wav", "#WAV03 c3.wav",
                                            "#000HH:01", "#001HH:01", "#001SD:" + sd, "#001BD:" + bd,
                                            "#002TC:0096", "#002HH:010101", "#003HH:010101", "#003CY:000003"};
    for (int frames = 0; frames <= 1; ++frames) {
        RenderChart c;
        for (const char* name : {"c1.wav", "c2.wav", "c3.wav"})
            c.folder.Write(name, PcmWav(click));
        std::vector<int16_t> out = c.Render(lines, 1, frames);

        std::vector<double> expected;  // output sample of each pending drum note's time (or frame)
        for (int lane = 1; lane <= 6; ++lane)
            for (int32_t i = 0; i < g_drumLaneCounts[lane]; ++i)
                if (g_drumLanes[lane][i].pending) {
                    double ms = g_drumLanes[lane][i].time - g_seekBaseTime;
                    expected.push_back((frames ? ceil(ms / 16) * 16 : ms) * kRate / 1000.0);
                }
        std::sort(expected.begin(), expected.end());
        std::vector<double> onsets;  // a click per 1000 of value (clicks on one frame add up)
        for (size_t n = 0; n < out.size(); n += 2) {
            EXPECT_EQ(out[n], out[n + 1]);
            for (int k = 0; k < out[n] / 1000; ++k)
                onsets.push_back((double)(n / 2));
        }
        ASSERT_EQ(10u, expected.size());
        ASSERT_EQ(expected.size(), onsets.size()) << "frames " << frames;
        for (size_t k = 0; k < onsets.size(); ++k)
            EXPECT_LE(fabs(onsets[k] - expected[k]), 1.0) << "note " << k << ", frames " << frames;
    }
}

// Sound channel 01 at 120 bpm: A at 3500 ms, A again at 4000 (cut by itself), B at 4500 (fades A
// out: 16 ms steps of -20 dB, stopped after 80 ms); in a span, B at 5500 and A at 6000 ring
// together.
TEST(ChartRenderTest, RetriggerFadeAndSpanFollowTheFrameUpdatesRules)
{
    std::vector<int16_t> a(kRate);
    std::vector<int16_t> b(kRate);
    for (int i = 0; i < kRate; ++i) {
        a[i] = (int16_t)((i % 1000) * 20 - 10000);
        b[i] = (int16_t)((i * 7) % 3000 - 1500);
    }
    RenderChart c;
    c.folder.Write("a.wav", PcmWav(a));
    c.folder.Write("b.wav", PcmWav(b));
    std::vector<int16_t> out = c.Render(
        {"#BPM 120", "#WAV0A a.wav", "#WAV0B b.wav", "#00101:0A0A0B00", "#00201:0B0A0000", "#002C01:0102"}, -1, 0);
    const int16_t* pa = c.Pcm("a.wav");
    const int16_t* pb = c.Pcm("b.wav");
    ASSERT_TRUE(pa && pb);
    auto at = [&](int ms, int offset) { return (ms * kRate / 1000 + offset) * 2; };
    struct Point {
        size_t index;
        double value;
    } points[] = {
        {(size_t)at(4000, 100), (double)pa[100]},                          // A restarted
        {(size_t)at(4500, 1058), 0.1 * pa[22050 + 1058] + pb[1058]},      // fade step 1: -20 dB
        {(size_t)at(4500, 1600), 0.01 * pa[22050 + 1600] + pb[1600]},     // step 2: -40 dB
        {(size_t)at(4500, 4410), (double)pb[4410]},                        // A stopped after 80 ms
        {(size_t)at(5500, 100), (double)pb[100]},                          // B restarted
        {(size_t)at(6000, 200), (double)pb[22050 + 200] + pa[200]},       // both ring in the span
    };
    for (const Point& p : points) {
        ASSERT_LT(p.index + 1, out.size());
        EXPECT_LE(fabs(out[p.index] - p.value), 1.0) << "at sample " << p.index / 2;
        EXPECT_EQ(out[p.index], out[p.index + 1]);
    }
}

}  // namespace
