#include "platform/TextConversion.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace veltcam::platform {
namespace {

TEST(TextConversion, RoundTripsAsciiWithTerminator) {
    char narrow[16];
    ASSERT_TRUE(WideToNarrow(L"mask_01.bin", narrow, sizeof narrow));
    EXPECT_STREQ(narrow, "mask_01.bin");
    wchar_t wide[16];
    ASSERT_TRUE(NarrowToWide(narrow, wide, 16));
    EXPECT_EQ(std::wstring(wide), L"mask_01.bin");
}

TEST(TextConversion, FailsInsteadOfTruncating) {
    char narrow[5];
    std::memset(narrow, 'x', sizeof narrow);
    EXPECT_TRUE(WideToNarrow(L"abcd", narrow, 5));  // 4 characters + terminator fit exactly
    EXPECT_FALSE(WideToNarrow(L"abcde", narrow, 5));
    wchar_t wide[4];
    EXPECT_TRUE(NarrowToWide("abc", wide, 4));
    EXPECT_FALSE(NarrowToWide("abcd", wide, 4));
    EXPECT_FALSE(WideToNarrow(L"a", narrow, 0));
}

TEST(TextConversion, LongPathsNeedTheirWholeLength) {
    std::wstring path(1022, L'p');
    char buffer[1024];
    EXPECT_TRUE(WideToNarrow(path.c_str(), buffer, 1023));
    path.push_back(L'q');
    EXPECT_FALSE(WideToNarrow(path.c_str(), buffer, 1023));
}

#ifndef _WIN32
TEST(TextConversion, LinuxNarrowSideIsUtf8AndRejectsMalformedInput) {
    char narrow[16];
    ASSERT_TRUE(WideToNarrow(L"\u00e9\u65e5", narrow, sizeof narrow));
    EXPECT_STREQ(narrow, "\xc3\xa9\xe6\x97\xa5");
    wchar_t wide[8];
    ASSERT_TRUE(NarrowToWide("\xc3\xa9\xe6\x97\xa5", wide, 8));
    EXPECT_EQ(std::wstring(wide), L"\u00e9\u65e5");
    EXPECT_FALSE(NarrowToWide("\xc3", wide, 8));          // cut sequence
    EXPECT_FALSE(NarrowToWide("\xc0\xaf", wide, 8));      // overlong '/'
    EXPECT_FALSE(NarrowToWide("\xed\xa0\x80", wide, 8));  // surrogate
    const wchar_t lone[] = {static_cast<wchar_t>(0xD800), 0};
    EXPECT_FALSE(WideToNarrow(lone, narrow, sizeof narrow));
}
#endif

}  // namespace
}  // namespace veltcam::platform
