// Animated GIF files for tests and benchmarks: frames of one colour each
// from a fixed palette, a delay per frame, looping forever. Encoded with
// variable-width LZW as GIF89a requires, so that a frame of one colour
// packs into a few hundred bytes whatever its size.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace lumigrab::testing {

class GifBits {
public:
    void Put(unsigned code, int width)
    {
        bits_ |= uint64_t(code) << count_;
        count_ += width;
        while (count_ >= 8) {
            bytes_ += char(bits_ & 0xff);
            bits_ >>= 8;
            count_ -= 8;
        }
    }
    std::string Finish()
    {
        if (count_ > 0)
            bytes_ += char(bits_ & 0xff);
        return bytes_;
    }

private:
    std::string bytes_;
    uint64_t bits_ = 0;
    int count_ = 0;
};

// LZW of 8-bit pixel indexes, clearing the table before it is full.
inline std::string GifLzw(const std::vector<uint8_t>& pixels)
{
    constexpr int MinCodeSize = 8;
    constexpr unsigned Clear = 1u << MinCodeSize, End = Clear + 1;
    GifBits out;
    int width = MinCodeSize + 1;
    unsigned next = End + 1;
    std::unordered_map<uint32_t, unsigned> table;
    out.Put(Clear, width);
    unsigned prefix = pixels.empty() ? 0 : pixels[0];
    for (size_t i = 1; i < pixels.size(); ++i) {
        const uint32_t key = (prefix << 8) | pixels[i];
        if (const auto found = table.find(key); found != table.end()) {
            prefix = found->second;
            continue;
        }
        out.Put(prefix, width);
        if (next < 4094) {
            table.emplace(key, next++);
            if (next > (1u << width) && width < 12)
                ++width;
        } else {
            out.Put(Clear, width);
            table.clear();
            next = End + 1;
            width = MinCodeSize + 1;
        }
        prefix = pixels[i];
    }
    out.Put(prefix, width);
    out.Put(End, width);
    return out.Finish();
}

inline void PutShort(std::string& out, unsigned value)
{
    out += char(value & 0xff);
    out += char((value >> 8) & 0xff);
}

// frames frames of width x height, frame i all of palette colour i % 256
// (a grey ramp reversed and shifted so neighbours differ), delayCs
// hundredths of a second each; commentBytes of noise in a comment block
// make the file as long as a posted picture is (readers pass comments by).
inline std::string AnimatedGif(int width, int height, int frames, int delayCs = 10, int commentBytes = 0)
{
    std::string gif = "GIF89a";
    PutShort(gif, unsigned(width));
    PutShort(gif, unsigned(height));
    gif += char(0xF7);
    gif += '\0';
    gif += '\0';
    for (int i = 0; i < 256; ++i) {
        gif += char(i);
        gif += char(255 - i);
        gif += char((i * 7) & 0xff);
    }
    gif += std::string("\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00", 19);
    if (commentBytes > 0) {
        gif += "\x21\xFE";
        uint32_t noise = 2463534242u;
        for (int left = commentBytes; left > 0; left -= 255) {
            const int block = left < 255 ? left : 255;
            gif += char(block);
            for (int i = 0; i < block; ++i) {
                noise ^= noise << 13;
                noise ^= noise >> 17;
                noise ^= noise << 5;
                gif += char(noise & 0xff);
            }
        }
        gif += '\0';
    }
    for (int frame = 0; frame < frames; ++frame) {
        gif += std::string("\x21\xF9\x04\x04", 4);
        PutShort(gif, unsigned(delayCs));
        gif += std::string("\x00\x00", 2);
        gif += '\x2C';
        PutShort(gif, 0);
        PutShort(gif, 0);
        PutShort(gif, unsigned(width));
        PutShort(gif, unsigned(height));
        gif += '\0';
        gif += char(8);
        const std::string data
            = GifLzw(std::vector<uint8_t>(size_t(width) * size_t(height), uint8_t((frame * 37) & 0xff)));
        for (size_t at = 0; at < data.size(); at += 255) {
            const std::string block = data.substr(at, 255);
            gif += char(block.size());
            gif += block;
        }
        gif += '\0';
    }
    gif += '\x3B';
    return gif;
}

} // namespace lumigrab::testing
