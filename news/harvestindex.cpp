#include "news/harvestindex.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>

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

// A name cannot break its line, nor make it junk by its length, whatever
// a writer passed.
std::string LineOf(std::string_view messageId, const std::vector<std::string>& fileNames)
{
    std::string line(messageId);
    for (const std::string& name : fileNames) {
        line += '\t';
        for (const char c : std::string_view(name).substr(0, MaxFileNameBytes))
            line += static_cast<unsigned char>(c) < 32 ? '_' : c;
    }
    line += '\n';
    return line;
}

constexpr std::string_view DigestPrefix = "sha256 ";
constexpr std::string_view AboutPrefix = "about ";

// The digest of a digest line's key, or nothing for any other line.
std::optional<TSha256Digest> DigestOfKey(std::string_view key)
{
    if (!key.starts_with(DigestPrefix) || key.size() != DigestPrefix.size() + 64)
        return std::nullopt;
    TSha256Digest digest {};
    for (size_t i = 0; i < digest.size(); ++i) {
        unsigned value = 0;
        for (const char c : key.substr(DigestPrefix.size() + 2 * i, 2)) {
            const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (digit < 0)
                return std::nullopt;
            value = value * 16 + unsigned(digit);
        }
        digest[i] = uint8_t(value);
    }
    return digest;
}

} // namespace

std::string AboutKey(std::string_view messageId)
{
    return std::string(AboutPrefix).append(messageId);
}

std::string DigestKey(const TSha256Digest& digest)
{
    static constexpr char Hex[] = "0123456789abcdef";
    std::string key(DigestPrefix);
    for (const uint8_t byte : digest) {
        key += Hex[byte >> 4];
        key += Hex[byte & 15];
    }
    return key;
}

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

// ---- TIndexReader

void TIndexReader::Read(std::string_view text)
{
    while (!text.empty()) {
        const size_t end = text.find('\n');
        TakeInLine(text.substr(0, end));
        if (end == std::string_view::npos) {
            read_ += text.size();
            return;
        }
        EndLine();
        read_ += end + 1;
        complete_ = read_;
        text.remove_prefix(end + 1);
    }
}

void TIndexReader::TakeInLine(std::string_view piece)
{
    while (!piece.empty() && !junk_) {
        const size_t tab = piece.find('\t');
        const std::string_view field = piece.substr(0, tab);
        if (!inNames_) {
            junk_ = id_.size() + field.size() > MaxMessageIdBytes;
            if (!junk_)
                id_.append(field);
        } else {
            nameBytes_ += field.size();
            junk_ = nameBytes_ > MaxFileNameBytes;
        }
        if (tab == std::string_view::npos)
            return;
        inNames_ = true;
        nameBytes_ = 0;
        piece.remove_prefix(tab + 1);
    }
}

void TIndexReader::EndLine()
{
    if (!junk_ && digests_) {
        if (const std::optional<TSha256Digest> digest = DigestOfKey(id_))
            digests_->insert(*digest);
    }
    if (!junk_)
        ids_.Insert(id_);
    id_.clear();
    inNames_ = false;
    nameBytes_ = 0;
    junk_ = false;
}

size_t ReadIndexText(std::string_view text, TMessageIdSet& ids)
{
    TIndexReader reader(ids);
    reader.Read(text);
    return size_t(reader.CompleteLength());
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
    const std::lock_guard lock(mutex_);
    Load();
    return ids_;
}

bool TFolderIndex::Contains(std::string_view messageId)
{
    const std::lock_guard lock(mutex_);
    Load();
    return ids_.Contains(messageId);
}

bool TFolderIndex::Kept(const TSha256Digest& digest)
{
    const std::lock_guard lock(mutex_);
    Load();
    return digests_.contains(digest);
}

void TFolderIndex::RecordAbout(std::string_view messageId, const TArticleAbout& about)
{
    const std::lock_guard lock(mutex_);
    Load();
    if (!IsUsableMessageId(messageId))
        return;
    Append(LineOf(AboutKey(messageId), { about.group, about.subject, about.poster, about.date }));
}

void TFolderIndex::RecordKept(const TSha256Digest& digest, std::string_view name)
{
    const std::lock_guard lock(mutex_);
    Load();
    if (digests_.contains(digest))
        return;
    Append(LineOf(DigestKey(digest), { std::string(name) }));
    digests_.insert(digest);
}

namespace {

// Why the open file is no index to use: a folder, a named pipe, a device;
// nullptr for a regular file. Planted in the index's place, a named pipe
// would keep a reader waiting for a writer, and a device may never end.
const char* NotARegularFile(int file)
{
    struct stat status { };
    if (::fstat(file, &status) != 0)
        return nullptr;
    if (S_ISDIR(status.st_mode))
        return "Is a directory";
    return S_ISREG(status.st_mode) ? nullptr : "not a regular file";
}

} // namespace

// Read a chunk at a time: a million lines come to tens of megabytes, which
// need not be in memory at once. The table grows with the lines read, not
// with the file's size, which junk may make up. Opening never waits (on a
// named pipe without a writer); what is opened is read only when it is a
// regular file.
void TFolderIndex::Load()
{
    if (loaded_)
        return;
    const int file = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (file < 0) {
        if (errno != ENOENT)
            CannotRead(path_, errno);
        loaded_ = true;
        return;
    }
    if (const char* reason = NotARegularFile(file)) {
        ::close(file);
        throw EInOutError("Cannot read " + path_ + ": " + reason);
    }
    TIndexReader reader(ids_, &digests_);
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
        reader.Read(std::string_view(chunk.data(), size_t(got)));
    }
    ::close(file);
    loadedLength_ = length;
    completeLength_ = int64_t(reader.CompleteLength());
    loaded_ = true;
}

void TFolderIndex::OpenForAppend()
{
    if (file_ >= 0)
        return;
    const int file
        = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (file < 0)
        CannotWrite(path_, errno);
    if (const char* reason = NotARegularFile(file)) {
        ::close(file);
        throw EInOutError("Cannot write " + path_ + ": " + reason);
    }
    // A torn line from a crash would swallow the next one; it goes, unless
    // someone else has written since.
    struct stat status { };
    if (completeLength_ < loadedLength_ && ::fstat(file, &status) == 0 && status.st_size == loadedLength_)
        (void)::ftruncate(file, completeLength_);
    file_ = file;
}

void TFolderIndex::Record(std::string_view messageId, const std::vector<std::string>& fileNames)
{
    const std::lock_guard lock(mutex_);
    Load();
    if (!IsUsableMessageId(messageId))
        return;
    Append(LineOf(messageId, fileNames));
    ids_.Insert(messageId);
}

void TFolderIndex::Append(const std::string& line)
{
    OpenForAppend();
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
}

} // namespace lumigrab
