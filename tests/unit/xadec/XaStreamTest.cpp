// xadec.dll as the viewer drives it: the exported calls, the output format, decoding in
// pieces, destinations too small for a block, sizes, and damaged input.
#include <gtest/gtest.h>

#include <cstring>

#include "XaTestUtil.h"

using namespace xatest;

namespace {

// A stereo sound of 5 blocks of 256 frames, the last one short.
struct Sample {
    std::vector<int16_t> pcm;
    std::vector<uint8_t> file;
    XaInfo info;
    Sample(uint32_t channels = 2, uint32_t frames = 4 * 256 + 100, uint32_t blockFrames = 256)
    {
        pcm = Noise(frames, channels, 3000, 0.9, 7);
        file = Encode(pcm, channels, 32000, blockFrames);
        XaParseHeader(file.data(), &info);
    }
    const uint8_t* data() const { return file.data() + XA_HEADER_BYTES; }
    DWORD dataSize() const { return static_cast<DWORD>(file.size() - XA_HEADER_BYTES); }
};

struct Handle {
    HXASTREAM h;
    explicit Handle(const uint8_t* header, WAVEFORMATEX* wfx = nullptr) : h(Dll().open(header, wfx)) {}
    ~Handle()
    {
        if (h) Dll().close(h);
        h = nullptr;
    }
};

BOOL Convert(HXASTREAM h, const uint8_t* src, DWORD srcLen, uint8_t* dst, DWORD dstLen, XASTREAMHEADER* req)
{
    *req = XASTREAMHEADER{};
    req->pSrc = const_cast<BYTE*>(src);
    req->nSrcLen = srcLen;
    req->pDst = dst;
    req->nDstLen = dstLen;
    return Dll().convert(h, req);
}

} // namespace

TEST(XaDll, ExportsThePlainNamesAndFillsThePcmFormat)
{
    ASSERT_TRUE(Dll().Ready()) << "xadec.dll or one of its four exports is missing";
    Sample s(2, 1000, 256);
    WAVEFORMATEX wfx;
    memset(&wfx, 0xCC, sizeof(wfx));
    Handle h(s.file.data(), &wfx);
    ASSERT_TRUE(h.h);
    EXPECT_EQ(WAVE_FORMAT_PCM, wfx.wFormatTag);
    EXPECT_EQ(2, wfx.nChannels);
    EXPECT_EQ(32000u, wfx.nSamplesPerSec);
    EXPECT_EQ(16, wfx.wBitsPerSample);
    EXPECT_EQ(4, wfx.nBlockAlign);
    EXPECT_EQ(128000u, wfx.nAvgBytesPerSec);
    EXPECT_EQ(0, wfx.cbSize);

    // Null handles and requests are refused, not followed.
    XASTREAMHEADER req = {};
    DWORD bytes = 0;
    EXPECT_FALSE(Dll().open(nullptr, &wfx));
    EXPECT_FALSE(Dll().size(nullptr, 100, &bytes));
    EXPECT_FALSE(Dll().size(h.h, 100, nullptr));
    EXPECT_FALSE(Dll().convert(nullptr, &req));
    EXPECT_FALSE(Dll().convert(h.h, nullptr));
    EXPECT_FALSE(Dll().close(nullptr));
    // A request that claims bytes behind a null pointer.
    EXPECT_FALSE(Convert(h.h, nullptr, s.dataSize(), nullptr, 0, &req));
}

TEST(XaDll, RefusesMalformedHeaders)
{
    ASSERT_TRUE(Dll().Ready());
    Sample s(1, 300, 64);
    const std::vector<uint8_t> good(s.file.begin(), s.file.begin() + XA_HEADER_BYTES);
    WAVEFORMATEX wfx = {};
    {
        Handle h(good.data(), &wfx);
        EXPECT_TRUE(h.h);
    }
    const struct {
        const char* what;
        int offset;
        uint8_t value;
    } edits[] = {{"magic", 0, 'k'},           {"channels 0", 15, 0},     {"channels 3", 15, 3},
                 {"version 0", 12, 0},        {"rate 7936", 17, 0x1F},   {"rate 97536", 18, 1},
                 {"block frames 17", 20, 17}, {"data size", 4, 1},       {"frame count 256", 8, 0}};
    for (const auto& e : edits) {
        std::vector<uint8_t> bad = good;
        bad[e.offset] = e.value;
        ASSERT_NE(good, bad) << e.what;
        Handle h(bad.data(), &wfx);
        EXPECT_FALSE(h.h) << e.what;
    }
    // A WAV file's first 32 bytes.
    const char riff[XA_HEADER_BYTES + 1] = "RIFF\x24\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x80\x3e\0\0";
    Handle wav(reinterpret_cast<const uint8_t*>(riff), &wfx);
    EXPECT_FALSE(wav.h);
}

