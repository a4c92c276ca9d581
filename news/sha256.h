// SHA-256 digests, for keys that stand for long texts and for telling files
// apart by their bytes: two texts with the same digest are not to be found.
// OpenSSL's libcrypto computes them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>

namespace lumigrab {

using TSha256Digest = std::array<uint8_t, 32>;

// The digest of bytes given in pieces: Update(a), Update(b) digests a + b.
class TSha256 {
public:
    TSha256();
    ~TSha256();
    TSha256(const TSha256&) = delete;
    TSha256& operator=(const TSha256&) = delete;

    TSha256& Update(std::string_view bytes);
    // The digest of everything given; the object is spent.
    TSha256Digest Finish();

private:
    struct TContext;
    std::unique_ptr<TContext> context_;
};

TSha256Digest Sha256(std::string_view bytes);

} // namespace lumigrab
