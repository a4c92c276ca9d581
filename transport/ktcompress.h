// zlib streams for compressed news connections: the whole connection as one
// raw deflate stream each way (RFC 8054 COMPRESS DEFLATE), and one data
// block sent as a zlib or gzip stream (XFEATURE COMPRESS GZIP).
//
// The inflater never gives more than the caller's limit in one step, so that
// the line reader checks its bounds before more of a stream that inflates
// far past them (a few kilobytes can hold gigabytes) is unpacked.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace lumigrab {

class TReceiveBuffer;

class TktInflater {
public:
    enum class TFormat {
        // Raw deflate (RFC 1951), as COMPRESS DEFLATE sends.
        Raw,
        // A zlib (RFC 1950) or gzip (RFC 1952) stream, told by its header;
        // a stream that starts with neither is taken as raw deflate.
        Wrapped,
    };

    explicit TktInflater(TFormat format);
    ~TktInflater();
    TktInflater(const TktInflater&) = delete;
    TktInflater& operator=(const TktInflater&) = delete;

    // Keeps the bytes until Inflate has used them.
    void Feed(std::string_view bytes);
    // Whether what was fed may still give output: bytes not yet used, or
    // output the last limit held back. Never after a failure.
    bool HasWork() const;
    // Appends at most limit inflated bytes to out. Once the stream has
    // ended, the bytes fed after it are appended as they are (a reply that
    // follows a compressed block). False when the bytes are no valid
    // stream; Failure() then says why, and nothing more is inflated.
    bool Inflate(TReceiveBuffer& out, size_t limit);
    bool Ended() const;
    const std::string& Failure() const;

private:
    struct Private;
    std::unique_ptr<Private> d_;
};

class TktDeflater {
public:
    // Raw deflate (RFC 1951).
    TktDeflater();
    ~TktDeflater();
    TktDeflater(const TktDeflater&) = delete;
    TktDeflater& operator=(const TktDeflater&) = delete;

    // The bytes compressed and flushed (Z_SYNC_FLUSH), so that the peer can
    // inflate every one of them before anything more is sent.
    std::string Deflate(std::string_view bytes);

private:
    struct Private;
    std::unique_ptr<Private> d_;
};

} // namespace lumigrab
