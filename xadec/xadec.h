// xadec.dll: the XA sound decoder. The viewer binds these four calls at run time
// (LoadLibraryA + GetProcAddress), so it still runs when the library is missing.
#pragma once
#include <windows.h>
#include <mmreg.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(XADEC_BUILD)
#define XADEC_API __declspec(dllexport)
#else
#define XADEC_API
#endif

// One decode request. The decoder fills in the two "Used" fields.
typedef struct XASTREAMHEADER {
    BYTE* pSrc;      // encoded bytes
    DWORD nSrcLen;   // bytes available at pSrc (may be 0)
    DWORD nSrcUsed;  // set by the decoder: bytes consumed (whole blocks only)
    BYTE* pDst;      // PCM output area
    DWORD nDstLen;   // bytes available at pDst
    DWORD nDstUsed;  // set by the decoder: bytes written (never more than nDstLen)
} XASTREAMHEADER;

typedef void* HXASTREAM;

// header: the 32 bytes at the start of the file. Fills dst as 16-bit PCM. Null on failure.
XADEC_API HXASTREAM __cdecl xaDecodeOpen(const BYTE* header, WAVEFORMATEX* dst);
// Non-zero on success; *dstBytes = PCM bytes that srcBytes of encoded data decode to.
XADEC_API BOOL __cdecl xaDecodeSize(HXASTREAM stream, DWORD srcBytes, DWORD* dstBytes);
// Non-zero on success. The stream carries its decoding state from call to call.
XADEC_API BOOL __cdecl xaDecodeConvert(HXASTREAM stream, XASTREAMHEADER* request);
XADEC_API BOOL __cdecl xaDecodeClose(HXASTREAM stream);

typedef HXASTREAM(__cdecl* PFN_xaDecodeOpen)(const BYTE*, WAVEFORMATEX*);
typedef BOOL(__cdecl* PFN_xaDecodeSize)(HXASTREAM, DWORD, DWORD*);
typedef BOOL(__cdecl* PFN_xaDecodeConvert)(HXASTREAM, XASTREAMHEADER*);
typedef BOOL(__cdecl* PFN_xaDecodeClose)(HXASTREAM);

#ifdef __cplusplus
}
#endif
