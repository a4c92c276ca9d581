#include "mime/mscrc32.h"

#include <gtest/gtest.h>

#include "tests/support/test_util.h"

namespace lumigrab {
namespace {

TEST(Crc32, CheckValueAndPiecesForEveryImplementation)
{
    const std::string bytes = RandomBytes(5000, 3);
    const uint32_t whole = Crc32Implementations().back().update(0, bytes);
    for (const Crc32Implementation& crc : Crc32Implementations()) {
        EXPECT_EQ(crc.update(0, "123456789"), 0xCBF43926u) << crc.name;
        EXPECT_EQ(crc.update(0, ""), 0u) << crc.name;
        EXPECT_EQ(crc.update(0, bytes), whole) << crc.name;
        // Lengths around each implementation's block sizes.
        for (size_t size : { 1, 15, 16, 63, 64, 127, 128, 129, 255, 256, 257, 1000, 4097 }) {
            const std::string_view part = std::string_view(bytes).substr(0, size);
            const uint32_t expected = Crc32Implementations().back().update(0, part);
            EXPECT_EQ(crc.update(0, part), expected) << crc.name << " " << size;
            EXPECT_EQ(crc.update(crc.update(0, part.substr(0, size / 3)), part.substr(size / 3)), expected)
                << crc.name << " " << size;
        }
    }
}

} // namespace
} // namespace lumigrab
