// The KWD1 ADPCM codec. See FORMAT.md for the format this code reads and writes.
#include "xacodec.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

// Quantiser steps: 1..7, then 8 * 2^((i - 7) / 5) rounded (about 1.2 dB apart).
static const int32_t g_xaStepTable[XA_STEP_COUNT] = {
    1,    2,    3,    4,    5,    6,    7,    8,    9,    11,   12,   14,   16,    18,    21,    24,
    28,   32,   37,   42,   49,   56,   64,   74,   84,   97,   111,  128,  147,   169,   194,   223,
    256,  294,  338,  388,  446,  512,  588,  676,  776,  891,  1024, 1176, 1351,  1552,  1783,  2048,
    2353, 2702, 3104, 3566, 4096, 4705, 5405, 6208, 7132, 8192, 9410, 10809, 12417, 14263, 16384, 18820};

static const uint8_t kMagic[4] = {'K', 'W', 'D', '1'};

static uint32_t ReadU32(const uint8_t* p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

static uint32_t ReadU16(const uint8_t* p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8);
}

static int32_t ReadS16(const uint8_t* p)
{
    return (int16_t)(uint16_t)(p[0] | (p[1] << 8));
}

static void WriteU32(uint8_t* p, uint32_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

static void WriteU16(uint8_t* p, uint32_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

static int32_t Clamp16(int64_t v)
{
    if (v < -32768) return -32768;
    if (v > 32767) return 32767;
    return (int32_t)v;
}

// Prediction from the four latest samples (h[0] the latest), coefficients in Q12.
// The shift of a negative sum is a floor division by 4096 (arithmetic shift).
static int64_t Predict(const int32_t* c, const int32_t* h)
{
    int64_t sum = (int64_t)c[0] * h[0] + (int64_t)c[1] * h[1] + (int64_t)c[2] * h[2] + (int64_t)c[3] * h[3];
    sum += 2048;
    return sum >= 0 ? sum >> 12 : -((-sum + 4095) >> 12);
}

static void PushHistory(int32_t* h, int32_t v)
{
    h[3] = h[2];
    h[2] = h[1];
    h[1] = h[0];
    h[0] = v;
}

uint32_t XaBlockBytes(uint32_t channels, uint32_t blockFrames)
{
    if (channels < 1 || channels > 2) return 0;
    if (blockFrames < XA_MIN_BLOCK_FRAMES || blockFrames > XA_MAX_BLOCK_FRAMES || blockFrames % XA_SLICE_FRAMES)
        return 0;
    return channels * (XA_CHANNEL_HEADER_BYTES + blockFrames / XA_SLICE_FRAMES * XA_SLICE_BYTES);
}

int XaMakeInfo(XaInfo* info, uint32_t channels, uint32_t rate, uint32_t frames, uint32_t blockFrames)
{
    if (!info) return 0;
    uint32_t blockBytes = XaBlockBytes(channels, blockFrames);
    if (!blockBytes || rate < XA_MIN_RATE || rate > XA_MAX_RATE) return 0;
    // The decoded length (frames * channels * 2) must be a 32-bit byte count.
    if ((uint64_t)frames * channels * 2 > 0xFFFFFFFFull) return 0;
    uint64_t blocks = ((uint64_t)frames + blockFrames - 1) / blockFrames;
    uint64_t dataSize = blocks * blockBytes;
    if (dataSize > 0xFFFFFFFFull) return 0;
    info->dataSize = (uint32_t)dataSize;
    info->frames = frames;
    info->rate = rate;
    info->channels = channels;
    info->blockFrames = blockFrames;
    info->blockBytes = blockBytes;
    info->blockCount = (uint32_t)blocks;
    return 1;
}

void XaWriteHeader(uint8_t header[XA_HEADER_BYTES], const XaInfo* info)
{
    memset(header, 0, XA_HEADER_BYTES);
    memcpy(header, kMagic, 4);
    WriteU32(header + 4, info->dataSize);
    WriteU32(header + 8, info->frames);
    header[12] = XA_VERSION;
    header[15] = (uint8_t)info->channels;
    WriteU32(header + 16, info->rate);
    WriteU16(header + 20, info->blockFrames);
    WriteU16(header + 22, info->blockBytes);
}

int XaParseHeader(const uint8_t* header, XaInfo* info)
{
    if (!header || !info) return 0;
    if (memcmp(header, kMagic, 4) != 0) return 0;
    if (header[12] != XA_VERSION || header[13] != 0 || header[14] != 0) return 0;
    for (int i = 24; i < XA_HEADER_BYTES; ++i)
        if (header[i] != 0) return 0;
    XaInfo parsed;
    if (!XaMakeInfo(&parsed, header[15], ReadU32(header + 16), ReadU32(header + 8), ReadU16(header + 20)))
        return 0;
    // The stored block size and data size must be the ones the shape gives.
    if (ReadU16(header + 22) != parsed.blockBytes || ReadU32(header + 4) != parsed.dataSize) return 0;
    *info = parsed;
    return 1;
}

uint32_t XaBlockOutputFrames(const XaInfo* info, uint32_t index)
{
    if (index >= info->blockCount) return 0;
    if (index + 1 < info->blockCount) return info->blockFrames;
    return info->frames - index * info->blockFrames;
}

// ---------------------------------------------------------------------------------------------
// Decoding

static int BlockIsWellFormed(const uint8_t* block, uint32_t channels, uint32_t blockFrames)
{
    const uint32_t slices = blockFrames / XA_SLICE_FRAMES;
    for (uint32_t ch = 0; ch < channels; ++ch) {
        const uint8_t* s = block + ch * (XA_CHANNEL_HEADER_BYTES + slices * XA_SLICE_BYTES) + XA_CHANNEL_HEADER_BYTES;
        for (uint32_t i = 0; i < slices; ++i, s += XA_SLICE_BYTES)
            if (s[0] >= XA_STEP_COUNT) return 0;
    }
    return 1;
}

int XaDecodeBlock(const uint8_t* block, uint32_t channels, uint32_t blockFrames, uint32_t outFrames, int16_t* out)
{
    if (!block || !out || !XaBlockBytes(channels, blockFrames) || outFrames > blockFrames) return 0;
    if (!BlockIsWellFormed(block, channels, blockFrames)) return 0;
    const uint32_t slices = blockFrames / XA_SLICE_FRAMES;
    const uint32_t channelBytes = XA_CHANNEL_HEADER_BYTES + slices * XA_SLICE_BYTES;
    for (uint32_t ch = 0; ch < channels; ++ch) {
        const uint8_t* p = block + ch * channelBytes;
        int32_t c[XA_ORDER], h[XA_ORDER];
        for (int i = 0; i < XA_ORDER; ++i) {
            c[i] = ReadS16(p + 2 * i);
            h[i] = ReadS16(p + 8 + 2 * i);
        }
        p += XA_CHANNEL_HEADER_BYTES;
        uint32_t n = 0;
        for (uint32_t s = 0; s < slices && n < outFrames; ++s, p += XA_SLICE_BYTES) {
            const int32_t step = g_xaStepTable[p[0]];
            for (uint32_t k = 0; k < XA_SLICE_FRAMES && n < outFrames; ++k, ++n) {
                const int32_t nibble = (p[1 + k / 2] >> ((k & 1) * 4)) & 15;
                const int32_t q = nibble >= 8 ? nibble - 16 : nibble;
                const int32_t v = Clamp16(Predict(c, h) + (int64_t)q * step);
                out[n * channels + ch] = (int16_t)v;
                PushHistory(h, v);
            }
        }
    }
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Encoding

namespace {

struct Candidate {
    int32_t c[XA_ORDER];
};

// Levinson-Durbin on r[0..order]; a[1..order] predict x[n] from x[n-1..n-order].
// Returns 0 when the recursion breaks down.
int Levinson(const double* r, int order, double* a)
{
    double err = r[0];
    double tmp[XA_ORDER + 1];
    for (int i = 0; i <= order; ++i) a[i] = 0.0;
    if (!(err > 0.0)) return 0;
    for (int i = 1; i <= order; ++i) {
        double acc = r[i];
        for (int j = 1; j < i; ++j) acc -= a[j] * r[i - j];
        const double k = acc / err;
        if (!(k > -1.0 && k < 1.0)) return 0;
        for (int j = 0; j <= order; ++j) tmp[j] = a[j];
        a[i] = k;
        for (int j = 1; j < i; ++j) a[j] = tmp[j] - k * tmp[i - j];
        err *= 1.0 - k * k;
        if (!(err > 0.0)) return 0;
    }
    return 1;
}

// Linear predictor of the given order for x[0..n-1], where x[-XA_ORDER..-1] are readable.
int LpcCandidate(const int32_t* x, uint32_t n, int order, Candidate* out)
{
    double r[XA_ORDER + 1] = {0};
    const int32_t* start = x - XA_ORDER;
    const uint32_t len = n + XA_ORDER;
    for (int lag = 0; lag <= order; ++lag) {
        double acc = 0.0;
        for (uint32_t i = (uint32_t)lag; i < len; ++i) acc += (double)start[i] * start[i - lag];
        r[lag] = acc;
    }
    if (r[0] <= 0.0) return 0;
    // A little white noise and a lag window keep the predictor robust against
    // the quantisation noise in the decoded history it works on.
    r[0] *= 1.0 + 1e-4;
    for (int lag = 1; lag <= order; ++lag) r[lag] *= exp(-0.5 * (0.01 * lag) * (0.01 * lag));
    double a[XA_ORDER + 1];
    if (!Levinson(r, order, a)) return 0;
    for (int i = 0; i < XA_ORDER; ++i) {
        double v = i < order ? floor(a[i + 1] * 4096.0 + 0.5) : 0.0;
        if (v > 32767.0) v = 32767.0;
        if (v < -32768.0) v = -32768.0;
        out->c[i] = (int32_t)v;
    }
    return 1;
}

int32_t Quantise(int64_t e, int32_t step)
{
    int64_t q = e >= 0 ? (e + step / 2) / step : -((-e + step / 2) / step);
    if (q > 7) q = 7;
    if (q < -8) q = -8;
    return (int32_t)q;
}

// Squared error of coding one slice with the given step, stopping once it exceeds limit.
uint64_t TrySlice(const int32_t* x, uint32_t count, const int32_t* c, const int32_t* hist, int32_t step,
                  uint64_t limit)
{
    int32_t h[XA_ORDER] = {hist[0], hist[1], hist[2], hist[3]};
    uint64_t err = 0;
    for (uint32_t k = 0; k < XA_SLICE_FRAMES; ++k) {
        const int64_t p = Predict(c, h);
        const int32_t target = k < count ? x[k] : 0;
        const int32_t v = Clamp16(p + (int64_t)Quantise(target - p, step) * step);
        if (k < count) {
            const int64_t d = (int64_t)target - v;
            err += (uint64_t)(d * d);
            if (err >= limit) return err;
        }
        PushHistory(h, v);
    }
    return err;
}

// Codes one channel of one block with the predictor c. x holds `count` real samples
// (the rest of the block is padding). hist is the decoded history, updated. Writes the
// channel's bytes to out and returns the squared error.
uint64_t EncodeChannel(const int32_t* x, uint32_t count, uint32_t blockFrames, const int32_t* c, int32_t* hist,
                       uint8_t* out)
{
    for (int i = 0; i < XA_ORDER; ++i) {
        WriteU16(out + 2 * i, (uint32_t)(uint16_t)(int16_t)c[i]);
        WriteU16(out + 8 + 2 * i, (uint32_t)(uint16_t)(int16_t)hist[i]);
    }
    uint8_t* p = out + XA_CHANNEL_HEADER_BYTES;
    uint64_t total = 0;
    for (uint32_t base = 0; base < blockFrames; base += XA_SLICE_FRAMES, p += XA_SLICE_BYTES) {
        const int32_t* xs = x + base;
        uint32_t real = count > base ? count - base : 0;
        if (real > XA_SLICE_FRAMES) real = XA_SLICE_FRAMES;
        // First guess at the step from the open-loop residual, then a search of every
        // step outward from it, each try cut short once it is worse than the best.
        int32_t h[XA_ORDER] = {hist[0], hist[1], hist[2], hist[3]};
        int64_t peak = 0;
        for (uint32_t k = 0; k < real; ++k) {
            int64_t e = xs[k] - Predict(c, h);
            if (e < 0) e = -e;
            if (e > peak) peak = e;
            PushHistory(h, xs[k]);
        }
        int guess = 0;
        while (guess < XA_STEP_COUNT - 1 && (int64_t)g_xaStepTable[guess] * 15 < peak * 2) ++guess;
        int best = guess;
        uint64_t bestErr = TrySlice(xs, real, c, hist, g_xaStepTable[guess], UINT64_MAX);
        for (int d = 1; d < XA_STEP_COUNT && bestErr > 0; ++d) {
            int tried = 0;
            for (int sign = -1; sign <= 1; sign += 2) {
                const int s = guess + sign * d;
                if (s < 0 || s >= XA_STEP_COUNT) continue;
                tried = 1;
                const uint64_t e = TrySlice(xs, real, c, hist, g_xaStepTable[s], bestErr);
                if (e < bestErr) {
                    bestErr = e;
                    best = s;
                }
            }
            if (!tried) break;
        }
        // Code the slice for real with the chosen step.
        const int32_t step = g_xaStepTable[best];
        p[0] = (uint8_t)best;
        memset(p + 1, 0, XA_SLICE_BYTES - 1);
        for (uint32_t k = 0; k < XA_SLICE_FRAMES; ++k) {
            const int64_t pred = Predict(c, hist);
            const int32_t target = k < real ? xs[k] : 0;
            const int32_t q = Quantise(target - pred, step);
            const int32_t v = Clamp16(pred + (int64_t)q * step);
            p[1 + k / 2] |= (uint8_t)((q & 15) << ((k & 1) * 4));
            PushHistory(hist, v);
        }
        total += bestErr;
    }
    return total;
}

} // namespace

int XaEncode(const int16_t* pcm, uint32_t frames, uint32_t channels, uint32_t rate, uint32_t blockFrames,
             uint8_t** file, size_t* fileBytes)
{
    if (!file || !fileBytes || (frames && !pcm)) return 0;
    *file = NULL;
    *fileBytes = 0;
    XaInfo info;
    if (!XaMakeInfo(&info, channels, rate, frames, blockFrames)) return 0;
    const size_t total = (size_t)XA_HEADER_BYTES + info.dataSize;
    uint8_t* buffer = (uint8_t*)malloc(total);
    // Per channel: XA_ORDER samples of look-back for the analysis, then the block.
    int32_t* x = (int32_t*)malloc(sizeof(int32_t) * (XA_ORDER + blockFrames));
    const uint32_t channelBytes = info.blockBytes / channels;
    uint8_t* trial = (uint8_t*)malloc(channelBytes);
    if (!buffer || !x || !trial) {
        free(buffer);
        free(x);
        free(trial);
        return 0;
    }
    XaWriteHeader(buffer, &info);
    int32_t hist[2][XA_ORDER] = {{0}};
    for (uint32_t b = 0; b < info.blockCount; ++b) {
        const uint32_t first = b * blockFrames;
        const uint32_t count = XaBlockOutputFrames(&info, b);
        uint8_t* block = buffer + XA_HEADER_BYTES + (size_t)b * info.blockBytes;
        for (uint32_t ch = 0; ch < channels; ++ch) {
            for (uint32_t i = 0; i < XA_ORDER + blockFrames; ++i) {
                const int64_t f = (int64_t)first + i - XA_ORDER;
                x[i] = (f >= 0 && f < (int64_t)frames) ? pcm[(size_t)f * channels + ch] : 0;
            }
            const int32_t* samples = x + XA_ORDER;
            // Candidates: the order-4 and order-2 linear predictors of the block and no
            // prediction at all; the one with the least coding error is kept.
            Candidate candidates[3];
            int n = 0;
            if (LpcCandidate(samples, count, 4, &candidates[n])) ++n;
            if (LpcCandidate(samples, count, 2, &candidates[n])) ++n;
            memset(&candidates[n], 0, sizeof(candidates[n]));
            ++n;
            uint8_t* dst = block + ch * channelBytes;
            uint64_t bestErr = UINT64_MAX;
            int32_t bestHist[XA_ORDER] = {0};
            for (int i = 0; i < n; ++i) {
                int32_t h[XA_ORDER] = {hist[ch][0], hist[ch][1], hist[ch][2], hist[ch][3]};
                const uint64_t e = EncodeChannel(samples, count, blockFrames, candidates[i].c, h, trial);
                if (e < bestErr) {
                    bestErr = e;
                    memcpy(dst, trial, channelBytes);
                    memcpy(bestHist, h, sizeof(h));
                }
            }
            memcpy(hist[ch], bestHist, sizeof(bestHist));
        }
    }
    free(x);
    free(trial);
    *file = buffer;
    *fileBytes = total;
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Stream decoder

struct XaStream {
    uint32_t tag;
    XaInfo info;
    uint32_t nextBlock; // block number within the data; wraps to 0 after the last
    int16_t pcm[XA_MAX_BLOCK_FRAMES * 2];
};

static const uint32_t kStreamTag = 0x31445758u; // "XWD1"

static int StreamValid(const XaStream* s)
{
    return s && s->tag == kStreamTag;
}

XaStream* XaStreamOpen(const uint8_t* header)
{
    XaInfo info;
    if (!XaParseHeader(header, &info)) return NULL;
    XaStream* s = (XaStream*)calloc(1, sizeof(XaStream));
    if (!s) return NULL;
    s->tag = kStreamTag;
    s->info = info;
    s->nextBlock = 0;
    return s;
}

const XaInfo* XaStreamInfo(const XaStream* stream)
{
    return StreamValid(stream) ? &stream->info : NULL;
}

int XaStreamSize(const XaStream* stream, uint32_t srcBytes, uint32_t* dstBytes)
{
    if (!StreamValid(stream) || !dstBytes) return 0;
    const XaInfo* in = &stream->info;
    const uint64_t blocks = srcBytes / in->blockBytes;
    uint64_t frames = 0;
    if (in->blockCount) {
        // Whole passes of the data, then the blocks of a part pass from the start.
        const uint64_t passes = blocks / in->blockCount;
        const uint64_t rest = blocks % in->blockCount;
        frames = passes * in->frames + rest * in->blockFrames;
    }
    const uint64_t bytes = frames * in->channels * 2;
    if (bytes > 0xFFFFFFFFull) return 0;
    *dstBytes = (uint32_t)bytes;
    return 1;
}

int XaStreamConvert(XaStream* stream, const uint8_t* src, uint32_t srcLen, uint32_t* srcUsed, uint8_t* dst,
                    uint32_t dstLen, uint32_t* dstUsed)
{
    if (srcUsed) *srcUsed = 0;
    if (dstUsed) *dstUsed = 0;
    if (!StreamValid(stream) || !srcUsed || !dstUsed) return 0;
    if ((srcLen && !src) || (dstLen && !dst)) return 0;
    const XaInfo* in = &stream->info;
    uint32_t used = 0, written = 0;
    while (srcLen - used >= in->blockBytes) {
        if (in->blockCount == 0) return 0; // an empty sound has no blocks to decode
        const uint32_t frames = XaBlockOutputFrames(in, stream->nextBlock);
        const uint32_t bytes = frames * in->channels * 2;
        if (bytes > dstLen - written) break;
        if (!XaDecodeBlock(src + used, in->channels, in->blockFrames, frames, stream->pcm)) {
            *srcUsed = used;
            *dstUsed = written;
            return 0;
        }
        uint8_t* out = dst + written;
        for (uint32_t i = 0; i < frames * in->channels; ++i) {
            const uint16_t v = (uint16_t)stream->pcm[i];
            out[2 * i] = (uint8_t)v;
            out[2 * i + 1] = (uint8_t)(v >> 8);
        }
        used += in->blockBytes;
        written += bytes;
        if (++stream->nextBlock >= in->blockCount) stream->nextBlock = 0;
    }
    *srcUsed = used;
    *dstUsed = written;
    return 1;
}

void XaStreamClose(XaStream* stream)
{
    if (!stream) return;
    stream->tag = 0;
    free(stream);
}
