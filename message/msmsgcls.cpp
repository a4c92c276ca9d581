#include "message/msmsgcls.h"

#include <algorithm>
#include <utility>

#include "base/sysutils.h"
#include "message/msutils.h"
#include "mime/msmime.h"

namespace lumigrab {

// GetFieldValue leaves the cut of decoded values to DecodeHeaderText.
static_assert(MaxShortString == kShortTextMax);

const std::array<std::string_view, 3> EncodingNames = { "7bit", "Base64", "Quoted-Printable" };

namespace {

std::string CutShort(std::string_view text)
{
    return std::string(text.substr(0, MaxShortString));
}

TmsMailAddress::Editor& InstalledEditor()
{
    static TmsMailAddress::Editor editor;
    return editor;
}

TAttEncoding EncodingForContentType(std::string_view contentType)
{
    if (SameText(contentType, "TEXT/PLAIN") || SameText(contentType, "TEXT/RTF")
        || SameText(contentType, "TEXT/HTML"))
        return aeQuotedPrintable;
    if (SameText(contentType, "MESSAGE/RFC822"))
        return ae7Bit;
    return aeBase64;
}

// --- Items property stream ----------------------------------------------------

// Value markers of the component stream format.
enum ValueType : uint8_t {
    vaNull = 0,
    vaList = 1,
    vaInt8 = 2,
    vaInt16 = 3,
    vaInt32 = 4,
    vaString = 6,
    vaLString = 12,
    vaWString = 18,
    vaUTF8String = 20,
};

void WriteByte(TStream& stream, uint8_t value)
{
    stream.WriteBuffer(&value, 1);
}

void WriteShortString(TStream& stream, std::string_view text)
{
    text = text.substr(0, MaxShortString);
    WriteByte(stream, vaString);
    WriteByte(stream, uint8_t(text.size()));
    stream.WriteString(text);
}

// Reads the property value with bounds checks; every malformed or
// truncated value raises EStreamError.
class ItemsReader {
public:
    explicit ItemsReader(TStream& stream)
        : stream_(stream)
    {
    }

    uint8_t ReadByte()
    {
        uint8_t value = 0;
        ReadExact(&value, 1, "byte");
        return value;
    }

    uint32_t ReadLittleEndian(size_t size)
    {
        uint8_t bytes[4] = {};
        ReadExact(bytes, size, "number");
        uint32_t value = 0;
        for (size_t i = size; i-- > 0;)
            value = (value << 8) | bytes[i];
        return value;
    }

    std::string ReadString()
    {
        const uint8_t type = ReadByte();
        switch (type) {
        case vaString:
            return ReadBytes(ReadByte());
        case vaLString:
        case vaUTF8String:
            return ReadBytes(ReadLittleEndian(4));
        case vaWString:
            return ReadWideString(ReadLittleEndian(4));
        default:
            throw Unexpected(type, "a string");
        }
    }

    int32_t ReadInteger()
    {
        const uint8_t type = ReadByte();
        switch (type) {
        case vaInt8:
            return int8_t(ReadByte());
        case vaInt16:
            return int16_t(ReadLittleEndian(2));
        case vaInt32:
            return int32_t(ReadLittleEndian(4));
        default:
            throw Unexpected(type, "an integer");
        }
    }

    // Peeks at the next value marker: a null marker ends the list.
    bool AtListEnd()
    {
        if (ReadByte() == vaNull)
            return true;
        stream_.Seek(-1, TSeekOrigin::Current);
        return false;
    }

    static EStreamError Unexpected(uint8_t type, const char* expected)
    {
        return EStreamError(
            Format("Invalid Items property: value type %u where %s was expected", type, expected));
    }

private:
    void ReadExact(void* buffer, size_t count, const char* what)
    {
        if (stream_.Read(buffer, count) != count)
            throw EStreamError(Format("Invalid Items property: stream ends inside a %s", what));
    }

    // Checked against what is left so that a forged length cannot make us
    // allocate more than the stream holds.
    void RequireRemaining(uint64_t count)
    {
        const int64_t remaining = stream_.Size() - stream_.Position();
        if (remaining < 0 || count > uint64_t(remaining))
            throw EStreamError("Invalid Items property: stream ends inside a string");
    }

    std::string ReadBytes(uint64_t count)
    {
        RequireRemaining(count);
        std::string text(count, '\0');
        ReadExact(text.data(), count, "string");
        return text;
    }

    // UTF-16 code units; those outside Latin-1 become "?".
    std::string ReadWideString(uint64_t units)
    {
        RequireRemaining(units * 2);
        std::string text;
        text.reserve(units);
        for (uint64_t i = 0; i < units; ++i) {
            const uint32_t unit = ReadLittleEndian(2);
            text += unit < 256 ? char(unit) : '?';
        }
        return text;
    }

