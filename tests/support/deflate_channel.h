// A scripted server's side of compressed news connections: a channel that
// turns into one raw deflate stream each way once the server has answered
// 206 (COMPRESS DEFLATE, RFC 8054), and zlib streams for data blocks.
#pragma once

#include <zlib.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tests/support/script_server.h"

namespace lumigrab::testing {

// windowBits as zlib takes them: 15 a zlib stream, 15 + 16 gzip, -15 raw
// deflate.
inline std::string Compressed(std::string_view bytes, int windowBits = 15)
{
    z_stream z {};
    if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    std::string out(deflateBound(&z, uLong(bytes.size())) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    z.avail_in = uInt(bytes.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.resize(out.size() - z.avail_out);
    deflateEnd(&z);
    return out;
}

// The channel's state for one connection.
class DeflatingChannel {
public:
    explicit DeflatingChannel(const ByteChannel& inner)
        : inner_(inner)
    {
    }

    ~DeflatingChannel()
    {
        if (on_) {
            inflateEnd(&in_);
            deflateEnd(&out_);
        }
    }

    ByteChannel Channel()
    {
        return { [this](char* buffer, size_t size) { return Read(buffer, size); },
            [this](std::string_view bytes) { return Write(bytes); } };
    }

private:
    const ByteChannel& inner_;
    bool on_ = false;
    z_stream in_ {};
    z_stream out_ {};
    std::string inflated_;

    void SwitchOn()
    {
        inflateInit2(&in_, -15);
        deflateInit2(&out_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
        on_ = true;
    }

    bool Write(std::string_view bytes)
    {
        if (!on_) {
            const bool written = inner_.write(bytes);
            if (bytes.starts_with("206"))
                SwitchOn();
            return written;
        }
        std::string out(deflateBound(&out_, uLong(bytes.size())) + 64, '\0');
        out_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
        out_.avail_in = uInt(bytes.size());
        out_.next_out = reinterpret_cast<Bytef*>(out.data());
        out_.avail_out = uInt(out.size());
        deflate(&out_, Z_SYNC_FLUSH);
        out.resize(out.size() - out_.avail_out);
        return inner_.write(out);
    }

    long Read(char* buffer, size_t size)
    {
        if (!on_)
            return inner_.read(buffer, size);
        char raw[4096];
        while (inflated_.empty()) {
            const long count = inner_.read(raw, sizeof raw);
            if (count <= 0)
                return count;
            in_.next_in = reinterpret_cast<Bytef*>(raw);
            in_.avail_in = uInt(count);
            while (in_.avail_in > 0) {
                char out[16384];
                in_.next_out = reinterpret_cast<Bytef*>(out);
                in_.avail_out = sizeof out;
                if (inflate(&in_, Z_SYNC_FLUSH) < 0)
                    return -1;
                inflated_.append(out, sizeof out - in_.avail_out);
            }
        }
        const size_t count = std::min(size, inflated_.size());
        inflated_.copy(buffer, count);
        inflated_.erase(0, count);
        return long(count);
    }
};

// Wraps what a channel opener gives into a DeflatingChannel.
inline ChannelOpener DeflatingAfter206(ChannelOpener inner = ScriptServer::PlainChannel)
{
    return [inner](int client, const std::function<void(const ByteChannel&)>& converse) {
        inner(client, [&](const ByteChannel& channel) {
            DeflatingChannel deflating(channel);
            converse(deflating.Channel());
        });
    };
}

} // namespace lumigrab::testing
