// Shared by the tests of multi-part posts: an independent writer of the
// parts, which the joining is checked against, and a fixture with a file to
// post and a place for its partial file.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/sysutils.h"
#include "mime/mscrc32.h"
#include "tests/support/random_bytes.h"
#include "tests/support/scratch_folder.h"

namespace lumigrab::testing {

inline std::string Hex(uint32_t value)
{
    return Format("%08x", value);
}

// One yEnc part of data (bytes begin..begin+size of the file), CR LF lines.
inline std::string YEncPart(const std::string& name, const std::string& file, int part, int total,
    size_t begin, size_t size, const std::string& pcrcOverride = "")
{
    const std::string piece = file.substr(begin, size);
    std::string text = "=ybegin part=" + std::to_string(part) + " total=" + std::to_string(total)
        + " line=128 size=" + std::to_string(file.size()) + " name=" + name + "\r\n";
    text += "=ypart begin=" + std::to_string(begin + 1) + " end=" + std::to_string(begin + size) + "\r\n";
    std::string line;
    for (const char byte : piece) {
        const auto c = static_cast<unsigned char>(static_cast<unsigned char>(byte) + 42);
        if (c == 0 || c == '\n' || c == '\r' || c == '=' || (line.empty() && c == '.')) {
            line += '=';
            line += char(c + 64);
        } else {
            line += char(c);
        }
        if (line.size() >= 128) {
            text += line + "\r\n";
            line.clear();
        }
    }
    if (!line.empty())
        text += line + "\r\n";
    const std::string pcrc = pcrcOverride.empty() ? Hex(Crc32(0, piece)) : pcrcOverride;
    text += "=yend size=" + std::to_string(size) + " part=" + std::to_string(part) + " pcrc32=" + pcrc
        + " crc32=" + Hex(Crc32(0, file)) + "\r\n";
    return text;
}

inline std::string Article(const std::string& subject, const std::string& body)
{
    return "Subject: " + subject + "\r\nFrom: poster@test\r\nLines: 200\r\n\r\n" + body;
}

// The file the parts of a post carry, and where the join writes it.
class PostFileTest : public ::testing::Test {
protected:
    ScratchFolder root;
    std::string partial = (root.Path() / "post.part").string();
    std::string file = RandomBytes(10000, 7);
};

} // namespace lumigrab::testing
