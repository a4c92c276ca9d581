#include "walkpositions.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "base/sysutils.h"

namespace lumigrab {
namespace {

// More than MaxEntries lines of at most MaxLineBytes are never written.
constexpr size_t MaxFileBytes = TWalkPositions::MaxEntries * (TWalkPositions::MaxLineBytes + 1);

std::string Lowered(std::string_view text)
{
    std::string lowered(text);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
        [](unsigned char c) { return char(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c); });
    return lowered;
}

// A server or group name as a field of a line: printable, no blank.
bool UsableName(std::string_view name)
{
    return !name.empty() && name.size() < TWalkPositions::MaxLineBytes / 2
        && std::all_of(name.begin(), name.end(), [](unsigned char c) { return c > ' ' && c < 0x7F; });
}

// Digits only, within 64 bits.
std::optional<uint64_t> PlainNumber(std::string_view text)
{
    uint64_t number = 0;
    if (text.empty() || text.front() == '+')
        return std::nullopt;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return number;
}

[[noreturn]] void Fail(const std::string& what, const std::string& path, int error)
{
    throw EInOutError(what + " " + path + ": " + std::strerror(error));
}

void WriteAll(int file, const std::string& text, const std::string& path)
{
    std::string_view rest = text;
    while (!rest.empty()) {
        const ssize_t put = ::write(file, rest.data(), rest.size());
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            Fail("Cannot write", path, errno);
        rest.remove_prefix(size_t(put));
    }
}

} // namespace

TWalkPositions::TWalkPositions(std::string folder)
    : folder_(std::move(folder))
{
    if (!folder_.empty() && folder_.back() != '/')
        folder_ += '/';
    path_ = folder_ + FileName;
}

std::optional<uint64_t> TWalkPositions::Find(std::string_view server, std::string_view group)
{
    Load();
    const Entry* entry = FindEntry(Lowered(server), Lowered(group));
    return entry ? std::optional<uint64_t>(entry->number) : std::nullopt;
}

void TWalkPositions::Keep(std::string_view server, std::string_view group, uint64_t number)
{
    Load();
    Entry entry { Lowered(server), Lowered(group), number };
    if (!UsableName(entry.server) || !UsableName(entry.group))
        return;
    // The one walked last goes last, and the oldest first when full.
    std::erase_if(entries_, [&](const Entry& kept) { return kept.server == entry.server && kept.group == entry.group; });
    entries_.push_back(std::move(entry));
    if (entries_.size() > MaxEntries)
        entries_.erase(entries_.begin(), entries_.end() - MaxEntries);
    Write();
}

TWalkPositions::Entry* TWalkPositions::FindEntry(const std::string& server, const std::string& group)
{
    const auto found = std::find_if(entries_.rbegin(), entries_.rend(),
        [&](const Entry& entry) { return entry.server == server && entry.group == group; });
    return found == entries_.rend() ? nullptr : &*found;
}

// Not waiting on a FIFO planted under the name; only a regular file is
// read, and never more than the entries it may hold.
void TWalkPositions::Load()
{
    if (loaded_)
        return;
    loaded_ = true;
    const int file = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (file < 0) {
        if (errno != ENOENT)
            Fail("Cannot read", path_, errno);
        return;
    }
    struct stat status { };
    if (::fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(file);
        throw EInOutError("Cannot read " + path_ + ": not a regular file");
    }
    std::string text(std::min<size_t>(size_t(std::max<off_t>(status.st_size, 0)), MaxFileBytes), '\0');
    size_t got = 0;
    while (got < text.size()) {
        const ssize_t read = ::read(file, text.data() + got, text.size() - got);
        if (read < 0 && errno == EINTR)
            continue;
        if (read <= 0)
            break;
        got += size_t(read);
    }
    ::close(file);
    text.resize(got);
    // A line cut by the bound, or by a crash, is no entry.
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        ReadLine(std::string_view(text).substr(start, end - start));
    if (entries_.size() > MaxEntries)
        entries_.erase(entries_.begin(), entries_.end() - MaxEntries);
}

void TWalkPositions::ReadLine(std::string_view line)
{
    if (line.size() > MaxLineBytes)
        return;
    const size_t first = line.find(' ');
    const size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos)
        return;
    const std::string server(line.substr(0, first));
    const std::string group(line.substr(first + 1, second - first - 1));
    const std::optional<uint64_t> number = PlainNumber(line.substr(second + 1));
    if (!number || !UsableName(server) || !UsableName(group) || server != Lowered(server) || group != Lowered(group))
        return;
    std::erase_if(entries_, [&](const Entry& kept) { return kept.server == server && kept.group == group; });
    entries_.push_back({ server, group, *number });
}

// A new file beside the old one, flushed, then renamed over it: a crash
// leaves either.
void TWalkPositions::Write() const
{
    std::string text;
    for (const Entry& entry : entries_)
        text += entry.server + ' ' + entry.group + ' ' + std::to_string(entry.number) + '\n';
    const std::string temporary = path_ + ".new";
    ::unlink(temporary.c_str());
    const int file = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (file < 0)
        Fail("Cannot write", path_, errno);
    try {
        WriteAll(file, text, path_);
        if (::fsync(file) != 0)
            Fail("Cannot write", path_, errno);
    } catch (...) {
        ::close(file);
        ::unlink(temporary.c_str());
        throw;
    }
    ::close(file);
    if (::rename(temporary.c_str(), path_.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        Fail("Cannot write", path_, error);
    }
}

} // namespace lumigrab
