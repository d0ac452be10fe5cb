// The command-line grammar and the option value rules, as pure functions.
//
// Tokens are separated by spaces and tabs. A token that begins with '/' or '-' is an option: the
// next character is its letter (either case) and its value follows without a blank, up to the
// next space (a tab does not end an option token). The first other token starts the chart path,
// which is the whole rest of the line.
#pragma once
#include <stddef.h>

#define KTB_VALUE_SIZE 128  // value text: at most 127 characters (longer values are cut)

struct OptionToken {
    char letter;                // upper case; 0 when the token is a bare '/' or '-' at the end
    const char* afterLetter;    // the character right after the letter (N reads from here)
    char value[KTB_VALUE_SIZE]; // the characters after the letter up to the next space, cut to 127
};

// Skips spaces and tabs.
const char* SkipBlanks(const char* p);
// 1 when p points at an option token ('/' or '-').
int IsOptionStart(const char* p);
// Reads the option token at p (IsOptionStart(p) must hold). Returns the position after it.
const char* ReadOptionToken(const char* p, OptionToken* token);

// atoi semantics without its undefined overflow: leading white space, optional sign, decimal
// digits; anything else ends the number; no digits give 0. Out-of-range values saturate.
int ParseIntLikeAtoi(const char* text);
// Option M: empty -> 0.5; atof of the text; below the single-precision 0.1 or above 8.0 (or not a
// number) -> 0.5; then kept in whole hundredths, truncated; the result is hundredths x 0.01f.
float ParseSpeedOption(const char* text);
// The hundredths forwarded with WM_VIEWER_SPEED for a speed factor from ParseSpeedOption.
int SpeedToHundredths(float speed);
// Options X and Y: empty -> -1, else atoi.
int ParseCoordinateOption(const char* text);

// Copies the chart path (the rest of the line) into out (outSize bytes), cut to outSize - 1.
void CopyChartPath(char* out, size_t outSize, const char* rest);
// Removes one leading double quote, then one trailing double quote.
void RemoveQuotes(char* path, size_t size);
