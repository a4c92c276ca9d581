#include "base/receivebuffer.h"

#include <algorithm>
#include <cstring>

namespace lumigrab {

namespace {

std::string_view StripLineEnd(std::string_view line)
{
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.remove_suffix(1);
    return line;
}

} // namespace

char* TReceiveBuffer::Prepare(size_t count)
{
    // Taken bytes go before the buffer grows, so it holds the unfinished
    // rest only, not everything that ever arrived.
    if (start_ > 0) {
        bytes_.erase(0, start_);
        start_ = 0;
    }
    prepared_ = bytes_.size();
    bytes_.resize(prepared_ + count);
    return bytes_.data() + prepared_;
}

void TReceiveBuffer::Commit(size_t arrived)
{
    bytes_.resize(prepared_ + std::min(arrived, bytes_.size() - prepared_));
    prepared_ = bytes_.size();
}

void TReceiveBuffer::Append(std::string_view bytes)
{
    if (bytes.empty())
        return;
    std::memcpy(Prepare(bytes.size()), bytes.data(), bytes.size());
    Commit(bytes.size());
}

void TReceiveBuffer::Clear()
{
    // Gives the memory back too: after an over-long line it can be large.
    std::string().swap(bytes_);
    start_ = 0;
    scanned_ = 0;
    prepared_ = 0;
}

size_t TReceiveBuffer::FindLineFeed()
{
    const std::string_view pending = Pending();
    const size_t found = pending.find('\n', scanned_);
    scanned_ = found == std::string_view::npos ? pending.size() : found;
    return found;
}

void TReceiveBuffer::Consume(size_t count)
{
    start_ += count;
    scanned_ = 0;
    if (start_ == bytes_.size()) {
        bytes_.clear();
        start_ = 0;
    }
}

auto TReceiveBuffer::TakeLine(std::string& line, size_t maxLine) -> TTake
{
    const size_t end = FindLineFeed();
    if (end == std::string_view::npos)
        return Size() >= maxLine ? TTake::TooLong : TTake::Incomplete;
    if (end + 1 > maxLine)
        return TTake::TooLong;
    line.assign(StripLineEnd(Pending().substr(0, end + 1)));
    Consume(end + 1);
    return TTake::Taken;
}

bool TReceiveBuffer::TakeDataLines(std::string& out)
{
    const std::string_view pending = Pending();
    const size_t firstNew = out.size();
    size_t start = 0;
    bool ended = false;
    while (!ended) {
        // The first line's bytes up to scanned_ were searched before.
        const size_t end = pending.find('\n', std::max(start, scanned_));
        if (end == std::string_view::npos)
            break;
        std::string_view line = pending.substr(start, end + 1 - start);
        start = end + 1;
        // Strictly ".\r\n" (or ".\n"): were ".\r\r...\n" a terminator too, a
        // dot followed by endless CRs could never be counted as data.
        ended = line == ".\r\n" || line == ".\n";
        if (ended)
            break;
        if (line.front() == '.')
            line.remove_prefix(1);
        out.append(line);
    }
    // Articles are text; a stray zero byte would end a C string further on.
    std::replace(out.begin() + std::ptrdiff_t(firstNew), out.end(), '\0', ' ');
    Consume(start);
    if (!ended)
        scanned_ = Size();
    return ended;
}

size_t TReceiveBuffer::PendingDataBytes() const
{
    const std::string_view pending = Pending();
    if (pending == "." || pending == ".\r")
        return 0;
    return pending.size() - (pending.starts_with('.') ? 1 : 0);
}

} // namespace lumigrab
