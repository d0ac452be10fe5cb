// xaenc IN.wav OUT.xa: encodes a PCM WAV file (8 or 16 bit, mono or stereo,
// 8000..48000 Hz) into a KWD1 XA file.
#include <stdio.h>
#include <stdlib.h>

#include "wavfile.h"
#include "xacodec.h"

static uint8_t* ReadWholeFile(const char* path, size_t* size)
{
    *size = 0;
    FILE* f = fopen(path, "rb");
    if (!f) return NULL;
    size_t capacity = 1 << 16, used = 0;
    uint8_t* buffer = (uint8_t*)malloc(capacity);
    while (buffer) {
        if (used == capacity) {
            uint8_t* bigger = (uint8_t*)realloc(buffer, capacity * 2);
            if (!bigger) {
                free(buffer);
                buffer = NULL;
                break;
            }
            buffer = bigger;
            capacity *= 2;
        }
        const size_t n = fread(buffer + used, 1, capacity - used, f);
        used += n;
        if (n == 0) {
            if (ferror(f)) {
                free(buffer);
                buffer = NULL;
            }
            break;
        }
    }
    fclose(f);
    *size = used;
    return buffer;
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: xaenc IN.wav OUT.xa\n");
        return 2;
    }
    size_t size = 0;
    uint8_t* bytes = ReadWholeFile(argv[1], &size);
    if (!bytes) {
        fprintf(stderr, "xaenc: cannot read %s\n", argv[1]);
        return 1;
    }
    WavSound sound;
    char reason[160];
    const int parsed = WavParse(bytes, size, &sound, reason, sizeof(reason));
    free(bytes);
    bytes = NULL;
    if (!parsed) {
        fprintf(stderr, "xaenc: %s: %s\n", argv[1], reason);
        return 1;
    }
    uint8_t* file = NULL;
    size_t fileBytes = 0;
    const int encoded = XaEncode(sound.samples, sound.frames, sound.channels, sound.rate, XA_DEFAULT_BLOCK_FRAMES,
                                 &file, &fileBytes);
    WavFree(&sound);
    if (!encoded) {
        fprintf(stderr, "xaenc: %s: the sound cannot be encoded (too long?)\n", argv[1]);
        return 1;
    }
    FILE* out = fopen(argv[2], "wb");
    if (!out) {
        free(file);
        fprintf(stderr, "xaenc: cannot create %s\n", argv[2]);
        return 1;
    }
    const size_t written = fwrite(file, 1, fileBytes, out);
    const int closed = fclose(out);
    free(file);
    file = NULL;
    if (written != fileBytes || closed != 0) {
        remove(argv[2]);
        fprintf(stderr, "xaenc: cannot write %s\n", argv[2]);
        return 1;
    }
    printf("%s: %u frames, %u Hz, %u channel(s) -> %s (%lu bytes)\n", argv[1], (unsigned)sound.frames,
           (unsigned)sound.rate, (unsigned)sound.channels, argv[2], (unsigned long)fileBytes);
    return 0;
}
