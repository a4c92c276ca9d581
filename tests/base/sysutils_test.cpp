#include "base/sysutils.h"

#include <gtest/gtest.h>

using namespace lumigrab;

TEST(StrToIntTest, ReadsDecimalSignedAndHexadecimal)
{
    struct Case {
        const char* text;
        std::optional<int32_t> value;
    } cases[] = {
        { "0", 0 },
        { "123", 123 },
        { "-45", -45 },
        { "+7", 7 },
        { " 12", 12 },
        { "$1F", 31 },
        { "$ff", 255 },
        { "2147483647", 2147483647 },
        { "-2147483648", INT32_MIN },
        { "$FFFFFFFF", -1 },
        { "", std::nullopt },
        { "-", std::nullopt },
        { "12a", std::nullopt },
        { "12 ", std::nullopt },
        { "2147483648", std::nullopt },
        { "$", std::nullopt },
        { "0x10", std::nullopt },
        { "99999999999", std::nullopt },
    };
    for (const Case& c : cases)
        EXPECT_EQ(TryStrToInt(c.text), c.value) << c.text;
}

TEST(TrimTest, RemovesControlCharactersAndBlanksOnly)
{
    EXPECT_EQ(Trim("\t\r\n  a b \x01"), "a b");
    EXPECT_EQ(Trim("\x80x\xff"), "\x80x\xff");
    EXPECT_EQ(Trim("   "), "");
}
