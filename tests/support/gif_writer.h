// Animated GIF files for tests and benchmarks (Qt writes no GIF): frames of
// one palette colour each, looping, packed with variable-width LZW so that
// a frame of any size takes a few hundred bytes; commentBytes of noise in a
// comment block make the file as long as a posted picture.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace lumigrab::testing {

// The LZW codes of count pixels of one colour, clearing the table before
// it is full.
inline std::string GifLzw(size_t count, uint8_t colour)
{
    constexpr unsigned Clear = 256, End = 257;
    std::string out;
    uint64_t bits = 0;
    int held = 0, width = 9;
    const auto put = [&](unsigned code) {
        for (bits |= uint64_t(code) << held, held += width; held >= 8; bits >>= 8, held -= 8)
            out += char(bits & 0xff);
    };
    std::unordered_map<uint32_t, unsigned> table;
    unsigned next = End + 1, prefix = colour;
    put(Clear);
    for (size_t i = 1; i < count; ++i) {
        const uint32_t key = (prefix << 8) | colour;
        if (const auto found = table.find(key); found != table.end()) {
            prefix = found->second;
            continue;
        }
        put(prefix);
        if (next < 4094) {
            table.emplace(key, next++);
            width += next > (1u << width) && width < 12;
        } else {
            put(Clear);
            table.clear();
            next = End + 1;
            width = 9;
        }
        prefix = colour;
    }
    put(prefix);
    put(End);
    return held > 0 ? out + char(bits & 0xff) : out;
}

inline std::string AnimatedGif(int width, int height, int frames, int delayCs = 10, int commentBytes = 0)
{
    const auto two = [](int value) { return std::string { char(value & 0xff), char((value >> 8) & 0xff) }; };
    std::string gif = "GIF89a" + two(width) + two(height) + std::string("\xF7\0\0", 3);
    for (int i = 0; i < 256; ++i)
        gif += { char(i), char(255 - i), char((i * 7) & 0xff) };
    gif += std::string("\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00", 19);
    uint32_t noise = 2463534242u;
    for (int left = commentBytes, first = 1; left > 0; left -= 255, first = 0) {
        gif += first ? "\x21\xFE" : "";
        gif += char(left < 255 ? left : 255);
        for (int i = 0; i < std::min(left, 255); ++i, noise ^= noise << 13, noise ^= noise >> 17, noise ^= noise << 5)
            gif += char(noise & 0xff);
        gif += left <= 255 ? std::string(1, '\0') : "";
    }
    for (int frame = 0; frame < frames; ++frame) {
        gif += "\x21\xF9\x04\x04" + two(delayCs) + std::string("\0\0\x2C\0\0\0\0", 7) + two(width) + two(height)
            + std::string("\0\x08", 2);
        const std::string data = GifLzw(size_t(width) * size_t(height), uint8_t((frame * 37) & 0xff));
        for (size_t at = 0; at < data.size(); at += 255)
            gif += char(std::min<size_t>(255, data.size() - at)) + data.substr(at, 255);
        gif += '\0';
    }
    return gif + '\x3B';
}

} // namespace lumigrab::testing
