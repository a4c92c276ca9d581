#include "base/linestream.h"

#include <algorithm>
#include <cstring>

namespace lumigrab {

namespace {

constexpr size_t kUnknown = std::string_view::npos;

// Position of the first byte c in data[from, to), or to when there is none.
size_t FindByte(std::string_view data, size_t from, size_t to, char c)
{
    if (from >= to)
        return to;
    const void* hit = std::memchr(data.data() + from, c, to - from);
    return hit ? size_t(static_cast<const char*>(hit) - data.data()) : to;
}

} // namespace

bool TLineStream::ReadLine(std::string& line)
{
    if (cursor_ >= blockEnd_ && !lastBlock_)
        FillBlock();
    const std::string_view data = View();
    // Guards against a stream shrunk behind our back (unsupported, but must
    // not read past the buffer).
    blockEnd_ = std::min(blockEnd_, data.size());
    if (cursor_ >= blockEnd_) {
        ReturnEndMarker(line);
        return false;
    }
    if (nextLineFeed_ == kUnknown || nextLineFeed_ < cursor_)
        nextLineFeed_ = FindByte(data, cursor_, blockEnd_, '\n');
    // A lone CR also ends a line; it can only come before the next LF.
    const size_t carriageReturn = FindByte(data, cursor_, nextLineFeed_, '\r');
    size_t lineEnd;
    size_t next;
    if (carriageReturn < nextLineFeed_) {
        lineEnd = carriageReturn;
        next = carriageReturn + 1;
        if (next < blockEnd_ && data[next] == '\n')
            ++next;
    } else {
        lineEnd = nextLineFeed_;
        next = std::min(nextLineFeed_ + 1, blockEnd_);
    }
    line.assign(data.data() + cursor_, lineEnd - cursor_);
    cursor_ = next;
    return true;
}

void TLineStream::Reset()
{
    cursor_ = 0;
    blockEnd_ = 0;
    nextLineFeed_ = kUnknown;
    lastBlock_ = false;
    eof_ = false;
    SetPosition(0);
}

void TLineStream::SkipTo(int64_t offset)
{
    cursor_ = 0;
    blockEnd_ = 0;
    nextLineFeed_ = kUnknown;
    lastBlock_ = false;
    SetPosition(std::clamp<int64_t>(offset, 0, Size()));
}

// Takes the next block from the current position. A short block is the
// last one and is taken whole, so a final line without a line break is not
// lost. A full block is cut after its last LF so that no line straddles two
// blocks; a full block without any LF grows up to the next LF instead.
void TLineStream::FillBlock()
{
    const std::string_view data = View();
    const size_t start = std::min(size_t(std::max<int64_t>(Position(), 0)), data.size());
    const size_t end = data.size() - start < BlockSize ? data.size()
                                                       : CutAfterLastLineFeed(data, start, start + BlockSize);
    lastBlock_ = end == data.size();
    SetPosition(int64_t(end));
    cursor_ = start;
    blockEnd_ = end;
    nextLineFeed_ = kUnknown;
}

size_t TLineStream::CutAfterLastLineFeed(std::string_view data, size_t start, size_t end) const
{
    const size_t lastLineFeed = data.substr(start, end - start).rfind('\n');
    if (lastLineFeed != std::string_view::npos)
        return start + lastLineFeed + 1;
    const size_t grownEnd = FindByte(data, end, data.size(), '\n');
    return grownEnd < data.size() ? grownEnd + 1 : data.size();
}

void TLineStream::ReturnEndMarker(std::string& line)
{
    line.assign(EndMarker);
    eof_ = true;
}

} // namespace lumigrab
