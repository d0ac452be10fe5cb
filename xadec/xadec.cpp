// xadec.dll: the four exported calls, a thin layer over the stream decoder in xacodec.
#include "xadec.h"

#include "xacodec.h"

extern "C" {

XADEC_API HXASTREAM __cdecl xaDecodeOpen(const BYTE* header, WAVEFORMATEX* dst)
{
    XaStream* stream = XaStreamOpen(header);
    if (!stream) return NULL;
    const XaInfo* info = XaStreamInfo(stream);
    if (dst) {
        dst->wFormatTag = WAVE_FORMAT_PCM;
        dst->nChannels = (WORD)info->channels;
        dst->nSamplesPerSec = info->rate;
        dst->wBitsPerSample = 16;
        dst->nBlockAlign = (WORD)(info->channels * 2);
        dst->nAvgBytesPerSec = info->rate * info->channels * 2;
        dst->cbSize = 0;
    }
    return stream;
}

XADEC_API BOOL __cdecl xaDecodeSize(HXASTREAM stream, DWORD srcBytes, DWORD* dstBytes)
{
    if (!stream || !dstBytes) return FALSE;
    uint32_t bytes = 0;
    if (!XaStreamSize(static_cast<XaStream*>(stream), srcBytes, &bytes)) return FALSE;
    *dstBytes = bytes;
    return TRUE;
}

XADEC_API BOOL __cdecl xaDecodeConvert(HXASTREAM stream, XASTREAMHEADER* request)
{
    if (!stream || !request) return FALSE;
    uint32_t srcUsed = 0, dstUsed = 0;
    const int ok = XaStreamConvert(static_cast<XaStream*>(stream), request->pSrc, request->nSrcLen, &srcUsed,
                                   request->pDst, request->nDstLen, &dstUsed);
    request->nSrcUsed = srcUsed;
    request->nDstUsed = dstUsed;
    return ok ? TRUE : FALSE;
}

XADEC_API BOOL __cdecl xaDecodeClose(HXASTREAM stream)
{
    if (!stream) return FALSE;
    XaStreamClose(static_cast<XaStream*>(stream));
    return TRUE;
}

} // extern "C"
