#include "news/msnwscls.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "base/sysutils.h"

namespace lumigrab {

namespace {

constexpr int kListWords = 4;

// The first kListWords words of a line, picked exactly as ExtractWord picks
// them (word n: n times drop everything up to and including the first blank
// and trim; then the trimmed text before the next blank), without copying.
std::array<std::string_view, kListWords> SplitListWords(std::string_view line)
{
    std::array<std::string_view, kListWords> words {};
    std::string_view rest = line;
    for (int index = 0; index < kListWords; ++index) {
        const size_t blank = rest.find(' ');
        words[index] = TrimView(rest.substr(0, blank));
        if (blank == std::string_view::npos)
            break;
        rest = TrimView(rest.substr(blank + 1));
    }
    return words;
}

int32_t WordAsInt(std::string_view word)
{
    return TryStrToInt(word).value_or(-1);
}

void AppendInt(std::string& text, int32_t value)
{
    char digits[16];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    text.append(digits, result.ptr);
}

void AppendListLine(std::string& text, const TmsNewsgroup& group)
{
    text += group.GroupName;
    text += ' ';
    AppendInt(text, group.LastArticle);
    text += ' ';
    AppendInt(text, group.FirstArticle);
    text += ' ';
    text += group.PostingFlag;
    text += "\r\n";
}

// The whole content of stream; a memory stream is viewed without a copy.
std::string_view WholeText(TStream& stream, std::string& storage)
{
    stream.SetPosition(0);
    if (auto* memory = dynamic_cast<TMemoryStream*>(&stream)) {
        memory->SetPosition(memory->Size());
        return memory->View();
    }
    storage.resize(size_t(std::max<int64_t>(stream.Size(), 0)));
    storage.resize(stream.Read(storage.data(), storage.size()));
    return storage;
}

} // namespace

// --- TmsNewsgroup -------------------------------------------------------------

TmsNewsgroup TmsNewsgroup::FromListLine(std::string_view line)
{
    const auto words = SplitListWords(line);
    TmsNewsgroup group;
    group.GroupName = words[0];
    group.LastArticle = WordAsInt(words[1]);
    group.FirstArticle = WordAsInt(words[2]);
    if (!words[3].empty())
        group.PostingFlag = words[3].front();
    return group;
}

// --- TmsNewsGroupList ---------------------------------------------------------

void TmsNewsGroupList::LoadFromStream(TStream& stream)
{
    Clear();
    std::string storage;
    const std::string_view text = WholeText(stream, storage);
    Reserve(size_t(std::count(text.begin(), text.end(), '\n')) + 1);
    // Zero bytes are ordinary characters here: a flagless group is saved
    // with one, and the lines after it must load too.
    ForEachLine(text, [this](std::string_view line) {
        Add(std::make_unique<TmsNewsgroup>(TmsNewsgroup::FromListLine(line)));
    });
}

void TmsNewsGroupList::SaveToStream(TStream& stream) const
{
    std::string text;
    for (const auto& group : *this)
        AppendListLine(text, *group);
    stream.SetPosition(0);
    stream.WriteString(text);
}

void TmsNewsGroupList::LoadFromFile(const std::string& fileName)
{
    LoadFileWith(fileName, [this](TStream& file) { LoadFromStream(file); });
}

void TmsNewsGroupList::SaveToFile(const std::string& fileName) const
{
    SaveFileWith(fileName, [this](TStream& file) { SaveToStream(file); });
}

TmsNgInfoItem& TmsNgInfoList::Entries(int index)
{
    if (index < freed_ || index >= Count())
        throw EListError::OutOfBounds(index);
    return *items_[size_t(index - freed_)];
}

const TmsNgInfoItem& TmsNgInfoList::Entries(int index) const
{
    return const_cast<TmsNgInfoList*>(this)->Entries(index);
}

// Fetches ask for a header taken moments ago: search from the newest.
const TmsNgInfoItem* TmsNgInfoList::Find(TArticleNumber number) const
{
    for (auto item = items_.rbegin(); item != items_.rend(); ++item) {
        if ((*item)->Number == number)
            return item->get();
    }
    return nullptr;
}

int TmsNgInfoList::Add(std::unique_ptr<TmsNgInfoItem> item)
{
    items_.push_back(std::move(item));
    const int index = Count() - 1;
    FreeBeyondRetention();
    return index;
}

void TmsNgInfoList::Clear()
{
    while (!items_.empty())
        items_.pop_back();
    freed_ = 0;
}

void TmsNgInfoList::SetRetention(int retention)
{
    retention_ = std::max(retention, 0);
    FreeBeyondRetention();
}

void TmsNgInfoList::FreeBeyondRetention()
{
    if (retention_ == 0)
        return;
    while (items_.size() > size_t(retention_)) {
        items_.pop_front();
        ++freed_;
    }
}

} // namespace lumigrab
