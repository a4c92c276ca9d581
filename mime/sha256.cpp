#include "mime/sha256.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace lumigrab {

namespace {

constexpr std::array<uint32_t, 64> RoundConstants { 0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5,
    0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3,
    0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc,
    0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
    0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13,
    0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3,
    0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5,
    0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208,
    0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2 };

uint32_t BigEndianAt(const uint8_t* bytes)
{
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | uint32_t(bytes[3]);
}

} // namespace

void TSha256::Compress(const uint8_t* block)
{
    std::array<uint32_t, 64> w;
    for (size_t i = 0; i < 16; ++i)
        w[i] = BigEndianAt(block + 4 * i);
    for (size_t i = 16; i < 64; ++i) {
        const uint32_t s0 = std::rotr(w[i - 15], 7) ^ std::rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 = std::rotr(w[i - 2], 17) ^ std::rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    auto [a, b, c, d, e, f, g, h] = state_;
    for (size_t i = 0; i < 64; ++i) {
        const uint32_t s1 = std::rotr(e, 6) ^ std::rotr(e, 11) ^ std::rotr(e, 25);
        const uint32_t choice = (e & f) ^ (~e & g);
        const uint32_t t1 = h + s1 + choice + RoundConstants[i] + w[i];
        const uint32_t s0 = std::rotr(a, 2) ^ std::rotr(a, 13) ^ std::rotr(a, 22);
        const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + s0 + majority;
    }
    const std::array<uint32_t, 8> worked { a, b, c, d, e, f, g, h };
    for (size_t i = 0; i < 8; ++i)
        state_[i] += worked[i];
}

TSha256& TSha256::Update(std::string_view bytes)
{
    totalBytes_ += bytes.size();
    const auto* next = reinterpret_cast<const uint8_t*>(bytes.data());
    size_t left = bytes.size();
    if (blockUsed_ > 0) {
        const size_t taken = std::min(left, block_.size() - blockUsed_);
        std::memcpy(block_.data() + blockUsed_, next, taken);
        blockUsed_ += taken;
        next += taken;
        left -= taken;
        if (blockUsed_ < block_.size())
            return *this;
        Compress(block_.data());
        blockUsed_ = 0;
    }
    for (; left >= block_.size(); next += block_.size(), left -= block_.size())
        Compress(next);
    if (left > 0)
        std::memcpy(block_.data(), next, left);
    blockUsed_ = left;
    return *this;
}

TSha256Digest TSha256::Finish()
{
    const uint64_t bits = totalBytes_ * 8;
    // A one bit, zeros up to 8 bytes before a block's end, the length.
    std::array<uint8_t, 72> padding {};
    padding[0] = 0x80;
    const size_t zeros = (blockUsed_ < 56 ? 56 : 120) - blockUsed_;
    for (size_t i = 0; i < 8; ++i)
        padding[zeros + i] = uint8_t(bits >> (56 - 8 * i));
    Update(std::string_view(reinterpret_cast<const char*>(padding.data()), zeros + 8));
    TSha256Digest digest;
    for (size_t i = 0; i < 8; ++i) {
        for (size_t k = 0; k < 4; ++k)
            digest[4 * i + k] = uint8_t(state_[i] >> (24 - 8 * k));
    }
    return digest;
}

TSha256Digest Sha256(std::string_view bytes)
{
    return TSha256().Update(bytes).Finish();
}

} // namespace lumigrab