TEST(XaDll, SizeMatchesWhatIsProduced)
{
    ASSERT_TRUE(Dll().Ready());
    Sample s;
    const DWORD B = s.info.blockBytes;
    // The whole data decodes to exactly frames * channels * 2 bytes.
    DWORD whole = 0;
    {
        Handle h(s.file.data());
        ASSERT_TRUE(Dll().size(h.h, s.dataSize(), &whole));
    }
    EXPECT_EQ(s.pcm.size() * 2, whole);

    // Source lengths: none, part of a block, whole blocks, a ragged end, the data twice
    // (a looping stream feeds the data again to the same handle).
    std::vector<uint8_t> twice(s.data(), s.data() + s.dataSize());
    twice.insert(twice.end(), s.data(), s.data() + s.dataSize());
    const DWORD lengths[] = {0, B - 1, B, 3 * B + 5, s.dataSize() - 1, s.dataSize(), 2 * s.dataSize()};
    for (DWORD len : lengths) {
        Handle h(s.file.data());
        DWORD predicted = 0xFFFFFFFF;
        ASSERT_TRUE(Dll().size(h.h, len, &predicted)) << len;
        std::vector<uint8_t> dst(2 * whole + 64);
        XASTREAMHEADER req;
        ASSERT_TRUE(Convert(h.h, twice.data(), len, dst.data(), static_cast<DWORD>(dst.size()), &req)) << len;
        EXPECT_EQ(predicted, req.nDstUsed) << len;
        EXPECT_EQ(len / B * B, req.nSrcUsed) << len;
    }
}

TEST(XaDll, PiecewiseDecodingEqualsOneCallAndLoopsSeamlessly)
{
    ASSERT_TRUE(Dll().Ready());
    Sample s;
    const std::vector<int16_t> reference = DecodeAll(s.file);
    ASSERT_EQ(s.pcm.size(), reference.size());
    const DWORD B = s.info.blockBytes;
    const DWORD blockPcm = s.info.blockFrames * s.info.channels * 2;

    std::mt19937 rng(12345);
    for (int round = 0; round < 20; ++round) {
        Handle h(s.file.data());
        ASSERT_TRUE(h.h);
        std::vector<uint8_t> out;
        // Two passes over the data, the way a looping stream rereads its file.
        for (int pass = 0; pass < 2; ++pass) {
            DWORD pos = 0;
            for (int calls = 0; pos < s.dataSize(); ++calls) {
                ASSERT_LT(calls, 1000) << "no progress";
                DWORD srcLen = std::uniform_int_distribution<DWORD>(0, 3 * B)(rng);
                if (srcLen > s.dataSize() - pos) srcLen = s.dataSize() - pos;
                const DWORD dstLen = std::uniform_int_distribution<DWORD>(0, 3 * blockPcm)(rng);
                std::vector<uint8_t> dst(dstLen + 16, 0xA5);
                XASTREAMHEADER req;
                ASSERT_TRUE(Convert(h.h, s.data() + pos, srcLen, dst.data(), dstLen, &req));
                ASSERT_LE(req.nSrcUsed, srcLen);
                ASSERT_LE(req.nDstUsed, dstLen);
                ASSERT_EQ(0u, req.nSrcUsed % B);
                for (DWORD i = dstLen; i < dst.size(); ++i) {
                    ASSERT_EQ(0xA5, dst[i]) << "wrote past nDstLen";
                }
                // Whenever a whole block and its output fit, something must happen.
                if (srcLen >= B && dstLen >= blockPcm) {
                    ASSERT_GT(req.nSrcUsed, 0u);
                }
                out.insert(out.end(), dst.begin(), dst.begin() + req.nDstUsed);
                pos += req.nSrcUsed;
            }
        }
        ASSERT_EQ(2 * reference.size() * 2, out.size());
        ASSERT_EQ(0, memcmp(out.data(), reference.data(), reference.size() * 2));
        ASSERT_EQ(0, memcmp(out.data() + reference.size() * 2, reference.data(), reference.size() * 2));
    }
}

