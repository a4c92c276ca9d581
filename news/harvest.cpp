#include "news/harvest.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "base/sysutils.h"

namespace lumigrab {

namespace {

constexpr std::array<std::string_view, 9> MultiPartMarkers
    = { "0/", "/2", "/3", "/4", "/5", "/6", "/7", "/8", "/9" };
constexpr std::array<std::string_view, 7> PictureExtensions
    = { "JPG", "GIF", "BMP", "DIB", "RLE", "PCX", "TGA" };
// Gives up numbering a taken name after this many tries.
constexpr int MaxNameTries = 10000;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Names come from strangers: a name that is empty, a folder reference
// or carries control characters is not written at all.
bool IsUsableName(std::string_view name)
{
    if (name.empty() || name == "." || name == "..")
        return false;
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 32)
            return false;
    }
    return true;
}

// "a.jpg" -> "a_2.jpg"; a name without a dot is prefixed ("2_ajpg"), so
// the last three characters, which decide what is a picture, stay.
std::string NumberedName(std::string_view name, int number)
{
    const std::string suffix = std::to_string(number);
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos)
        return suffix + "_" + std::string(name);
    return std::string(name.substr(0, dot)) + "_" + suffix + std::string(name.substr(dot));
}

// Creates a new file under name, or a numbered variant when the name is
// taken. Exclusive creation never writes through an existing file or
// symbolic link.
FilePtr CreateNewFile(const std::filesystem::path& folder, std::string_view name, std::string& path)
{
    for (int number = 1; number <= MaxNameTries; ++number) {
        const std::string candidate = number == 1 ? std::string(name) : NumberedName(name, number);
        path = (folder / candidate).string();
        errno = 0;
        if (std::FILE* file = std::fopen(path.c_str(), "wbx"))
            return FilePtr(file);
        if (errno != EEXIST)
            break;
    }
    throw EFCreateError(Format("Cannot create file %s", path.c_str()));
}

void WriteAll(FilePtr file, std::string_view bytes, const std::string& path)
{
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
    const bool closed = std::fclose(file.release()) == 0;
    if (!written || !closed) {
        std::remove(path.c_str());
        throw EInOutError(Format("Cannot write file %s", path.c_str()));
    }
}

} // namespace

double ExtractNumber(std::string_view text)
{
    std::string kept;
    for (const char c : text) {
        if ((c >= '0' && c <= '9') || c == '-' || c == '.')
            kept += c;
    }
    double value = 0;
    const char* end = kept.data() + kept.size();
    const auto result = std::from_chars(kept.data(), end, value);
    if (result.ec != std::errc() || result.ptr != end)
        return 0;
    return value;
}

bool IsMultiPartSubject(std::string_view subject)
{
    return std::any_of(MultiPartMarkers.begin(), MultiPartMarkers.end(),
        [subject](std::string_view marker) { return subject.find(marker) != std::string_view::npos; });
}

bool HasPictureExtension(std::string_view fileName)
{
    if (fileName.size() < 3)
        return false;
    const std::string_view extension = fileName.substr(fileName.size() - 3);
    return std::any_of(PictureExtensions.begin(), PictureExtensions.end(),
        [extension](std::string_view picture) { return SameText(extension, picture); });
}

std::vector<std::string> SavePictures(const TmsCustomMessage& message, const std::string& folder,
    const PictureKeptEvent& kept, const PictureDamagedEvent& damaged)
{
    std::vector<std::string> paths;
    const TmsAttList& attachments = message.Attachments();
    for (int i = 0; i < attachments.Count(); ++i) {
        const TmsAttItem& item = attachments.Items(i);
        const std::string_view name = BareFileName(item.FileName());
        if (!IsUsableName(name) || !HasPictureExtension(name))
            continue;
        std::string path;
        FilePtr file = CreateNewFile(folder, name, path);
        WriteAll(std::move(file), item.Stream.View(), path);
        // Reported at once, so a later attachment that fails to write does
        // not hide the pictures already on disk.
        if (kept)
            kept(path);
        if (damaged && !item.Damage().empty())
            damaged(path, item.Damage());
        paths.push_back(std::move(path));
    }
    return paths;
}

THarvest::THarvest(TmsNNTP& client, std::string folder)
    : client_(client)
    , folder_(std::move(folder))
{
}

bool THarvest::HarvestHeader(const TmsNgInfoItem& header)
{
    if (ExtractNumber(header.GetFieldValue("Lines")) > HarvestLineThreshold)
        return HarvestArticle(header);
    return false;
}

bool THarvest::HarvestArticle(const TmsNgInfoItem& header)
{
    // Copied first: handlers fired during the fetch may empty the header
    // list that owns header.
    const std::string subject = header.GetFieldValue("Subject");
    const int32_t number = header.Number;
    if (OnSubject)
        OnSubject(subject);
    if (IsMultiPartSubject(subject))
        return false;
    client_.RetrieveArticleByNumber(number);
    if (client_.Article)
        SavePictures(*client_.Article, folder_, OnPictureKept, OnPictureDamaged);
    return true;
}

} // namespace lumigrab
