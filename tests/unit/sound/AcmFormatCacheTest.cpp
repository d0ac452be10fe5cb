// The remembered ACM suggestions must be the ACM's own answers, and a plain copy is only taken
// where the conversion is one.
#include <gtest/gtest.h>

#include <string.h>

#include "sound/AcmFormatCache.h"

namespace {

struct FormatBytes {
    WAVEFORMATEX format;
    BYTE extra[32];
};

FormatBytes Pcm(WORD channels, DWORD rate, WORD bits)
{
    FormatBytes f;
    memset(&f, 0, sizeof(f));
    f.format.wFormatTag = WAVE_FORMAT_PCM;
    f.format.nChannels = channels;
    f.format.nSamplesPerSec = rate;
    f.format.wBitsPerSample = bits;
    f.format.nBlockAlign = (WORD)(channels * bits / 8);
    f.format.nAvgBytesPerSec = rate * f.format.nBlockAlign;
    return f;
}

FormatBytes Ima(WORD channels, DWORD rate, WORD blockAlign)
{
    FormatBytes f;
    memset(&f, 0, sizeof(f));
    f.format.wFormatTag = WAVE_FORMAT_IMA_ADPCM;
    f.format.nChannels = channels;
    f.format.nSamplesPerSec = rate;
    f.format.wBitsPerSample = 4;
    f.format.nBlockAlign = blockAlign;
    WORD samplesPerBlock = (WORD)((blockAlign - 4 * channels) * 8 / (4 * channels) + 1);
    f.format.nAvgBytesPerSec = rate * blockAlign / samplesPerBlock;
    f.format.cbSize = 2;
    memcpy(f.extra, &samplesPerBlock, 2);
    return f;
}

void ExpectSameAsTheAcm(FormatBytes source)
{
    WAVEFORMATEX direct;
    memset(&direct, 0, sizeof(direct));
    direct.wFormatTag = WAVE_FORMAT_PCM;
    MMRESULT want = acmFormatSuggest(nullptr, &source.format, &direct, sizeof(direct), ACM_FORMATSUGGESTF_WFORMATTAG);
    for (int round = 0; round < 2; ++round) {  // asked, then remembered
        SCOPED_TRACE(round);
        WAVEFORMATEX cached;
        memset(&cached, 0, sizeof(cached));
        cached.wFormatTag = WAVE_FORMAT_PCM;
        ASSERT_EQ(want, SuggestPcmFormat(&source.format, &cached));
        if (want == MMSYSERR_NOERROR) {
            EXPECT_EQ(0, memcmp(&direct, &cached, sizeof(direct)));
        }
    }
}

}  // namespace

TEST(AcmFormatCacheTest, RemembersTheAcmsOwnAnswerPerSourceFormat)
{
    ExpectSameAsTheAcm(Pcm(2, 44100, 16));
    ExpectSameAsTheAcm(Pcm(1, 22050, 8));
    ExpectSameAsTheAcm(Ima(1, 44100, 1024));
    ExpectSameAsTheAcm(Ima(2, 22050, 1024));
    // Differs from the one above only in the extra bytes (samples per block): its own entry.
    FormatBytes odd = Ima(2, 22050, 1024);
    WORD fewer = 1000;
    memcpy(odd.extra, &fewer, 2);
    ExpectSameAsTheAcm(odd);
    ExpectSameAsTheAcm(Pcm(1, 8000, 12));  // a refusal is remembered as a refusal
}

TEST(AcmFormatCacheTest, PlainCopyOnlyBetweenEqualEightOrSixteenBitPcm)
{
    EXPECT_TRUE(IsPlainPcmCopy(Pcm(2, 44100, 16).format, Pcm(2, 44100, 16).format));
    EXPECT_TRUE(IsPlainPcmCopy(Pcm(1, 8000, 8).format, Pcm(1, 8000, 8).format));
    EXPECT_FALSE(IsPlainPcmCopy(Pcm(2, 44100, 16).format, Pcm(2, 22050, 16).format));
    EXPECT_FALSE(IsPlainPcmCopy(Pcm(2, 44100, 16).format, Pcm(1, 44100, 16).format));
    EXPECT_FALSE(IsPlainPcmCopy(Pcm(1, 8000, 8).format, Pcm(1, 8000, 16).format));
    EXPECT_FALSE(IsPlainPcmCopy(Pcm(1, 48000, 24).format, Pcm(1, 48000, 24).format));
    EXPECT_FALSE(IsPlainPcmCopy(Ima(1, 44100, 1024).format, Pcm(1, 44100, 16).format));
    FormatBytes badAlign = Pcm(2, 44100, 16);
    badAlign.format.nBlockAlign = 2;
    EXPECT_FALSE(IsPlainPcmCopy(badAlign.format, badAlign.format));
}
