// Where the score's pictures come from (rectangles of the 64 x 64 parts sheet, right and bottom
// exclusive) and where they go (left edges in score pixels; y grows downward).
#pragma once
#include <windows.h>

namespace ScoreLayout {

const int kPartsSheet = 0;
const int kBackgroundSheet = 1;

// Judge lines and the lowest y at which each kind of picture still fits in the 320-pixel score.
const int kDrumJudgeY = 305;    // drum and sound lanes scroll down towards it
const int kStringJudgeY = 10;   // guitar and bass scroll up towards it
const int kChipMaxY = 315;      // chips and the 4-pixel drum ruler lines
const int kThinLineMaxY = 316;  // the 1-pixel guitar/bass measure line
const int kDigitMaxY = 311;     // 8-pixel digits

// Chips.
const RECT kOpenChip = {12, 44, 43, 48};  // guitar/bass chord value 0
const RECT kChordBit4Chip = {0, 0, 11, 4};
const RECT kChordBit2Chip = {0, 4, 11, 8};
const RECT kChordBit1Chip = {0, 8, 11, 12};
const RECT kWChip = {0, 12, 11, 16};
const RECT kDrumChips[7] = {
    {0, 0, 0, 0},                                                   // lane 0: none
    {0, 16, 11, 20}, {0, 20, 11, 24}, {0, 24, 13, 28},              // HH, SD, BD
    {0, 28, 11, 32}, {0, 32, 11, 36}, {0, 36, 13, 40},              // HT, LT, CY
};
const RECT kSoundChipA = {0, 40, 11, 44};
const RECT kSoundChipB = {0, 44, 11, 48};

// Rulers.
const RECT kDrumMeasureLine = {0, 48, 64, 52};
const RECT kStringMeasureLine = {0, 51, 41, 52};
const RECT kDrumBeatLine = {0, 54, 64, 58};

// Digits 0..9, white on near-black, drawn opaque.
const RECT kDigits[10] = {
    {14, 1, 18, 9},  {21, 1, 25, 9},  {28, 1, 32, 9},  {34, 1, 39, 9},  {41, 1, 46, 9},
    {14, 11, 18, 19}, {21, 11, 25, 19}, {28, 11, 32, 19}, {34, 11, 39, 19}, {41, 11, 46, 19},
};

// Columns.
const int kDrumDigitX[4] = {0, 5, 10, 15};
const int kDrumRulerX = 22;
const int kDrumLaneX[7] = {0, 22, 32, 42, 54, 64, 74};  // index = lane 1..6
const int kGuitarDigitX[4] = {92, 97, 102, 107};
const int kGuitarLineX = 112;                          // measure line and open chip
const int kGuitarChipX[4] = {112, 122, 132, 142};      // bit 4, bit 2, bit 1, W
const int kBassDigitX[4] = {200, 205, 210, 215};
const int kBassLineX = 156;
const int kBassChipX[4] = {156, 166, 176, 186};

// Sound lanes 0..35: x of the chip (-1 = the lane has no column) and which chip picture.
// Lanes 1..9 and 16..25 (channels 01-09, 10-19) have columns of their own, lane 32 (channel 20)
// sits at 410, and the lettered channels (lanes 10..15, 26..31) share the right-hand column.
const int kSoundLaneX[36] = {
    -1,                                                    // 0
    220, 230, 240, 250, 260, 270, 280, 290, 300,           // 1..9
    420, 420, 420, 420, 420, 420,                          // 10..15
    310, 320, 330, 340, 350, 360, 370, 380, 390, 400,      // 16..25
    420, 420, 420, 420, 420, 420,                          // 26..31
    410,                                                   // 32
    -1, -1, -1,                                            // 33..35
};
inline const RECT* SoundChip(int lane)
{
    return ((lane >= 10 && lane <= 15) || (lane >= 26 && lane <= 31)) ? &kSoundChipB : &kSoundChipA;
}

// Owner tags: which lane started a sound.
const int kGuitarOwner = 100;
const int kBassOwner = 200;
const int kDrumOwnerBase = 500;    // + lane 1..6
const int kSoundOwnerBase = 1000;  // + lane 1..32

}  // namespace ScoreLayout
