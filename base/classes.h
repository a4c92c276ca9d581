// The small object framework the message, news and transport classes are
// built on: assignable objects, components, byte streams and string lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/sysutils.h"

namespace lumigrab {

// An object that can take over the state of another of a compatible class.
// CopyFrom from an unrelated class raises "Cannot assign a %s to a %s".
class TPersistent {
public:
    virtual ~TPersistent() = default;
    virtual const char* ClassName() const = 0;
    virtual void CopyFrom(const TPersistent& source);

protected:
    [[noreturn]] void CannotAssign(const TPersistent& source) const;

    // source as a Source; any other class raises "Cannot assign a %s to a %s".
    template <typename Source> const Source& SourceAs(const TPersistent& source) const
    {
        if (const auto* typed = dynamic_cast<const Source*>(&source))
            return *typed;
        CannotAssign(source);
    }
};

// Raises "List index out of bounds (%d)" unless 0 <= index < count.
inline void CheckListIndex(int index, int count)
{
    if (index < 0 || index >= count)
        throw EListError::OutOfBounds(index);
}

// A list that owns its items and frees them from the last to the first.
// The lists built on it give the indexed access a name of their own.
template <typename T> class TOwningList {
public:
    using Storage = std::vector<std::unique_ptr<T>>;

    TOwningList(const TOwningList&) = delete;
    TOwningList& operator=(const TOwningList&) = delete;

    int Count() const { return int(items_.size()); }
    // Index outside 0..Count-1 raises "List index out of bounds (%d)".
    T& At(int index)
    {
        CheckListIndex(index, Count());
        return *items_[size_t(index)];
    }
    const T& At(int index) const { return const_cast<TOwningList*>(this)->At(index); }
    // Takes ownership; returns the new item's index.
    int Add(std::unique_ptr<T> item)
    {
        items_.push_back(std::move(item));
        return Count() - 1;
    }
    void Clear()
    {
        while (!items_.empty())
            items_.pop_back();
    }
    // Frees the current items, then takes over items: lists built aside
    // this way leave the old content untouched when building fails.
    void Replace(Storage items)
    {
        Clear();
        items_ = std::move(items);
    }
    void Reserve(size_t count) { items_.reserve(count); }

    typename Storage::const_iterator begin() const { return items_.begin(); }
    typename Storage::const_iterator end() const { return items_.end(); }

protected:
    TOwningList() = default;
    // Not virtual: only the derived lists are ever freed.
    ~TOwningList() { Clear(); }

private:
    Storage items_;
};

// A named, tagged object that may be in a design-time state and is told
// when its stored settings have been loaded.
//
// A component created with an owner belongs to it: the owner frees its
// components when it is freed, the last created first. Owned components
// are therefore created with new; freeing one earlier (delete) is fine, it
// leaves its owner's list. A component that refers to another one it does
// not own asks it for a free notification (ReferTo does); whichever of the
// two is freed first tells the other through ComponentRemoved, so no
// reference outlives its component.
class TComponent : public TPersistent {
public:
    explicit TComponent(TComponent* owner = nullptr);
    ~TComponent() override;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    std::string Name;
    intptr_t Tag = 0;

    TComponent* Owner() const { return owner_; }
    int ComponentCount() const { return int(components_.size()); }
    // Index outside 0..ComponentCount-1 raises "List index out of bounds (%d)".
    TComponent& Components(int index) const;
    // Frees the owned components, the last first. A descendant whose
    // components call back into it while they go (events, notifications)
    // calls this first thing in its own destructor.
    void DestroyComponents();

    // Links this component and component: when either is freed, the other's
    // ComponentRemoved is called with it. Linking twice links once.
    void FreeNotification(TComponent* component);

    bool Designing() const { return designing_; }
    void SetDesigning(bool designing) { designing_ = designing; }

    // Called once the component's stored settings have been applied.
    virtual void AfterLoad() { }

protected:
    // component is being freed: one this component owns or is linked with
    // by FreeNotification. Overrides clear their references to it and call
    // the inherited version. component is half destroyed by now: compare
    // it, never use it.
    virtual void ComponentRemoved(TComponent* component);

    // Points a reference field at value and links the two, so that
    // ComponentRemoved hears of value's end.
    template <typename T> void ReferTo(T*& field, T* value)
    {
        field = value;
        if (value)
            FreeNotification(value);
    }

private:
    TComponent* owner_ = nullptr;
    std::vector<TComponent*> components_;
    std::vector<TComponent*> linked_;
    bool designing_ = false;

    void Unlink(TComponent* component);
    void RemoveComponent(TComponent* component);
};

// Memory for multi-megabyte buffers (articles, pictures). Fresh pages are
// costly to fault in one by one; large blocks therefore get mappings of
// their own that the kernel may back with huge pages. Small blocks come
// from the ordinary heap.
void* AllocateBulk(size_t bytes);
void ReleaseBulk(void* block, size_t bytes) noexcept;

template <typename T> struct BulkAllocator {
    using value_type = T;
    BulkAllocator() = default;
    template <typename U> BulkAllocator(const BulkAllocator<U>&) noexcept { }
    T* allocate(size_t count) { return static_cast<T*>(AllocateBulk(count * sizeof(T))); }
    void deallocate(T* block, size_t count) noexcept { ReleaseBulk(block, count * sizeof(T)); }
    friend bool operator==(const BulkAllocator&, const BulkAllocator&) { return true; }
};

// The byte storage of memory streams.
using ByteBuffer = std::basic_string<char, std::char_traits<char>, BulkAllocator<char>>;

enum class TSeekOrigin { Beginning, Current, End };

// A byte stream with a position.
class TStream {
public:
    virtual ~TStream() = default;

