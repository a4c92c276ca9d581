#include "base/classes.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

// Under AddressSanitizer every block comes from the heap, where overruns
// are caught.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LUMIGRAB_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define LUMIGRAB_ASAN 1
#endif
#if defined(__linux__) && !defined(LUMIGRAB_ASAN)
#define LUMIGRAB_BULK_MAPPINGS 1
#include <sys/mman.h>
#endif

namespace lumigrab {

// --- Bulk memory --------------------------------------------------------------

#ifdef LUMIGRAB_BULK_MAPPINGS
namespace {

constexpr size_t kBulkThreshold = size_t(1) << 20;
constexpr size_t kHugePage = size_t(2) << 20;

size_t RoundUpToHugePage(size_t bytes)
{
    return (bytes + kHugePage - 1) & ~(kHugePage - 1);
}

} // namespace
#endif

void* AllocateBulk(size_t bytes)
{
#ifdef LUMIGRAB_BULK_MAPPINGS
    if (bytes >= kBulkThreshold) {
        // Map one huge page more than needed and trim, so the block starts
        // on a huge-page boundary.
        const size_t length = RoundUpToHugePage(bytes);
        void* mapped
            = ::mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED)
            throw std::bad_alloc();
        const auto start = reinterpret_cast<uintptr_t>(mapped);
        const uintptr_t aligned = (start + kHugePage - 1) & ~uintptr_t(kHugePage - 1);
        if (aligned > start)
            ::munmap(mapped, aligned - start);
        const size_t tail = (start + length + kHugePage) - (aligned + length);
        if (tail > 0)
            ::munmap(reinterpret_cast<void*>(aligned + length), tail);
        ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
        return reinterpret_cast<void*>(aligned);
    }
#endif
    return ::operator new(bytes);
}

void ReleaseBulk(void* block, size_t bytes) noexcept
{
#ifdef LUMIGRAB_BULK_MAPPINGS
    if (bytes >= kBulkThreshold) {
        ::munmap(block, RoundUpToHugePage(bytes));
        return;
    }
#endif
    ::operator delete(block);
}

// --- TPersistent ------------------------------------------------------------

void TPersistent::CopyFrom(const TPersistent& source)
{
    CannotAssign(source);
}

void TPersistent::CannotAssign(const TPersistent& source) const
{
    throw EConvertError(Format("Cannot assign a %s to a %s", source.ClassName(), ClassName()));
}

// --- TComponent -------------------------------------------------------------

TComponent::TComponent(TComponent* owner)
    : owner_(owner)
{
    if (owner_)
        owner_->components_.push_back(this);
}

TComponent::~TComponent()
{
    // Those linked to this component forget it first, then the owned
    // components go, and the owner forgets it last.
    while (!linked_.empty()) {
        TComponent* other = linked_.back();
        linked_.pop_back();
        other->Unlink(this);
        other->ComponentRemoved(this);
    }
    DestroyComponents();
    if (owner_)
        owner_->RemoveComponent(this);
}

TComponent& TComponent::Components(int index) const
{
    CheckListIndex(index, ComponentCount());
    return *components_[size_t(index)];
}

void TComponent::DestroyComponents()
{
    // Each component leaves the list itself as it is freed.
    while (!components_.empty())
        delete components_.back();
}

void TComponent::FreeNotification(TComponent* component)
{
    if (!component || component == this
        || std::find(linked_.begin(), linked_.end(), component) != linked_.end())
        return;
    linked_.push_back(component);
    component->linked_.push_back(this);
}

void TComponent::ComponentRemoved(TComponent*) { }

void TComponent::Unlink(TComponent* component)
{
    linked_.erase(std::remove(linked_.begin(), linked_.end(), component), linked_.end());
}

void TComponent::RemoveComponent(TComponent* component)
{
    components_.erase(std::remove(components_.begin(), components_.end(), component), components_.end());
    ComponentRemoved(component);
}

// --- TStream ----------------------------------------------------------------

int64_t TStream::Size()
{
    const int64_t position = Seek(0, TSeekOrigin::Current);
    const int64_t size = Seek(0, TSeekOrigin::End);
    Seek(position, TSeekOrigin::Beginning);
    return size;
}

void TStream::ReadBuffer(void* buffer, size_t count)
{
    if (count != 0 && Read(buffer, count) != count)
        throw EStreamError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, size_t count)
{
    if (count != 0 && Write(buffer, count) != count)
        throw EStreamError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count)
{
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    std::vector<char> buffer(size_t(std::min<int64_t>(count, 1 << 16)) + 1);
    int64_t copied = 0;
    while (copied < count) {
        const size_t chunk = size_t(std::min<int64_t>(count - copied, int64_t(buffer.size())));
        source.ReadBuffer(buffer.data(), chunk);
        WriteBuffer(buffer.data(), chunk);
        copied += int64_t(chunk);
    }
    return copied;
}

// --- TMemoryStream ----------------------------------------------------------

size_t TMemoryStream::Read(void* buffer, size_t count)
{
    if (position_ >= data_.size())
        return 0;
    const size_t available = std::min(count, data_.size() - position_);
    std::memcpy(buffer, data_.data() + position_, available);
    position_ += available;
    return available;
}

size_t TMemoryStream::Write(const void* buffer, size_t count)
{
    if (count == 0)
        return 0;
    if (position_ == data_.size()) {
        data_.append(static_cast<const char*>(buffer), count);
    } else {
        if (position_ + count > data_.size())
            data_.resize(position_ + count);
        std::memcpy(data_.data() + position_, buffer, count);
    }
    position_ += count;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin)
{
    int64_t base = 0;
    if (origin == TSeekOrigin::Current)
        base = int64_t(position_);
    else if (origin == TSeekOrigin::End)
        base = int64_t(data_.size());
    const int64_t target = base + offset;
    position_ = target < 0 ? 0 : size_t(target);
    return int64_t(position_);
}

