#include "message/msutils.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <unordered_map>

#include "base/classes.h"
#include "base/sysutils.h"
#include "message/msmsgcls.h"

namespace lumigrab {

namespace {

constexpr std::string_view kDefaultContentType = "application/octet-stream";
constexpr size_t kMainValueScanLimit = 255;

// Position of needle in haystack ignoring ASCII case, without building
// upper-cased copies.
size_t FindText(std::string_view haystack, std::string_view needle, size_t from = 0)
{
    if (needle.size() > haystack.size())
        return std::string_view::npos;
    for (size_t i = from; i + needle.size() <= haystack.size(); ++i) {
        if (StartsWithText(haystack.substr(i), needle))
            return i;
    }
    return std::string_view::npos;
}

// A parameter name standing on its own: at the start or after a separator,
// followed by optional blanks and "=".
bool IsWholeParameterAt(std::string_view text, size_t pos, size_t nameLength)
{
    if (pos > 0 && text[pos - 1] != ';' && !IsBlankOrControl(text[pos - 1]))
        return false;
    size_t after = pos + nameLength;
    while (after < text.size() && IsBlankOrControl(text[after]))
        ++after;
    return after < text.size() && text[after] == '=';
}

// Prefers a whole parameter name so that "name" does not pick filename's
// value when both are present; falls back to any occurrence otherwise.
size_t FindParameter(std::string_view headerValue, std::string_view paramName)
{
    const size_t first = FindText(headerValue, paramName);
    if (first == std::string_view::npos || paramName.empty())
        return first;
    for (size_t pos = first; pos != std::string_view::npos; pos = FindText(headerValue, paramName, pos + 1)) {
        if (IsWholeParameterAt(headerValue, pos, paramName.size()))
            return pos;
    }
    return first;
}

// The value after "name=": skips the "=" (and blanks around it when the
// name was found as a whole parameter).
std::string_view ParameterRest(std::string_view headerValue, size_t pos, size_t nameLength)
{
    size_t start = pos + nameLength;
    if (IsWholeParameterAt(headerValue, pos, nameLength))
        start = headerValue.find('=', start);
    start = std::min(start + 1, headerValue.size());
    return TrimView(headerValue.substr(start));
}

std::string_view UpTo(std::string_view text, char stop)
{
    const size_t end = text.find(stop);
    return end == std::string_view::npos ? text : text.substr(0, end);
}

std::string_view FileExtension(std::string_view fileName)
{
    const size_t dot = fileName.find_last_of('.');
    const size_t separator = fileName.find_last_of("/\\:");
    if (dot == std::string_view::npos || (separator != std::string_view::npos && separator > dot))
        return {};
    return fileName.substr(dot);
}

// --- file-type table --------------------------------------------------------

constexpr const char* kSystemMimeTypes = "/etc/mime.types";

// Lookups answered by reading the text before the table is indexed: a
// program that asks for one or two types, as lumigrab-decode does, never
// pays for two thousand entries.
constexpr int kScansBeforeIndex = 16;

struct MimeTable {
    std::mutex mutex;
    std::string path = kSystemMimeTypes;
    bool loaded = false;
    std::string text;
    int scans = 0;
    bool indexed = false;
    std::unordered_map<std::string, std::string> typeByExtension; // ".jpg" -> "image/jpeg"
};

// Never destroyed: taking apart two thousand entries would only delay
// every program's exit.
MimeTable& Table()
{
    static MimeTable& table = *new MimeTable;
    return table;
}

std::string ExtensionKey(std::string_view extensionWithoutDot)
{
    std::string key(1, '.');
    key += LowerCase(extensionWithoutDot);
    return key;
}

// Calls take(type, extension) for each extension of the mime.types text,
// in order, until it returns true. Each line holds a type followed by
// extensions without dots; "#" starts a comment.
template <typename Take> void ForEachExtension(std::string_view text, Take take)
{
    while (!text.empty()) {
        const size_t lineFeed = text.find('\n');
        const std::string_view line = UpTo(text.substr(0, lineFeed), '#');
        text.remove_prefix(lineFeed == std::string_view::npos ? text.size() : lineFeed + 1);
        std::string_view type;
        size_t pos = 0;
        while (pos < line.size()) {
            while (pos < line.size() && IsBlankOrControl(line[pos]))
                ++pos;
            size_t end = pos;
            while (end < line.size() && !IsBlankOrControl(line[end]))
                ++end;
            if (end == pos)
                break;
            const std::string_view word = line.substr(pos, end - pos);
            if (type.empty())
                type = word;
            else if (take(type, word))
                return;
            pos = end;
        }
    }
}

// Read whole: a stream read line by line costs more than the table itself.
// A C file, not a C++ stream, whose first use in a process costs more than
// the reading.
void LoadTable(MimeTable& table)
{
    table.typeByExtension.clear();
    table.indexed = false;
    table.scans = 0;
    table.loaded = true;
    table.text.clear();
    std::FILE* file = std::fopen(table.path.c_str(), "rb");
    if (!file)
        return;
    // One block of the file's size: growing one would touch several.
    const long size = std::fseek(file, 0, SEEK_END) == 0 ? std::ftell(file) : -1;
    if (size > 0 && std::fseek(file, 0, SEEK_SET) == 0) {
        table.text.resize(size_t(size));
        table.text.resize(std::fread(table.text.data(), 1, table.text.size(), file));
    }
    std::fclose(file);
}

// The first type listed for an extension wins.
void IndexTable(MimeTable& table)
{
    table.typeByExtension.reserve(2048);
    ForEachExtension(table.text, [&](std::string_view type, std::string_view extension) {
        table.typeByExtension.emplace(ExtensionKey(extension), type);
        return false;
    });
    table.indexed = true;
}

// The type of the line at whose position at ForEachExtension would give the
// word there as an extension: a whole word after the line's type and before
// any "#"; empty when it would not.
std::string_view TypeOfExtensionAt(std::string_view text, size_t at, size_t length)
{
    const size_t end = at + length;
    if (at == 0 || !IsBlankOrControl(text[at - 1])
        || (end < text.size() && !IsBlankOrControl(text[end]) && text[end] != '#'))
        return {};
    const size_t lineStart = text.rfind('\n', at - 1) + 1; // 0 on the first line
    const std::string_view before = text.substr(lineStart, at - lineStart);
    if (before.find('#') != std::string_view::npos)
        return {};
    const auto typeStart = std::find_if_not(before.begin(), before.end(), IsBlankOrControl);
    return std::string_view(typeStart, std::find_if(typeStart, before.end(), IsBlankOrControl));
}

// What ForEachExtension would find first, found by searching for the
// extension's first character in either case instead of reading every word.
std::string ScanTable(const MimeTable& table, std::string_view extensionWithDot)
{
    if (!extensionWithDot.starts_with('.'))
        return {};
    const std::string_view wanted = extensionWithDot.substr(1);
    // A word holds neither blanks nor "#".
    if (wanted.empty()
        || std::any_of(wanted.begin(), wanted.end(), [](char c) { return IsBlankOrControl(c) || c == '#'; }))
        return {};
    const std::string_view text = table.text;
    const char cases[2] = { LowChar(wanted.front()), UpChar(wanted.front()) };
    size_t next[2]
        = { text.find(cases[0]), cases[1] == cases[0] ? std::string_view::npos : text.find(cases[1]) };
    for (;;) {
        const int earlier = next[1] < next[0] ? 1 : 0;
        const size_t at = next[earlier];
        if (at == std::string_view::npos)
            return {};
        if (SameText(text.substr(at, wanted.size()), wanted)) {
            const std::string_view type = TypeOfExtensionAt(text, at, wanted.size());
            if (!type.empty())
                return std::string(type);
        }
        next[earlier] = text.find(cases[earlier], at + 1);
    }
}

} // namespace

std::string StripQuotes(std::string_view text)
{
    text = TrimView(text);
    while (!text.empty() && text.front() == '"')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == '"')
        text.remove_suffix(1);
    return std::string(text);
}

