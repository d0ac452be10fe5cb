#include "app/CommandLine.h"

#include <limits.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

const char* SkipBlanks(const char* p)
{
    while (*p == ' ' || *p == '\t')
        ++p;
    return p;
}

int IsOptionStart(const char* p) { return *p == '/' || *p == '-'; }

const char* ReadOptionToken(const char* p, OptionToken* token)
{
    ++p;  // '/' or '-'
    token->value[0] = '\0';
    token->letter = 0;
    token->afterLetter = p;
    if (*p == '\0' || *p == ' ')
        return p;  // a lone '/' or '-': no letter, ignored by the caller
    char letter = *p++;
    if (letter >= 'a' && letter <= 'z')
        letter = (char)(letter - 'a' + 'A');
    token->letter = letter;
    token->afterLetter = p;
    size_t n = 0;
    while (*p != '\0' && *p != ' ') {
        if (n < KTB_VALUE_SIZE - 1)
            token->value[n++] = *p;
        ++p;
    }
    token->value[n] = '\0';
    return p;
}

int ParseIntLikeAtoi(const char* text)
{
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f')
        ++p;
    int negative = 0;
    if (*p == '+' || *p == '-')
        negative = (*p++ == '-');
    long long v = 0;
    while (*p >= '0' && *p <= '9') {
        if (v <= (long long)INT_MAX + 1)
            v = v * 10 + (*p - '0');
        ++p;
    }
    if (negative)
        v = -v;
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return (int)v;
}

float ParseSpeedOption(const char* text)
{
    double v = 0.5;
    if (text[0] != '\0') {
        v = strtod(text, nullptr);
        // The lower bound is the single-precision 0.1 (0.100000001490116), so "0.1" itself is below it.
        // Written as "not inside" so that a NaN also falls back to 0.5.
        if (!(v >= (double)0.1f && v <= 8.0))
            v = 0.5;
    }
    int hundredths = (int)(v * 100.0);
    return (float)(hundredths * 0.01f);
}

int SpeedToHundredths(float speed)
{
    // Rounded, not truncated: the single-precision factor of some hundredths (e.g. 0.57f) lies just
    // below its decimal value, and truncation would forward one hundredth less than was set here.
    return (int)floor((double)speed * 100.0 + 0.5);
}

int ParseCoordinateOption(const char* text)
{
    if (text[0] == '\0')
        return -1;
    return ParseIntLikeAtoi(text);
}

void CopyChartPath(char* out, size_t outSize, const char* rest)
{
    if (outSize == 0)
        return;
    memset(out, 0, outSize);
    size_t len = strlen(rest);
    if (len > outSize - 1)
        len = outSize - 1;
    memcpy(out, rest, len);
}

void RemoveQuotes(char* path, size_t size)
{
    if (size == 0)
        return;
    path[size - 1] = '\0';
    size_t len = strlen(path);
    if (len > 0 && path[0] == '"') {
        memmove(path, path + 1, len);  // the terminator moves along
        --len;
    }
    if (len > 0 && path[len - 1] == '"')
        path[len - 1] = '\0';
}
