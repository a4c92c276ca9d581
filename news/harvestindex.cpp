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

constexpr size_t BlockBytes = size_t(1) << 20;
// Offsets are 32 bits; the last one stays free so that offset + 1 fits.
constexpr uint64_t MaxOffset = (uint64_t(1) << 32) - 2;
constexpr unsigned FirstTableBits = 10;
constexpr size_t ReadChunk = size_t(1) << 20;
// Loading sizes the table for the file, at this many bytes a line or
// more (an id, a tab, a name), and grows it when the guess was short.
constexpr size_t ExpectedLineBytes = 64;

bool IsUnusableByte(char c)
{
    const auto code = static_cast<unsigned char>(c);
    return code <= 32 || code == 127;
}

uint32_t HashOf(std::string_view id)
{
    return uint32_t(uint64_t(std::hash<std::string_view> {}(id)) >> 32);
}

uint32_t HashPart(uint64_t slot)
{
    return uint32_t(slot >> 32);
}

uint64_t OffsetPart(uint64_t slot)
{
    return (slot & 0xFFFFFFFFu) - 1;
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
    const uint64_t offset = OffsetPart(slot);
    const std::string& block = blocks_[size_t(offset / BlockBytes)];
    const size_t start = size_t(offset % BlockBytes);
    const auto length = static_cast<unsigned char>(block[start]);
    return std::string_view(block).substr(start + 1, length);
}

size_t TMessageIdSet::Find(std::string_view id, uint32_t hash) const
{
    for (size_t index = Home(hash);; index = Next(index)) {
        const uint64_t slot = slots_[index];
        if (slot == 0 || (HashPart(slot) == hash && IdAt(slot) == id))
            return index;
    }
}

// Moving a slot needs only its hash: the ids are not read again.
void TMessageIdSet::Resize(unsigned bits)
{
    std::vector<uint64_t> old = std::move(slots_);
    bits_ = bits;
    slots_.assign(size_t(1) << bits, 0);
    for (const uint64_t slot : old) {
        if (slot == 0)
            continue;
        size_t index = Home(HashPart(slot));
        while (slots_[index] != 0)
            index = Next(index);
        slots_[index] = slot;
    }
}

void TMessageIdSet::Reserve(size_t count)
{
    unsigned bits = std::max(bits_, FirstTableBits);
    while (bits < 32 && (size_t(1) << bits) < count * 2)
        ++bits;
    if (bits != bits_)
        Resize(bits);
}

bool TMessageIdSet::Store(std::string_view id, uint64_t& offset)
{
    const size_t bytes = id.size() + 1;
    if (blocks_.empty() || blocks_.back().size() + bytes > BlockBytes) {
        if (uint64_t(blocks_.size() + 1) * BlockBytes - 1 > MaxOffset)
            return false;
        // The first block grows as it fills: a small folder's index stays small.
        std::string& block = blocks_.emplace_back();
        if (blocks_.size() > 1)
            block.reserve(BlockBytes);
    }
    std::string& block = blocks_.back();
    offset = uint64_t(blocks_.size() - 1) * BlockBytes + block.size();
    block += static_cast<char>(id.size());
    block += id;
    return true;
}

bool TMessageIdSet::Insert(std::string_view id)
{
    if (!IsUsableMessageId(id))
        return false;
    // At most half full, so probes stay short.
    if (slots_.empty() || (count_ + 1) * 2 > slots_.size())
        Reserve(std::max<size_t>(count_ + 1, slots_.size()));
    const uint32_t hash = HashOf(id);
    const size_t index = Find(id, hash);
    uint64_t offset = 0;
    if (slots_[index] != 0 || !Store(id, offset))
        return false;
    slots_[index] = (uint64_t(hash) << 32) | (offset + 1);
    ++count_;
    return true;
}

bool TMessageIdSet::Contains(std::string_view id) const
{
    if (count_ == 0 || !IsUsableMessageId(id))
        return false;
    return slots_[Find(id, HashOf(id))] != 0;
}

size_t TMessageIdSet::MemoryBytes() const
{
    size_t bytes = slots_.capacity() * sizeof(uint64_t);
    for (const std::string& block : blocks_)
        bytes += block.capacity();
    return bytes;
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
    struct stat status { };
    if (::fstat(file, &status) == 0 && status.st_size > 0)
        ids_.Reserve(size_t(status.st_size) / ExpectedLineBytes);
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
