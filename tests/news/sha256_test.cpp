#include "news/sha256.h"

#include <gtest/gtest.h>

#include <string>

#include "base/sysutils.h"

namespace lumigrab {
namespace {

std::string Hex(const TSha256Digest& digest)
{
    std::string text;
    for (const uint8_t byte : digest)
        text += Format("%02x", byte);
    return text;
}

struct DigestCase {
    std::string bytes;
    size_t split;
    const char* digest;
};

// FIPS 180-4's examples, whole and given in two pieces.
TEST(Sha256, KnownDigestsWholeOrInPieces)
{
    const DigestCase cases[] = {
        { "", 0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855" },
        { "abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad" },
        { "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 55,
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1" },
    };
    for (const DigestCase& c : cases) {
        EXPECT_EQ(Hex(Sha256(c.bytes)), c.digest) << c.bytes;
        const std::string_view bytes = c.bytes;
        EXPECT_EQ(Hex(TSha256().Update(bytes.substr(0, c.split)).Update(bytes.substr(c.split)).Finish()), c.digest)
            << c.bytes << " split at " << c.split;
    }
}

} // namespace
} // namespace lumigrab
