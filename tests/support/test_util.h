// Helpers shared by the codec, message, article and list tests.
#pragma once

#include <gtest/gtest.h>

#include "tests/support/random_bytes.h"
#include "tests/support/scratch_folder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "base/classes.h"
#include "base/sysutils.h"
#include "message/msmsgcls.h"
#include "message/msutils.h"
#include "mime/msmime.h"
#include "mime/msuucode.h"

namespace lumigrab {

using Lines = std::vector<std::string>;

// One row of a codec table: the text form, the bytes, and the most bytes wanted.
struct CodecCase {
    std::string encoded;
    std::string decoded;
    size_t maxLen = kShortTextMax;
};

inline std::string Repeat(std::string_view text, size_t count)
{
    std::string repeated;
    for (size_t i = 0; i < count; ++i)
        repeated += text;
    return repeated;
}

// Every line followed by CR LF, as articles travel.
inline std::string Join(const Lines& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    return text;
}

inline Lines Concat(std::initializer_list<Lines> parts)
{
    Lines all;
    for (const Lines& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Base64 lines of lineBytes input bytes each (57 gives the usual 76 chars).
inline Lines Base64Lines(std::string_view bytes, size_t lineBytes = 57)
{
    Lines lines;
    for (size_t offset = 0; offset < bytes.size(); offset += lineBytes)
        lines.push_back(EncodeBase64(bytes.substr(offset, lineBytes), 4 * lineBytes));
    return lines;
}

inline Lines UULines(std::string_view bytes)
{
    Lines lines;
    for (size_t offset = 0; offset < bytes.size(); offset += 45)
        lines.push_back(EncodeUULine(bytes.substr(offset, 45)));
    return lines;
}

inline std::string ReadFileBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// A folder index's article lines, in order, without the lines of the kept
// pictures' digests ("sha256 ...") and of where articles came from
// ("about ..."), which a test of the articles taken
// need not spell out.
inline std::string IndexArticleLines(const std::filesystem::path& path)
{
    const std::string text = ReadFileBytes(path);
    std::string lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size() - 1) + 1;
        if (text.compare(start, 7, "sha256 ") != 0 && text.compare(start, 6, "about ") != 0)
            lines.append(text, start, end - start);
        start = end;
    }
    return lines;
}

// A name below the temp folder that parallel test programs do not share.
inline std::filesystem::path UniqueTempPath(std::string_view leaf)
{
    return std::filesystem::temp_directory_path()
        / ("lumigrab_" + std::to_string(getpid()) + "_" + std::string(leaf));
}

// Sets (or, given nothing, removes) an environment variable for the life
// of the object.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::optional<std::string>& value)
        : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnvironment()
    {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

// A file-type table of the test's own, so results do not depend on the machine.
class ScopedMimeTable {
public:
    explicit ScopedMimeTable(std::string_view table)
        : path_(UniqueTempPath("mime.types"))
    {
        std::ofstream(path_) << table;
        SetMimeTypesFile(path_.string());
    }
    ~ScopedMimeTable()
    {
        SetMimeTypesFile("");
        std::filesystem::remove(path_);
    }
    ScopedMimeTable(const ScopedMimeTable&) = delete;
    ScopedMimeTable& operator=(const ScopedMimeTable&) = delete;

private:
    std::filesystem::path path_;
};

// The call must raise exactly E (or a subclass) carrying message.
template <typename E> void ExpectRaises(const std::function<void()>& call, std::string_view message)
{
    try {
        call();
        ADD_FAILURE() << "nothing raised, expected: " << message;
    } catch (const E& error) {
        EXPECT_EQ(error.Message(), message);
    } catch (const std::exception& error) {
        ADD_FAILURE() << "wrong exception class: " << error.what();
    }
}

inline void ExpectInvalidCharacter(const std::function<void()>& call)
{
    ExpectRaises<EInOutError>(call, "Invalid Character");
}

inline void ExpectIndexError(const std::function<void()>& call, int index)
{
    ExpectRaises<EListError>(call, "List index out of bounds (" + std::to_string(index) + ")");
}

inline TStringList StringListOf(const Lines& lines)
{
    TStringList list;
    for (const std::string& line : lines)
        list.Add(line);
    return list;
}

inline TmsHeaders HeadersOf(const Lines& lines)
{
    TmsHeaders headers;
    for (const std::string& line : lines)
        headers.Add(line);
    return headers;
}

inline std::unique_ptr<TmsAttItem> MakeItem(
    const std::string& fileName, const std::string& bytes = "", const std::string& contentType = "")
{
    auto item = std::make_unique<TmsAttItem>();
    item->SetFileName(fileName);
    if (!contentType.empty())
        item->SetContentType(contentType);
    item->Stream.Assign(bytes);
    return item;
}

namespace testing {

// Test listings show a parameterised case by its name, not a dump of its
// bytes. Brought into a test's namespace with a using-declaration, where
// gtest's printer finds it.
template <typename Case>
requires requires(const Case& c)
{
    std::string_view(c.name);
}
void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

} // namespace testing

} // namespace lumigrab