std::string ExtractWord(std::string_view line, int index)
{
    for (int i = 0; i < index; ++i) {
        const size_t blank = line.find(' ');
        if (blank == std::string_view::npos)
            return {};
        line = TrimView(line.substr(blank + 1));
    }
    return std::string(TrimView(UpTo(line, ' ')));
}

int32_t ExtractWordAsInt(std::string_view line, int index)
{
    return TryStrToInt(ExtractWord(line, index)).value_or(-1);
}

std::string GetParamValue(std::string_view paramName, std::string_view headerValue)
{
    const size_t pos = FindParameter(headerValue, paramName);
    if (pos == std::string_view::npos)
        return {};
    std::string_view rest = ParameterRest(headerValue, pos, paramName.size());
    std::string_view value;
    if (!rest.empty() && rest.front() == '"')
        value = UpTo(rest.substr(1), '"');
    else
        value = UpTo(rest, ' ');
    if (!value.empty() && value.back() == ';')
        value.remove_suffix(1);
    return std::string(TrimView(value));
}

std::string AddBackslash(std::string_view path)
{
#ifdef _WIN32
    constexpr char separator = '\\';
#else
    constexpr char separator = '/';
#endif
    std::string result(path);
    if (!result.empty() && result.back() != separator)
        result += separator;
    return result;
}

