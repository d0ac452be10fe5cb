// The KWD1 format itself: header checks, hand-built blocks decoded to known samples,
// and encode-decode round trips with their signal-to-noise figures.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "XaTestUtil.h"

using namespace xatest;

namespace {

void PutS16(uint8_t* p, int v)
{
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

// One channel of a 16-frame block: coefficients, history, a step index and 16 codes (-8..7).
void BuildChannel(uint8_t* p, const int (&c)[4], const int (&h)[4], int stepIndex, const int (&q)[16])
{
    for (int i = 0; i < 4; ++i) {
        PutS16(p + 2 * i, c[i]);
        PutS16(p + 8 + 2 * i, h[i]);
    }
    p[16] = static_cast<uint8_t>(stepIndex);
    for (int k = 0; k < 16; ++k) p[17 + k / 2] |= static_cast<uint8_t>((q[k] & 15) << ((k & 1) * 4));
}

std::vector<uint8_t> ValidHeader(uint32_t channels = 2, uint32_t rate = 44100, uint32_t frames = 5000,
                                 uint32_t blockFrames = 1024)
{
    XaInfo info;
    std::vector<uint8_t> h(XA_HEADER_BYTES);
    if (XaMakeInfo(&info, channels, rate, frames, blockFrames)) XaWriteHeader(h.data(), &info);
    return h;
}

void PutU32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

} // namespace

TEST(XaFormat, HandBuiltStereoBlockDecodesToTheDocumentedSamples)
{
    uint8_t block[2 * 25] = {0};
    ASSERT_EQ(sizeof(block), XaBlockBytes(2, 16));
    // Channel 0: x[n] = x[n-1] + q * 12 (step index 10), then a clamp at both ends.
    BuildChannel(block, {4096, 0, 0, 0}, {100, 0, 0, 0}, 10, {1, -2, 7, -8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    // Channel 1: linear extrapolation 2x[n-1] - x[n-2] from 10, 5 with no residual.
    BuildChannel(block + 25, {8192, -4096, 0, 0}, {10, 5, 0, 0}, 0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    int16_t out[32];
    ASSERT_EQ(1, XaDecodeBlock(block, 2, 16, 16, out));
    const int16_t left[6] = {112, 88, 172, 76, 76, 76};
    for (int n = 0; n < 6; ++n) EXPECT_EQ(left[n], out[2 * n]) << "left " << n;
    for (int n = 0; n < 16; ++n) EXPECT_EQ(15 + 5 * n, out[2 * n + 1]) << "right " << n;

    // Rounding: (c * h + 2048) >> 12 is a floor, so 0.5 * -2 gives -1 and 0.5 * -1 gives 0.
    uint8_t mono[25] = {0};
    BuildChannel(mono, {2048, 0, 0, 0}, {-2, 0, 0, 0}, 0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_EQ(1, XaDecodeBlock(mono, 1, 16, 16, out));
    EXPECT_EQ(-1, out[0]);
    EXPECT_EQ(0, out[1]);

    // Saturation: the largest step pushes past both ends of the 16-bit range.
    uint8_t loud[25] = {0};
    BuildChannel(loud, {4096, 0, 0, 0}, {32767, 0, 0, 0}, 63, {7, -8, -8, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_EQ(1, XaDecodeBlock(loud, 1, 16, 16, out));
    EXPECT_EQ(32767, out[0]);
    EXPECT_EQ(-32768, out[1]);
    EXPECT_EQ(-32768, out[2]);
    EXPECT_EQ(-32768 + 18820, out[3]);

    // A step index past the table is malformed.
    loud[16] = 64;
    EXPECT_EQ(0, XaDecodeBlock(loud, 1, 16, 16, out));
}

TEST(XaFormat, HeaderFieldsAndRefusals)
{
    XaInfo info;
    std::vector<uint8_t> h = ValidHeader(2, 44100, 5000, 1024);
    ASSERT_EQ(1, XaParseHeader(h.data(), &info));
    EXPECT_EQ(0, memcmp(h.data(), "KWD1", 4));
    EXPECT_EQ(2u, h[15]);
    EXPECT_EQ(5000u, info.frames);
    EXPECT_EQ(5u, info.blockCount);
    EXPECT_EQ(2u * (16 + 64 * 9), info.blockBytes);
    EXPECT_EQ(info.blockCount * info.blockBytes, info.dataSize);
    EXPECT_EQ(5000u - 4 * 1024, XaBlockOutputFrames(&info, 4));

    struct Case {
        const char* what;
        int offset;
        uint8_t value;
    } cases[] = {
        {"bad magic", 3, '2'},     {"channels 0", 15, 0},     {"channels 3", 15, 3}, {"version 2", 12, 2},
        {"reserved byte 13", 13, 1}, {"reserved byte 30", 30, 1}, {"block bytes", 22, 0},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bad = h;
        bad[c.offset] = c.value;
        EXPECT_EQ(0, XaParseHeader(bad.data(), &info)) << c.what;
    }
    const uint32_t rates[] = {7999, 48001, 0};
    for (uint32_t r : rates) {
        std::vector<uint8_t> bad = h;
        PutU32(bad.data() + 16, r);
        EXPECT_EQ(0, XaParseHeader(bad.data(), &info)) << "rate " << r;
    }
    const uint32_t blockFrames[] = {0, 8, 1000, 4096};
    for (uint32_t b : blockFrames) {
        std::vector<uint8_t> bad = h;
        bad[20] = static_cast<uint8_t>(b);
        bad[21] = static_cast<uint8_t>(b >> 8);
        EXPECT_EQ(0, XaParseHeader(bad.data(), &info)) << "block frames " << b;
    }
    // A data size that disagrees with the frame count (a cut or padded file).
    std::vector<uint8_t> bad = h;
    PutU32(bad.data() + 4, info.dataSize - info.blockBytes);
    EXPECT_EQ(0, XaParseHeader(bad.data(), &info));
    bad = h;
    PutU32(bad.data() + 8, 5121);
    EXPECT_EQ(0, XaParseHeader(bad.data(), &info));

    // Limits that are still fine: 8000 and 48000 Hz, mono, an empty sound.
    EXPECT_EQ(1, XaParseHeader(ValidHeader(1, 8000, 1, 16).data(), &info));
    EXPECT_EQ(1, XaParseHeader(ValidHeader(2, 48000, 0, 2048).data(), &info));
    EXPECT_EQ(0u, info.dataSize);
    // A sound whose 16-bit PCM would not fit in a 32-bit byte count.
    EXPECT_EQ(0, XaMakeInfo(&info, 2, 44100, 0x40000000u, 1024));
}

TEST(XaRoundTrip, SignalToNoiseOfTypicalSignals)
{
    ASSERT_TRUE(Dll().Ready());
    struct Case {
        const char* name;
        std::vector<int16_t> pcm;
        uint32_t channels, rate, blockFrames;
        double minSnr;
    };
    std::vector<int16_t> square(30000), clipped(22050);
    for (size_t i = 0; i < square.size(); ++i) square[i] = ((i / 50) % 2) ? 30000 : -30000;
    for (size_t i = 0; i < clipped.size(); ++i) clipped[i] = Sat(3.0 * 32767.0 * std::sin(2 * 3.14159265 * 220 * i / 22050));
    Case cases[] = {
        {"440 Hz tone, mono 44100", Tone(44100, 1, 44100, 440, 16000), 1, 44100, 1024, 55.0},
        {"1/2 kHz tones, stereo 48000", Tone(30001, 2, 48000, 1000, 20000), 2, 48000, 2048, 50.0},
        {"quiet 300 Hz tone, 8000", Tone(8000, 1, 8000, 300, 200), 1, 8000, 256, 45.0},
        {"white noise", Noise(22050, 1, 8000, 0.0, 1), 1, 22050, 1024, 20.0},
        {"red noise, stereo", Noise(22050, 2, 1500, 0.95, 2), 2, 22050, 512, 29.0},
        {"square 441 Hz, +-30000", square, 1, 44100, 1024, 25.0},
        {"clipped 220 Hz tone", clipped, 1, 22050, 64, 45.0},
    };
    for (const Case& c : cases) {
        const std::vector<uint8_t> file = Encode(c.pcm, c.channels, c.rate, c.blockFrames);
        ASSERT_FALSE(file.empty()) << c.name;
        const std::vector<int16_t> out = DecodeAll(file);
        ASSERT_EQ(c.pcm.size(), out.size()) << c.name; // exactly frames * channels samples
        const double snr = SnrDb(c.pcm, out);
        const double bits = (file.size() - XA_HEADER_BYTES) * 8.0 / c.pcm.size();
        std::printf("[ XA SNR   ] %-30s %6.2f dB (bound %4.1f), %.3f bits/sample\n", c.name, snr, c.minSnr, bits);
        EXPECT_GE(snr, c.minSnr) << c.name;
    }
}

TEST(XaRoundTrip, SilenceAndTinySoundsAreExact)
{
    ASSERT_TRUE(Dll().Ready());
    const std::vector<int16_t> silence(2 * 3000, 0);
    EXPECT_EQ(silence, DecodeAll(Encode(silence, 2, 22050)));
    // Small integers are coded exactly by the smallest step.
    std::vector<int16_t> small = {0, 1, -1, 3, 7, -8, 2, 0, 5};
    EXPECT_EQ(small, DecodeAll(Encode(small, 1, 11025, 16)));
    // One frame, and no frames at all. A lone first sample has no history to predict
    // from: it is one step of the coarse scale away at most (under 1/12 of its size).
    std::vector<int16_t> one = {1234, -4321};
    const std::vector<int16_t> oneOut = DecodeAll(Encode(one, 2, 8000));
    ASSERT_EQ(2u, oneOut.size());
    EXPECT_NEAR(1234, oneOut[0], 1234 / 12);
    EXPECT_NEAR(-4321, oneOut[1], 4321 / 12);
    const std::vector<uint8_t> empty = Encode(std::vector<int16_t>(), 1, 8000);
    ASSERT_EQ(static_cast<size_t>(XA_HEADER_BYTES), empty.size());
    EXPECT_TRUE(DecodeAll(empty).empty());
}
