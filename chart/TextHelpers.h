// Small byte-text helpers of the chart reader and the channel parser.
#pragma once
#include <stddef.h>

// 1 when text begins with keyword, compared after converting both to upper case; 0 when text is
// shorter than keyword.
int StartsWithNoCase(const char* text, const char* keyword);

// In-place cuts: every LF (CutAtLineFeed) or TAB (CutAtTab) becomes NUL.
void CutAtLineFeed(char* text);
void CutAtTab(char* text);

// Deletes every '_' and closes the gap.
void RemoveUnderscores(char* text);

int IsDecimalDigit(char c);  // 0-9
int IsHexDigit(char c);      // 0-9 A-F a-f
int IsBase36Digit(char c);   // 0-9 A-Z a-z

// Value of a hexadecimal or base-36 digit (either case); -1 for any other character.
int DigitValue(char c);

// 100 * first + 10 * second + third when the three characters are decimal digits, else -1.
int ParseMeasureNumber(const char* text);

// A Shift JIS lead byte: 0x81-0x9F or 0xE0-0xFC.
int IsDoubleByteLead(unsigned char c);

// Appends one backslash to directory unless it is empty, ends in '/' or ends in a backslash that is
// not the second byte of a double-byte character, then appends name. directory holds size bytes.
// When the result would not fit in size - 1 characters, directory is left unchanged and 0 is
// returned (the caller refuses the path rather than use a shortened one); 1 on success.
int AppendPathPart(char* directory, const char* name, size_t size = 260);

// directory := path up to and including its last backslash or '/' (empty when it has neither). When that
// part does not fit in size - 1 characters, directory becomes empty and 0 is returned.
int GetDirectoryPart(const char* path, char* directory, size_t size = 260);

// Copies at most maxChars characters of source into dest and terminates it (dest must hold
// maxChars + 1 bytes).
void CopyAtMost(char* dest, const char* source, size_t maxChars);
