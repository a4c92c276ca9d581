#include "transport/ktcompress.h"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>

#include "base/receivebuffer.h"

namespace lumigrab {

namespace {

// zlib's window bits: 15 with 32 added detects a zlib or gzip header;
// negative bits read raw deflate.
constexpr int RawWindowBits = -15;
constexpr int DetectedWindowBits = 15 + 32;
constexpr unsigned char GzipFirstByte = 0x1f;
// The low four bits of a zlib stream's first byte name deflate.
constexpr unsigned char ZlibDeflateMethod = 8;

int WindowBitsFor(TktInflater::TFormat format, unsigned char first)
{
    if (format == TktInflater::TFormat::Raw)
        return RawWindowBits;
    const bool wrapped = first == GzipFirstByte || (first & 0x0f) == ZlibDeflateMethod;
    return wrapped ? DetectedWindowBits : RawWindowBits;
}

} // namespace

struct TktInflater::Private {
    TFormat format;
    z_stream stream {};
    bool started = false;
    bool ended = false;
    // The last step filled its room: zlib may hold more output.
    bool outputHeld = false;
    std::string failure;
    std::string input;
    size_t used = 0;

    std::string_view Unused() const { return std::string_view(input).substr(used); }

    bool Start()
    {
        const int bits = WindowBitsFor(format, static_cast<unsigned char>(input[used]));
        if (inflateInit2(&stream, bits) != Z_OK)
            return Fail("zlib cannot start");
        started = true;
        return true;
    }

    bool Fail(std::string text)
    {
        failure = std::move(text);
        outputHeld = false;
        return false;
    }

    void PassThrough(TReceiveBuffer& out, size_t limit)
    {
        const std::string_view rest = Unused().substr(0, limit);
        out.Append(rest);
        used += rest.size();
    }
};

TktInflater::TktInflater(TFormat format)
    : d_(std::make_unique<Private>())
{
    d_->format = format;
}

TktInflater::~TktInflater()
{
    if (d_->started)
        inflateEnd(&d_->stream);
}

void TktInflater::Feed(std::string_view bytes)
{
    d_->input.erase(0, d_->used);
    d_->used = 0;
    d_->input.append(bytes);
}

bool TktInflater::HasWork() const
{
    return d_->failure.empty() && (d_->used < d_->input.size() || d_->outputHeld);
}

bool TktInflater::Ended() const
{
    return d_->ended;
}

const std::string& TktInflater::Failure() const
{
    return d_->failure;
}

bool TktInflater::Inflate(TReceiveBuffer& out, size_t limit)
{
    Private& d = *d_;
    if (!d.failure.empty())
        return false;
    if (d.ended) {
        d.PassThrough(out, limit);
        return true;
    }
    const std::string_view unused = d.Unused();
    if ((unused.empty() && !d.outputHeld) || limit == 0)
        return true;
    if (!d.started && !d.Start())
        return false;
    z_stream& z = d.stream;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(unused.data()));
    z.avail_in = uInt(unused.size());
    z.next_out = reinterpret_cast<Bytef*>(out.Prepare(limit));
    z.avail_out = uInt(limit);
    const int result = inflate(&z, Z_SYNC_FLUSH);
    out.Commit(limit - z.avail_out);
    d.used += unused.size() - z.avail_in;
    d.outputHeld = z.avail_out == 0;
    if (result == Z_STREAM_END) {
        d.ended = true;
        d.outputHeld = false;
        return true;
    }
    // Z_BUF_ERROR: nothing could move, the stream wants more input.
    if (result == Z_OK || result == Z_BUF_ERROR)
        return true;
    return d.Fail(z.msg ? z.msg : "invalid compressed data");
}

struct TktDeflater::Private {
    z_stream stream {};
};

TktDeflater::TktDeflater()
    : d_(std::make_unique<Private>())
{
    if (deflateInit2(&d_->stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, RawWindowBits, 8, Z_DEFAULT_STRATEGY)
        != Z_OK)
        throw std::bad_alloc();
}

TktDeflater::~TktDeflater()
{
    deflateEnd(&d_->stream);
}

std::string TktDeflater::Deflate(std::string_view bytes)
{
    z_stream& z = d_->stream;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    z.avail_in = uInt(bytes.size());
    std::string out;
    // A flush that fills its room has more to give.
    do {
        const size_t start = out.size();
        const size_t room = bytes.size() + 64;
        out.resize(start + room);
        z.next_out = reinterpret_cast<Bytef*>(out.data() + start);
        z.avail_out = uInt(room);
        deflate(&z, Z_SYNC_FLUSH);
        out.resize(start + room - z.avail_out);
    } while (z.avail_out == 0);
    return out;
}

} // namespace lumigrab