TEST(XaDll, EmptySourcesAndSmallDestinations)
{
    ASSERT_TRUE(Dll().Ready());
    Sample s;
    const DWORD B = s.info.blockBytes;
    const DWORD blockPcm = s.info.blockFrames * s.info.channels * 2;
    Handle h(s.file.data());
    std::vector<uint8_t> dst(3 * blockPcm, 0x5A);
    XASTREAMHEADER req;

    // No source (also with no destination at all): success, nothing done.
    ASSERT_TRUE(Convert(h.h, s.data(), 0, dst.data(), blockPcm, &req));
    EXPECT_EQ(0u, req.nSrcUsed);
    EXPECT_EQ(0u, req.nDstUsed);
    ASSERT_TRUE(Convert(h.h, nullptr, 0, nullptr, 0, &req));
    // Less than a block of source: nothing consumed.
    ASSERT_TRUE(Convert(h.h, s.data(), B - 1, dst.data(), blockPcm, &req));
    EXPECT_EQ(0u, req.nSrcUsed);
    EXPECT_EQ(0u, req.nDstUsed);
    // A destination one byte short of a block: the block stays unconsumed, nothing written.
    ASSERT_TRUE(Convert(h.h, s.data(), s.dataSize(), dst.data(), blockPcm - 1, &req));
    EXPECT_EQ(0u, req.nSrcUsed);
    EXPECT_EQ(0u, req.nDstUsed);
    for (uint8_t b : dst) ASSERT_EQ(0x5A, b);
    // Room for one and a half blocks: exactly one block.
    ASSERT_TRUE(Convert(h.h, s.data(), s.dataSize(), dst.data(), blockPcm + blockPcm / 2, &req));
    EXPECT_EQ(B, req.nSrcUsed);
    EXPECT_EQ(blockPcm, req.nDstUsed);
    EXPECT_EQ(0x5A, dst[blockPcm]);

    // The last block is short: a destination that holds only its frames is enough.
    const DWORD lastPcm = XaBlockOutputFrames(&s.info, s.info.blockCount - 1) * s.info.channels * 2;
    ASSERT_LT(lastPcm, blockPcm);
    ASSERT_TRUE(Convert(h.h, s.data() + B, 3 * B, dst.data(), 3 * blockPcm, &req));
    ASSERT_EQ(3 * B, req.nSrcUsed);
    ASSERT_TRUE(Convert(h.h, s.data() + 4 * B, B, dst.data(), lastPcm, &req));
    EXPECT_EQ(B, req.nSrcUsed);
    EXPECT_EQ(lastPcm, req.nDstUsed);
}

TEST(XaDll, DamagedBlocksAreRefusedOrDecodedWithinBounds)
{
    ASSERT_TRUE(Dll().Ready());
    Sample s;
    const DWORD B = s.info.blockBytes;
    const std::vector<int16_t> reference = DecodeAll(s.file);
    const DWORD whole = static_cast<DWORD>(reference.size() * 2);

    // A step index out of range in block 2, channel 1: blocks 0 and 1 come out, then refusal.
    {
        std::vector<uint8_t> data(s.data(), s.data() + s.dataSize());
        data[2 * B + B / 2 + XA_CHANNEL_HEADER_BYTES] = 0x40;
        Handle h(s.file.data());
        std::vector<uint8_t> dst(whole, 0);
        XASTREAMHEADER req;
        EXPECT_FALSE(Convert(h.h, data.data(), s.dataSize(), dst.data(), whole, &req));
        EXPECT_EQ(2 * B, req.nSrcUsed);
        const DWORD twoBlocks = 2 * s.info.blockFrames * s.info.channels * 2;
        EXPECT_EQ(twoBlocks, req.nDstUsed);
        EXPECT_EQ(0, memcmp(dst.data(), reference.data(), twoBlocks));
        for (DWORD i = twoBlocks; i < whole; ++i) ASSERT_EQ(0, dst[i]) << "partial output of the bad block";
    }

    // Random damage anywhere in the data: either refused or decoded to the full length,
    // never a write past the destination.
    std::mt19937 rng(99);
    int refused = 0;
    for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> data(s.data(), s.data() + s.dataSize());
        const int hits = 1 + round % 8;
        for (int i = 0; i < hits; ++i)
            data[std::uniform_int_distribution<size_t>(0, data.size() - 1)(rng)] = static_cast<uint8_t>(rng());
        Handle h(s.file.data());
        std::vector<uint8_t> dst(whole + 16, 0xEE);
        XASTREAMHEADER req;
        const BOOL ok = Convert(h.h, data.data(), s.dataSize(), dst.data(), whole, &req);
        if (ok) {
            ASSERT_EQ(whole, req.nDstUsed);
        } else {
            ++refused;
            ASSERT_LT(req.nSrcUsed, s.dataSize());
        }
        for (DWORD i = whole; i < dst.size(); ++i) ASSERT_EQ(0xEE, dst[i]);
    }
    EXPECT_GT(refused, 0);
    EXPECT_LT(refused, 300);
}
