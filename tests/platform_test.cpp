// The tool's texts are code page 936 bytes handed to the 8-bit calls;
// they only read right where the ANSI code page is 936, so the test
// environment must really be that.
#include <windows.h>

#include <gtest/gtest.h>

TEST(Platform, AnsiCodePageIs936) { EXPECT_EQ(936u, GetACP()); }

TEST(Platform, GbkBytesBecomeTheIntendedCharacters) {
  wchar_t wide[8] = {};
  // "检测中" as code page 936 bytes.
  int n = MultiByteToWideChar(CP_ACP, 0, "\xBC\xEC\xB2\xE2\xD6\xD0", -1, wide, 8);
  ASSERT_EQ(4, n);
  EXPECT_EQ(0x68C0, wide[0]);
  EXPECT_EQ(0x6D4B, wide[1]);
  EXPECT_EQ(0x4E2D, wide[2]);
}