    TStream& stream_;
};

std::unique_ptr<TmsAttItem> ReadItem(ItemsReader& reader)
{
    auto item = std::make_unique<TmsAttItem>();
    item->SetFileName(reader.ReadString());
    item->SetContentType(reader.ReadString());
    const int32_t encoding = reader.ReadInteger();
    if (encoding < ae7Bit || encoding > aeQuotedPrintable)
        throw EStreamError(Format("Invalid Items property: encoding %d out of range", encoding));
    item->SetEncoding(TAttEncoding(encoding));
    return item;
}

} // namespace

// --- TmsMailAddress -----------------------------------------------------------

void TmsMailAddress::CopyFrom(const TPersistent& source)
{
    const auto& other = SourceAs<TmsMailAddress>(source);
    name_ = other.name_;
    address_ = other.address_;
}

void TmsMailAddress::SetName(std::string_view name)
{
    name_ = CutShort(name);
}

void TmsMailAddress::SetAddress(std::string_view address)
{
    address_ = CutShort(address);
}

void TmsMailAddress::Clear()
{
    name_.clear();
    address_.clear();
}

bool TmsMailAddress::Edit()
{
    // Copied so that an editor replaced while it runs stays alive.
    const Editor editor = InstalledEditor();
    if (!editor)
        return false;
    TmsMailAddress copy;
    copy.CopyFrom(*this);
    if (!editor(copy))
        return false;
    CopyFrom(copy);
    return true;
}

void TmsMailAddress::SetEditor(Editor editor)
{
    InstalledEditor() = std::move(editor);
}

// --- TmsAttItem ---------------------------------------------------------------

void TmsAttItem::CopyFrom(const TPersistent& source)
{
    const auto& other = SourceAs<TmsAttItem>(source);
    if (&other == this)
        return;
    Stream.Assign(other.Stream.View());
    contentType_ = other.contentType_;
    encoding_ = other.encoding_;
    fileName_ = other.fileName_;
    damage_ = other.damage_;
}

void TmsAttItem::SetFileName(std::string_view fileName)
{
    fileName_ = CutShort(fileName);
    if (fileName_.empty())
        return;
    contentType_ = CutShort(ContentTypeForFile(fileName_));
    encoding_ = EncodingForContentType(contentType_);
}

void TmsAttItem::SetFileNameAndType(std::string_view fileName, std::string_view contentType)
{
    fileName_ = CutShort(fileName);
    contentType_ = CutShort(contentType);
    if (!fileName_.empty())
        encoding_ = EncodingForContentType(contentType_);
}

void TmsAttItem::SetContentType(std::string_view contentType)
{
    contentType_ = CutShort(contentType);
}

// --- TmsAttList ---------------------------------------------------------------

void TmsAttList::CopyFrom(const TPersistent& source)
{
    const auto& other = SourceAs<TmsAttList>(source);
    if (&other == this)
        return;
    Storage copies;
    copies.reserve(size_t(other.Count()));
    for (const auto& item : other) {
        copies.push_back(std::make_unique<TmsAttItem>());
        copies.back()->CopyFrom(*item);
    }
    Replace(std::move(copies));
}

void TmsAttList::WriteItems(TStream& stream) const
{
    WriteByte(stream, vaList);
    for (const auto& item : *this) {
        WriteShortString(stream, item->FileName());
        WriteShortString(stream, item->ContentType());
        WriteByte(stream, vaInt8);
        WriteByte(stream, item->Encoding());
    }
    WriteByte(stream, vaNull);
}

void TmsAttList::ReadItems(TStream& stream)
{
    ItemsReader reader(stream);
    const uint8_t marker = reader.ReadByte();
    if (marker != vaList)
        throw ItemsReader::Unexpected(marker, "a list");
    // Built aside so that a damaged stream leaves the list as it was.
    Storage items;
    while (!reader.AtListEnd())
        items.push_back(ReadItem(reader));
    Replace(std::move(items));
}

// --- TmsHeaders ---------------------------------------------------------------

namespace {

std::string_view FieldName(std::string_view name)
{
    if (!name.empty() && name.back() == ':')
        name.remove_suffix(1);
    return name;
}

bool IsFieldLine(std::string_view line, std::string_view fieldName)
{
    return line.size() > fieldName.size() && line[fieldName.size()] == ':' && StartsWithText(line, fieldName);
}

// Index of the first line of field fieldName; lines.size() when missing.
size_t FindField(const std::vector<std::string>& lines, std::string_view fieldName)
{
    const auto found = std::find_if(lines.begin(), lines.end(),
        [fieldName](const std::string& line) { return IsFieldLine(line, fieldName); });
    return size_t(found - lines.begin());
}

bool BeginsWithBlankOrTab(std::string_view line)
{
    return !line.empty() && (line[0] == ' ' || line[0] == '\t');
}

bool IsContinuation(std::string_view line)
{
    return BeginsWithBlankOrTab(line) || line.find(':') == std::string_view::npos;
}

bool KeepsRawValue(std::string_view fieldName)
{
    return SameText(fieldName, "Content-Type") || SameText(fieldName, "X-UIDL");
}

} // namespace

std::string TmsHeaders::GetFieldValue(std::string_view name, size_t maxLen) const
{
    const std::string_view fieldName = FieldName(name);
    const std::vector<std::string>& lines = Lines();
    size_t index = FindField(lines, fieldName);
    if (index == lines.size())
        return {};

    const std::string& fieldLine = lines[index];
    std::string value(TrimView(std::string_view(fieldLine).substr(fieldLine.find(':') + 1)));
    for (++index; index < lines.size() && IsContinuation(lines[index]); ++index) {
        const std::string_view part = TrimView(lines[index]);
        if (part.empty())
            continue;
        if (!value.empty())
            value += ' ';
        value += part;
    }

    if (KeepsRawValue(fieldName))
        return value;
    if (value.find("=?") != std::string::npos)
        return DecodeHeaderText(value, maxLen);
    if (value.size() > maxLen)
        value.resize(maxLen);
    return value;
}

void TmsHeaders::RemoveField(std::string_view name)
{
    int index = int(FindField(Lines(), FieldName(name)));
    if (index == Count())
        return;
    Delete(index);
    while (index < Count() && BeginsWithBlankOrTab(Strings(index)))
        Delete(index);
}

} // namespace lumigrab