void TMemoryStream::SetSize(int64_t size)
{
    data_.resize(size_t(std::max<int64_t>(size, 0)));
    position_ = std::min(position_, data_.size());
}

// A string's reserve grows its room at least twofold; a fresh one takes
// what it is asked for.
void TMemoryStream::ReserveExactly(size_t capacity)
{
    if (capacity <= data_.capacity())
        return;
    ByteBuffer grown;
    grown.reserve(capacity);
    grown.append(data_);
    data_ = std::move(grown);
}

void TMemoryStream::Clear()
{
    data_.clear();
    position_ = 0;
}

ByteBuffer TMemoryStream::TakeBuffer()
{
    ByteBuffer bytes = std::move(data_);
    data_.clear();
    position_ = 0;
    return bytes;
}

void TMemoryStream::Assign(std::string_view bytes)
{
    data_.assign(bytes.data(), bytes.size());
    position_ = 0;
}

void TMemoryStream::AssignBuffer(ByteBuffer bytes)
{
    data_ = std::move(bytes);
    position_ = 0;
}

void TMemoryStream::LoadFromStream(TStream& source)
{
    source.SetPosition(0);
    const int64_t size = source.Size();
    data_.resize(size_t(std::max<int64_t>(size, 0)));
    source.ReadBuffer(data_.data(), data_.size());
    position_ = 0;
}

void TMemoryStream::SaveToStream(TStream& target) const
{
    target.WriteBuffer(data_.data(), data_.size());
}

void TMemoryStream::LoadFromFile(const std::string& fileName)
{
    LoadFileWith(fileName, [this](TStream& file) { LoadFromStream(file); });
}

void TMemoryStream::SaveToFile(const std::string& fileName) const
{
    SaveFileWith(fileName, [this](TStream& file) { SaveToStream(file); });
}

// --- TFileStream ------------------------------------------------------------

TFileStream::TFileStream(const std::string& fileName, Mode mode)
    : fileName_(fileName)
{
    file_ = std::fopen(fileName.c_str(), mode == Mode::Create ? "w+b" : "rb");
    if (!file_) {
        if (mode == Mode::Create)
            throw EFCreateError(Format("Cannot create file %s", fileName.c_str()));
        throw EFOpenError(Format("Cannot open file %s", fileName.c_str()));
    }
}

TFileStream::~TFileStream()
{
    if (file_)
        std::fclose(file_);
}

size_t TFileStream::Read(void* buffer, size_t count)
{
    return file_ ? std::fread(buffer, 1, count, file_) : 0;
}

size_t TFileStream::Write(const void* buffer, size_t count)
{
    return file_ ? std::fwrite(buffer, 1, count, file_) : 0;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin)
{
    if (!file_)
        return 0;
    const int whence = origin == TSeekOrigin::Beginning ? SEEK_SET
        : origin == TSeekOrigin::Current                ? SEEK_CUR
                                                        : SEEK_END;
    if (!(origin == TSeekOrigin::Current && offset == 0))
        std::fseek(file_, long(offset), whence);
    return int64_t(std::ftell(file_));
}

void TFileStream::Close()
{
    if (!file_)
        return;
    const bool failed = std::fflush(file_) != 0 || std::ferror(file_);
    const bool closeFailed = std::fclose(file_) != 0;
    file_ = nullptr;
    if (failed || closeFailed)
        throw EInOutError(Format("Cannot write file %s", fileName_.c_str()));
}

// --- TStringList ------------------------------------------------------------

const std::string& TStringList::Strings(int index) const
{
    CheckListIndex(index, Count());
    return lines_[size_t(index)];
}

std::string& TStringList::Strings(int index)
{
    CheckListIndex(index, Count());
    return lines_[size_t(index)];
}

int TStringList::Add(std::string line)
{
    lines_.push_back(std::move(line));
    return Count() - 1;
}

void TStringList::Insert(int index, std::string line)
{
    CheckListIndex(index, Count() + 1); // may append
    lines_.insert(lines_.begin() + index, std::move(line));
}

void TStringList::Delete(int index)
{
    CheckListIndex(index, Count());
    lines_.erase(lines_.begin() + index);
}

int TStringList::IndexOf(std::string_view line) const
{
    for (size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i] == line)
            return int(i);
    return -1;
}

std::string TStringList::Text() const
{
    size_t total = 0;
    for (const std::string& line : lines_)
        total += line.size() + 2;
    std::string text;
    text.reserve(total);
    for (const std::string& line : lines_) {
        text += line;
        text += "\r\n";
    }
    return text;
}

void TStringList::SetText(std::string_view text)
{
    lines_.clear();
    AddText(text);
}

void TStringList::AddText(std::string_view text)
{
    ForEachLine(text, [this](std::string_view line) { lines_.emplace_back(line); });
}

void TStringList::LoadFromStream(TStream& stream)
{
    const int64_t remaining = stream.Size() - stream.Position();
    std::string text(size_t(std::max<int64_t>(remaining, 0)), '\0');
    text.resize(stream.Read(text.data(), text.size()));
    SetText(text);
}

void TStringList::SaveToStream(TStream& stream) const
{
    stream.WriteString(Text());
}

void TStringList::LoadFromFile(const std::string& fileName)
{
    LoadFileWith(fileName, [this](TStream& file) { LoadFromStream(file); });
}

void TStringList::SaveToFile(const std::string& fileName) const
{
    SaveFileWith(fileName, [this](TStream& file) { SaveToStream(file); });
}

} // namespace lumigrab