    // Reads up to count bytes; returns the number read.
    virtual size_t Read(void* buffer, size_t count) = 0;
    // Writes count bytes; returns the number written.
    virtual size_t Write(const void* buffer, size_t count) = 0;
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;

    int64_t Position() { return Seek(0, TSeekOrigin::Current); }
    void SetPosition(int64_t position) { Seek(position, TSeekOrigin::Beginning); }
    virtual int64_t Size();

    // Like Read/Write, but raise EStreamError when not all bytes move.
    void ReadBuffer(void* buffer, size_t count);
    void WriteBuffer(const void* buffer, size_t count);
    void WriteString(std::string_view text) { WriteBuffer(text.data(), text.size()); }

    // Copies count bytes (all remaining bytes when count is 0) from source
    // at its current position; returns the number copied.
    int64_t CopyFrom(TStream& source, int64_t count);
};

// A growable in-memory byte buffer.
class TMemoryStream : public TStream {
public:
    size_t Read(void* buffer, size_t count) override;
    size_t Write(const void* buffer, size_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return int64_t(data_.size()); }

    void SetSize(int64_t size);
    void Clear();
    void Reserve(size_t capacity) { data_.reserve(capacity); }
    // Room for exactly capacity bytes, where Reserve may take up to twice
    // the room held: for a bound the stream must not pass.
    void ReserveExactly(size_t capacity);

    const char* Memory() const { return data_.data(); }
    char* Memory() { return data_.data(); }
    // The whole content as a view; valid until the next write.
    std::string_view View() const { return data_; }
    // Takes the content out, leaving the stream empty.
    ByteBuffer TakeBuffer();
    // Replace the content; the position goes to 0.
    void Assign(std::string_view bytes);
    void AssignBuffer(ByteBuffer bytes);

    void LoadFromStream(TStream& source);
    void SaveToStream(TStream& target) const;
    void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName) const;

private:
    ByteBuffer data_;
    size_t position_ = 0;
};

// A file on disk. Opening a missing file raises "Cannot open file %s";
// a file that cannot be created raises "Cannot create file %s".
class TFileStream : public TStream {
public:
    enum class Mode { OpenRead, Create };
    TFileStream(const std::string& fileName, Mode mode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    size_t Read(void* buffer, size_t count) override;
    size_t Write(const void* buffer, size_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    // Flushes and closes; raises EInOutError when buffered data cannot be
    // written. The destructor closes silently.
    void Close();

private:
    std::FILE* file_ = nullptr;
    std::string fileName_;
};

// Opens fileName for reading and passes it to load(TStream&).
template <typename Load> void LoadFileWith(const std::string& fileName, Load&& load)
{
    TFileStream file(fileName, TFileStream::Mode::OpenRead);
    load(file);
}

// Creates (or replaces) fileName and passes it to save(TStream&). Closed
// explicitly so that a failed write raises EInOutError.
template <typename Save> void SaveFileWith(const std::string& fileName, Save&& save)
{
    TFileStream file(fileName, TFileStream::Mode::Create);
    save(file);
    file.Close();
}

// An ordered list of lines. Loading splits text at CR LF, LF or CR; saving
// ends every line with CR LF.
class TStringList {
public:
    virtual ~TStringList() = default;

    int Count() const { return int(lines_.size()); }
    bool Empty() const { return lines_.empty(); }
    // Index outside 0..Count-1 raises "List index out of bounds (%d)".
    const std::string& Strings(int index) const;
    std::string& Strings(int index);
    const std::string& operator[](int index) const { return Strings(index); }
    std::string& operator[](int index) { return Strings(index); }

    int Add(std::string line);
    void Insert(int index, std::string line);
    void Delete(int index);
    void Clear() { lines_.clear(); }
    int IndexOf(std::string_view line) const;
    void Assign(const TStringList& source) { lines_ = source.lines_; }
    void Reserve(size_t count) { lines_.reserve(count); }

    // Every line followed by CR LF.
    std::string Text() const;
    // Replaces the content with the lines of text (CR LF, LF or CR breaks;
    // a final break does not add an empty line).
    void SetText(std::string_view text);
    // Appends the lines of text.
    void AddText(std::string_view text);

    void LoadFromStream(TStream& stream);
    void SaveToStream(TStream& stream) const;
    void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName) const;

    const std::vector<std::string>& Lines() const { return lines_; }
    std::vector<std::string>::const_iterator begin() const { return lines_.begin(); }
    std::vector<std::string>::const_iterator end() const { return lines_.end(); }

private:
    std::vector<std::string> lines_;
};

// Calls visit(line) for each line of text, split at CR LF, LF or CR. A
// final line break does not produce an empty last line.
template <typename Visit> void ForEachLine(std::string_view text, Visit&& visit)
{
    size_t start = 0;
    const size_t size = text.size();
    while (start < size) {
        size_t end = start;
        while (end < size && text[end] != '\r' && text[end] != '\n')
            ++end;
        visit(text.substr(start, end - start));
        if (end < size)
            end += (text[end] == '\r' && end + 1 < size && text[end + 1] == '\n') ? 2 : 1;
        start = end;
    }
}

} // namespace lumigrab
