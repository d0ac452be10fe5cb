// The path helpers and sound ids; the other text helpers are covered through the reader tests.
#include <gtest/gtest.h>

#include <string>

#include "chart/CChart.h"
#include "chart/TextHelpers.h"

TEST(TextHelpers, SoundIdsFromTwoCharacters)
{
    EXPECT_EQ(1, CChart::SoundIdFromText("01"));
    EXPECT_EQ(10, CChart::SoundIdFromText("0a"));
    EXPECT_EQ(10, CChart::SoundIdFromText("0A"));
    EXPECT_EQ(575, CChart::SoundIdFromText("FZ"));
    EXPECT_EQ(0, CChart::SoundIdFromText("G0"));   // 16 * 36 = 576 is out of range
    EXPECT_EQ(36, CChart::SoundIdFromText("1!"));  // any other character counts as 0
    EXPECT_EQ(0, CChart::SoundIdFromText("1"));
}

TEST(TextHelpers, PathJoiningAndDirectoryPart)
{
    char dir[260] = "C:\\songs";
    EXPECT_EQ(1, AppendPathPart(dir, "kick.wav"));
    EXPECT_STREQ("C:\\songs\\kick.wav", dir);

    char slash[260] = "C:\\songs\\";
    AppendPathPart(slash, "a.wav");
    EXPECT_STREQ("C:\\songs\\a.wav", slash);

    char empty[260] = "";
    AppendPathPart(empty, "a.wav");
    EXPECT_STREQ("a.wav", empty);

    // "\x95\x5c" is one double-byte character whose second byte is a backslash.
    char sjis[260] = "C:\\\x95\x5c";
    AppendPathPart(sjis, "a.wav");
    EXPECT_STREQ("C:\\\x95\x5c\\a.wav", sjis);

    char out[260];
    GetDirectoryPart("C:\\songs\\one.ktb", out);
    EXPECT_STREQ("C:\\songs\\", out);
    GetDirectoryPart("one.ktb", out);
    EXPECT_STREQ("", out);
    GetDirectoryPart("a/b\\c.ktb", out);  // the last separator of either kind
    EXPECT_STREQ("a/b\\", out);
    GetDirectoryPart("a\\b/c.ktb", out);
    EXPECT_STREQ("a\\b/", out);
}

TEST(TextHelpers, PathJoiningRefusesWhatDoesNotFit)
{
    char dir[260];
    std::string d(250, 'd');
    snprintf(dir, sizeof(dir), "%s", d.c_str());
    EXPECT_EQ(1, AppendPathPart(dir, "12345678"));  // 250 + 1 + 8 = 259 characters fit
    EXPECT_EQ(259u, strlen(dir));
    snprintf(dir, sizeof(dir), "%s", d.c_str());
    EXPECT_EQ(0, AppendPathPart(dir, "123456789"));  // 260 would not
    EXPECT_EQ(d, std::string(dir));                  // unchanged
}
