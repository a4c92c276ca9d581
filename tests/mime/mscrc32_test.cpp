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

TEST(Crc32, CombineEqualsTheCrcOfTheJoinedBytes)
{
    const std::string bytes = RandomBytes(70000, 5);
    const std::string_view all(bytes);
    for (size_t split : { size_t(0), size_t(1), size_t(7), size_t(4096), size_t(65537), bytes.size() }) {
        const uint32_t front = Crc32(0, all.substr(0, split));
        const uint32_t back = Crc32(0, all.substr(split));
        EXPECT_EQ(Crc32Combine(front, back, bytes.size() - split), Crc32(0, all)) << split;
    }
    // Joined piece by piece, as the parts of a post arrive.
    uint32_t joined = 0;
    for (size_t offset = 0; offset < bytes.size(); offset += 9999) {
        const std::string_view piece = all.substr(offset, 9999);
        joined = Crc32Combine(joined, Crc32(0, piece), piece.size());
    }
    EXPECT_EQ(joined, Crc32(0, all));
}

} // namespace
} // namespace lumigrab