void ParseAddress(std::string_view text, TmsMailAddress& address)
{
    const size_t less = text.find('<');
    if (less != std::string_view::npos) {
        const size_t greater = text.find('>');
        if (greater == std::string_view::npos || greater < less) {
            address.SetAddress("");
            address.SetName(StripQuotes(text));
            return;
        }
        address.SetAddress(StripQuotes(text.substr(less + 1, greater - less - 1)));
        std::string rest(text.substr(0, less));
        rest.append(text.substr(greater + 1));
        address.SetName(StripQuotes(rest));
        return;
    }
    const size_t paren = text.find('(');
    if (paren != std::string_view::npos) {
        address.SetAddress(StripQuotes(text.substr(0, paren)));
        // The name ends at the closing parenthesis; without one it runs to
        // the end rather than losing its last character.
        std::string_view name = text.substr(paren + 1);
        const size_t close = name.rfind(')');
        if (close != std::string_view::npos)
            name = name.substr(0, close);
        address.SetName(StripQuotes(name));
        return;
    }
    address.SetAddress(text);
    address.SetName("");
}

std::string ExtractMainValue(std::string_view headerValue)
{
    const std::string_view scanned = headerValue.substr(0, kMainValueScanLimit);
    return std::string(TrimView(scanned.substr(0, scanned.find_first_of(" ;"))));
}

std::string RegisteredContentType(std::string_view extensionWithDot)
{
    MimeTable& table = Table();
    std::lock_guard lock(table.mutex);
    if (!table.loaded)
        LoadTable(table);
    if (!table.indexed && ++table.scans <= kScansBeforeIndex)
        return ScanTable(table, extensionWithDot);
    if (!table.indexed)
        IndexTable(table);
    const auto found = table.typeByExtension.find(LowerCase(extensionWithDot));
    return found == table.typeByExtension.end() ? std::string() : found->second;
}

void SetMimeTypesFile(const std::string& path)
{
    MimeTable& table = Table();
    std::lock_guard lock(table.mutex);
    table.path = path.empty() ? kSystemMimeTypes : path;
    table.loaded = false;
}

std::string ContentTypeForFile(std::string_view fileName)
{
    const std::string_view extension = FileExtension(fileName);
    std::string type = extension.empty() ? std::string() : RegisteredContentType(extension);
    return type.empty() ? std::string(kDefaultContentType) : type;
}

void SaveStringsToFile(const TStringList& list, const std::string& fileName)
{
    try {
        list.SaveToFile(fileName);
    } catch (const EInOutError&) {
        throw;
    } catch (const EStreamError& error) {
        throw EInOutError(error.Message());
    }
}

} // namespace lumigrab
