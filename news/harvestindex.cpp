#include "news/harvestindex.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include "base/filenames.h"
#include "base/sysutils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumigrab {

namespace {

constexpr uint64_t OffsetBits = 40;
constexpr uint64_t OffsetMask = (uint64_t(1) << OffsetBits) - 1;
// Ids beyond this many bytes in all are not kept in memory (a terabyte).
constexpr size_t MaxIdBytes = size_t(OffsetMask) - 1;
constexpr size_t FirstTableSize = 1024;
constexpr size_t ReadChunk = size_t(1) << 20;

bool IsUnusableByte(char c)
{
    const auto code = static_cast<unsigned char>(c);
    return code <= 32 || code == 127;
}

uint64_t HashOf(std::string_view id)
{
    return std::hash<std::string_view> {}(id);
}

uint64_t TagOf(uint64_t hash)
{
    return hash >> OffsetBits;
}

[[noreturn]] void CannotRead(const std::string& path, int error)
{
    throw EInOutError("Cannot read " + path + ": " + SystemErrorText(error));
}

[[noreturn]] void CannotWrite(const std::string& path, int error)
{
    const std::string message = "Cannot write " + path + ": " + SystemErrorText(error);
    if (IsDiskFullError(error))
        throw EDiskFullError(message);
    throw EInOutError(message);
}

// A name cannot break its line, whatever a writer passed.
std::string LineOf(std::string_view messageId, const std::vector<std::string>& fileNames)
{
    std::string line(messageId);
    for (const std::string& name : fileNames) {
        line += '\t';
        for (const char c : name)
            line += static_cast<unsigned char>(c) < 32 ? '_' : c;
    }
    line += '\n';
    return line;
}

} // namespace

bool IsUsableMessageId(std::string_view id)
{
    return !id.empty() && id.size() <= MaxMessageIdBytes
        && std::none_of(id.begin(), id.end(), IsUnusableByte);
}

// ---- TMessageIdSet

std::string_view TMessageIdSet::IdAt(uint64_t slot) const
{
    const size_t offset = size_t(slot & OffsetMask) - 1;
    const auto length = static_cast<unsigned char>(ids_[offset]);
    return std::string_view(ids_).substr(offset + 1, length);
}

// The slot holding id, or the empty slot where it belongs.
size_t TMessageIdSet::Find(std::string_view id, uint64_t hash) const
{
    const size_t mask = slots_.size() - 1;
    const uint64_t tag = TagOf(hash);
    for (size_t index = size_t(hash) & mask;; index = (index + 1) & mask) {
        const uint64_t slot = slots_[index];
        if (slot == 0 || (TagOf(slot) == tag && IdAt(slot) == id))
            return index;
    }
}

void TMessageIdSet::Grow()
{
    std::vector<uint64_t> old = std::move(slots_);
    slots_.assign(std::max(FirstTableSize, old.size() * 2), 0);
    for (const uint64_t slot : old) {
        if (slot != 0)
            slots_[Find(IdAt(slot), HashOf(IdAt(slot)))] = slot;
    }
}

bool TMessageIdSet::Insert(std::string_view id)
{
    if (!IsUsableMessageId(id) || ids_.size() + id.size() + 1 > MaxIdBytes)
        return false;
    // At most half full, so probes stay short.
    if ((count_ + 1) * 2 > slots_.size())
        Grow();
    const uint64_t hash = HashOf(id);
    const size_t index = Find(id, hash);
    if (slots_[index] != 0)
        return false;
    const uint64_t offset = ids_.size();
    ids_ += static_cast<char>(id.size());
    ids_ += id;
    slots_[index] = (TagOf(hash) << OffsetBits) | (offset + 1);
    ++count_;
    return true;
}

bool TMessageIdSet::Contains(std::string_view id) const
{
    if (count_ == 0 || !IsUsableMessageId(id))
        return false;
    return slots_[Find(id, HashOf(id))] != 0;
}

size_t ReadIndexText(std::string_view text, TMessageIdSet& ids)
{
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            break;
        const std::string_view line = text.substr(start, end - start);
        ids.Insert(line.substr(0, line.find('\t')));
        start = end + 1;
    }
    return start;
}

// ---- TFolderIndex

TFolderIndex::TFolderIndex(std::string folder)
    : path_(JoinPath(folder, FileName))
{
}

TFolderIndex::~TFolderIndex()
{
    if (file_ >= 0)
        ::close(file_);
}

const TMessageIdSet& TFolderIndex::Ids()
{
    Load();
    return ids_;
}

bool TFolderIndex::Contains(std::string_view messageId)
{
    Load();
    return ids_.Contains(messageId);
}

// Read a chunk at a time: a million lines come to tens of megabytes, which
// need not be in memory at once.
void TFolderIndex::Load()
{
    if (loaded_)
        return;
    const int file = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (file < 0) {
        if (errno != ENOENT)
            CannotRead(path_, errno);
        loaded_ = true;
        return;
    }
    std::string pending;
    std::string chunk(ReadChunk, '\0');
    int64_t length = 0;
    for (;;) {
        const ssize_t got = ::read(file, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            const int error = errno;
            ::close(file);
            CannotRead(path_, error);
        }
        if (got == 0)
            break;
        length += got;
        pending.append(chunk.data(), size_t(got));
        pending.erase(0, ReadIndexText(pending, ids_));
    }
    ::close(file);
    loadedLength_ = length;
    completeLength_ = length - int64_t(pending.size());
    loaded_ = true;
}

void TFolderIndex::OpenForAppend()
{
    if (file_ >= 0)
        return;
    const int file = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (file < 0)
        CannotWrite(path_, errno);
    // A torn line from a crash would swallow the next one; it goes, unless
    // someone else has written since.
    struct stat status { };
    if (completeLength_ < loadedLength_ && ::fstat(file, &status) == 0 && status.st_size == loadedLength_)
        (void)::ftruncate(file, completeLength_);
    file_ = file;
}

void TFolderIndex::Record(std::string_view messageId, const std::vector<std::string>& fileNames)
{
    Load();
    if (!IsUsableMessageId(messageId))
        return;
    OpenForAppend();
    const std::string line = LineOf(messageId, fileNames);
    struct stat before { };
    const bool sized = ::fstat(file_, &before) == 0;
    std::string_view rest = line;
    while (!rest.empty()) {
        const ssize_t written = ::write(file_, rest.data(), rest.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0) {
            const int error = errno;
            // Half a line would join the next one.
            if (sized && rest.size() < line.size())
                (void)::ftruncate(file_, before.st_size);
            CannotWrite(path_, error);
        }
        rest.remove_prefix(size_t(written));
    }
    ids_.Insert(messageId);
}

} // namespace lumigrab
