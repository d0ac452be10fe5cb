// Inputs the fuzzer (tests/fuzz) found to crash or to run away, each as a small hand-made case:
// corrupt WAV headers that made the ACM read past the data or stop the process, and a chart with
// more events than the reader keeps.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chart/ReaderIndex.h"
#include "fakes/ChartFiles.h"
#include "fakes/DebugCapture.h"
#include "fakes/FakeDirectSound.h"
#include "sound/CDSBuffer.h"

namespace {

typedef std::vector<unsigned char> Bytes;

void Put16(Bytes& b, unsigned v)
{
    b.push_back((unsigned char)v);
    b.push_back((unsigned char)(v >> 8));
}

void Put32(Bytes& b, unsigned v)
{
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

struct Format {
    unsigned tag, channels, rate, avg, align, bits;
    std::vector<unsigned> extraWords;  // after cbSize
};

// RIFF WAVE with the format and `dataBytes` bytes of data (a pattern that decodes to anything).
std::string Wav(const Format& f, unsigned dataBytes)
{
    Bytes fmt;
    Put16(fmt, f.tag);
    Put16(fmt, f.channels);
    Put32(fmt, f.rate);
    Put32(fmt, f.avg);
    Put16(fmt, f.align);
    Put16(fmt, f.bits);
    Put16(fmt, (unsigned)f.extraWords.size() * 2);
    for (unsigned w : f.extraWords)
        Put16(fmt, w);
    Bytes body = {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '};
    Put32(body, (unsigned)fmt.size());
    body.insert(body.end(), fmt.begin(), fmt.end());
    body.insert(body.end(), {'d', 'a', 't', 'a'});
    Put32(body, dataBytes);
    for (unsigned i = 0; i < dataBytes; ++i)
        body.push_back((unsigned char)(i % 4 == 2 ? 10 : i * 7));  // IMA block headers: index 10
    Bytes file = {'R', 'I', 'F', 'F'};
    Put32(file, (unsigned)body.size());
    file.insert(file.end(), body.begin(), body.end());
    return std::string(file.begin(), file.end());
}

class HostileWavTest : public ::testing::Test {
protected:
    // Loads the file as the chart reader does (no streaming); returns CDSBuffer::Load's result.
    int LoadWav(const std::string& bytes)
    {
        std::string path = folder.Write("sound.wav", bytes);
        CDSBuffer buffer(&device);
        buffer.SetFileName(path.c_str());
        return buffer.Load(0);
    }
    TempFolder folder;
    FakeDirectSound device;
    DebugCapture capture;
};

// IMA ADPCM: 256-byte mono blocks hold 505 samples. A header that claims 63225 made the codec
// read 31 KB from every 256-byte block.
TEST_F(HostileWavTest, ImaAdpcmBlockClaimingMoreSamplesThanItHoldsIsRefused)
{
    EXPECT_EQ(0, LoadWav(Wav({0x11, 1, 8000, 4055, 256, 4, {505}}, 768)));
    capture.Clear();
    EXPECT_EQ(1, LoadWav(Wav({0x11, 1, 8000, 4055, 256, 4, {63225}}, 768)));
    EXPECT_TRUE(capture.Contains("CDSBuffer::LoadWav ACM SUGGEST ERROR\n")) << capture.All();
}

TEST_F(HostileWavTest, MsAdpcmBlockClaimingMoreSamplesThanItHoldsIsRefused)
{
    const std::vector<unsigned> coefficients = {256, 0, 512, 0xFF00, 0, 0, 192, 64, 240, 0, 460, 0xFF30, 392, 0xFF18};
    std::vector<unsigned> good = {500, 7};
    good.insert(good.end(), coefficients.begin(), coefficients.end());
    std::vector<unsigned> bad = {20000, 7};
    bad.insert(bad.end(), coefficients.begin(), coefficients.end());
    EXPECT_EQ(0, LoadWav(Wav({2, 1, 8000, 4096, 256, 4, good}, 512)));
    capture.Clear();
    EXPECT_EQ(1, LoadWav(Wav({2, 1, 8000, 4096, 256, 4, bad}, 512)));
    EXPECT_TRUE(capture.Contains("CDSBuffer::LoadWav ACM SUGGEST ERROR\n")) << capture.All();
}

// 16-bit PCM with a block alignment of 1: the PCM converter read one byte past the data.
TEST_F(HostileWavTest, PcmWhoseBlockAlignmentCannotHoldAFrameIsRefused)
{
    EXPECT_EQ(0, LoadWav(Wav({1, 1, 8000, 16000, 2, 16, {}}, 1920)));
    capture.Clear();
    EXPECT_EQ(1, LoadWav(Wav({1, 1, 8000, 147072, 1, 16, {}}, 1920)));
    EXPECT_TRUE(capture.Contains("CDSBuffer::LoadWav ACM SUGGEST ERROR\n")) << capture.All();
}

// An average of 0 bytes per second: Wine's PCM converter ended the process on an assertion.
TEST_F(HostileWavTest, SourceWithoutByteRateIsRefused)
{
    EXPECT_EQ(1, LoadWav(Wav({1, 1, 8000, 0, 2, 16, {}}, 1000)));
    EXPECT_TRUE(capture.Contains("CDSBuffer::LoadWav ACM SUGGEST ERROR\n")) << capture.All();
}

// 2^31 samples per second: the PCM byte rate wrapped round to 0 and the load divided by it.
TEST_F(HostileWavTest, RateWhosePcmDoesNotFitIn32BitsIsRefused)
{
    const std::vector<unsigned> coefficients = {256, 0, 512, 0xFF00, 0, 0, 192, 64, 240, 0, 460, 0xFF30, 392, 0xFF18};
    std::vector<unsigned> extra = {500, 7};
    extra.insert(extra.end(), coefficients.begin(), coefficients.end());
    EXPECT_EQ(1, LoadWav(Wav({2, 1, 0x80000000u, 4096, 256, 4, extra}, 768)));
    EXPECT_TRUE(capture.Contains("CDSBuffer::LoadWav ACM SUGGEST ERROR\n")) << capture.All();
}

// A streamed PCM sound whose header claims 4.29 GB per second: the source chunk of a two-second
// refill came out at about 4 GB and was allocated (the fuzzer's checked heap took ten seconds to
// fill it; a plain heap throws std::bad_alloc, which ends the program).
TEST_F(HostileWavTest, StreamWithAbsurdByteRateIsRefused)
{
    std::string path = folder.Write("stream.wav", Wav({1, 1, 8000, 0xFFFF3E80u, 2, 16, {}}, 3000));
    CDSBuffer buffer(&device);
    buffer.SetFileName(path.c_str());
    buffer.m_streamThreshold = 0;  // stream it however short it is
    EXPECT_EQ(1, buffer.Load(1));
    EXPECT_TRUE(capture.Contains("CDSBuffer::LoadWav Size(d2s)Get Error\n")) << capture.All();
    EXPECT_EQ(nullptr, buffer.m_srcChunk);
    // The same file with a true byte rate streams.
    path = folder.Write("stream_ok.wav", Wav({1, 1, 8000, 16000, 2, 16, {}}, 3000));
    CDSBuffer good(&device);
    good.SetFileName(path.c_str());
    good.m_streamThreshold = 0;
    EXPECT_EQ(0, good.Load(1));
    EXPECT_EQ(1, good.m_streaming);
}

// A chart of 5.4 million distinct note cells keeps the first 5 million notes and says so once.
TEST(HostileChartTest, ReaderKeepsAtMostTheEventBound)
{
    std::vector<std::string> lines = {"#BPM 120"};
    std::string cells;
    for (int k = 0; k < 900; ++k)
        cells += "01";
    for (int m = 0; m < 1000; ++m) {
        char head[16];
        snprintf(head, sizeof(head), "#%03d", m);
        for (const char* channel : {"HH:", "SD:", "BD:", "HT:", "LT:", "CY:"})
            lines.push_back(std::string(head) + channel + cells);
    }
    DebugCapture capture;
    LoadedChart loaded;
    EXPECT_EQ(1000, loaded.LoadLines(lines));
    const CChart& c = *loaded.chart;
    EXPECT_EQ((int32_t)kMaxChartEvents, c.drumNotes.count);
    ASSERT_EQ(1, c.tempos.count);  // the start tempo from the BPM header still goes in
    EXPECT_EQ(120.0, c.tempos.head->bpm);
    int reported = 0;
    for (const std::string& line : capture.Lines())
        reported += line == "CChart::Load TooManyEvents\n" ? 1 : 0;
    EXPECT_EQ(1, reported);
    // The chart is whole up to the bound: it compiles and builds its lanes.
    EXPECT_EQ(0, loaded.chart->Compile());
    ResetLanes();
    EXPECT_GT(BuildDrumLanes(loaded.chart), 0);
}

}  // namespace
