#include "chart/TextHelpers.h"

#include <string.h>

static char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c; }

int StartsWithNoCase(const char* text, const char* keyword)
{
    size_t i = 0;
    for (; keyword[i] != '\0'; ++i) {
        if (text[i] == '\0')
            return 0;
        if (UpperAscii(text[i]) != UpperAscii(keyword[i]))
            return 0;
    }
    return 1;
}

void CutAtLineFeed(char* text)
{
    for (; *text; ++text)
        if (*text == '\n')
            *text = '\0';
}

void CutAtTab(char* text)
{
    for (; *text; ++text)
        if (*text == '\t')
            *text = '\0';
}

void RemoveUnderscores(char* text)
{
    char* out = strchr(text, '_');
    if (!out)
        return;
    for (const char* in = out; *in; ++in)
        if (*in != '_')
            *out++ = *in;
    *out = '\0';
}

int IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }

int IsHexDigit(char c) { return IsDecimalDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

int IsBase36Digit(char c) { return IsDecimalDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

int DigitValue(char c)
{
    if (IsDecimalDigit(c))
        return c - '0';
    char u = UpperAscii(c);
    if (u >= 'A' && u <= 'Z')
        return u - 'A' + 10;
    return -1;
}

int ParseMeasureNumber(const char* text)
{
    if (!IsDecimalDigit(text[0]) || !IsDecimalDigit(text[1]) || !IsDecimalDigit(text[2]))
        return -1;
    return 100 * (text[0] - '0') + 10 * (text[1] - '0') + (text[2] - '0');
}

int IsDoubleByteLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

int AppendPathPart(char* directory, const char* name, size_t size)
{
    size_t dirLength = strlen(directory);
    int needSeparator = 0;
    if (dirLength > 0) {
        needSeparator = 1;
        if (directory[dirLength - 1] == '\\') {
            // A backslash that is the trail byte of a double-byte character is no separator.
            int isTrailByte = dirLength >= 2 && IsDoubleByteLead((unsigned char)directory[dirLength - 2]);
            needSeparator = isTrailByte;
        } else if (directory[dirLength - 1] == '/') {
            needSeparator = 0;  // never a trail byte (those are 0x40 and above)
        }
    }
    size_t nameLength = strlen(name);
    if (dirLength + (size_t)needSeparator + nameLength + 1 > size)
        return 0;
    char* out = directory + dirLength;
    if (needSeparator)
        *out++ = '\\';
    memcpy(out, name, nameLength + 1);
    return 1;
}

int GetDirectoryPart(const char* path, char* directory, size_t size)
{
    // Windows takes '/' as a separator as well as the backslash: the folder ends at the last of either.
    const char* lastSlash = strrchr(path, '\\');
    const char* lastForward = strrchr(path, '/');
    if (lastForward && (!lastSlash || lastForward > lastSlash))
        lastSlash = lastForward;
    directory[0] = '\0';
    if (!lastSlash)
        return 1;
    size_t length = (size_t)(lastSlash - path) + 1;
    if (length + 1 > size)
        return 0;
    memcpy(directory, path, length);
    directory[length] = '\0';
    return 1;
}

void CopyAtMost(char* dest, const char* source, size_t maxChars)
{
    size_t i = 0;
    for (; i < maxChars && source[i] != '\0'; ++i)
        dest[i] = source[i];
    dest[i] = '\0';
}
