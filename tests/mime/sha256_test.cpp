#include "mime/sha256.h"

#include <gtest/gtest.h>

#include <openssl/sha.h>

#include <string>

#include "base/sysutils.h"
#include "tests/support/test_util.h"

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
    const char* digest;
};

// The examples of FIPS 180-4 and its test vectors.
TEST(Sha256, KnownDigests)
{
    const DigestCase cases[] = {
        { "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855" },
        { "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad" },
        { "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1" },
        { "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmn"
          "opqrst"
          "nopqrstu",
            "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1" },
        { std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0" },
    };
    for (const DigestCase& c : cases)
        EXPECT_EQ(Hex(Sha256(c.bytes)), c.digest) << c.bytes.substr(0, 20);
}

// Every length around the block and padding boundaries, whole and in two
// pieces, against OpenSSL's digest.
TEST(Sha256, SameAsOpenSslWholeOrInPieces)
{
    const std::string bytes = RandomBytes(300, 9);
    for (size_t size = 0; size <= bytes.size(); ++size) {
        const std::string_view text = std::string_view(bytes).substr(0, size);
        TSha256Digest expected;
        SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), expected.data());
        EXPECT_EQ(Hex(Sha256(text)), Hex(expected)) << size;
        for (const size_t split : { size / 3, size - size / 7 })
            EXPECT_EQ(Hex(TSha256().Update(text.substr(0, split)).Update(text.substr(split)).Finish()),
                Hex(expected))
                << size << " split at " << split;
    }
}

} // namespace
} // namespace lumigrab
