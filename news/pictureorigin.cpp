#include "news/pictureorigin.h"

#include <fstream>
#include <optional>
#include <utility>
#include <vector>

#include "base/filenames.h"

namespace lumigrab {

namespace {

// An about line: its key, then four fields, each at most a file name long.
constexpr size_t MaxLineBytes = 8 + MaxMessageIdBytes + 5 * (MaxFileNameBytes + 1);

std::vector<std::string_view> Fields(std::string_view line)
{
    std::vector<std::string_view> fields;
    for (size_t tab; (tab = line.find('\t')) != std::string_view::npos; line.remove_prefix(tab + 1))
        fields.push_back(line.substr(0, tab));
    fields.push_back(line);
    return fields;
}

// Reads the lines in order; an about line counts for the article line
// right after it, which is how the harvest writes them.
class TOriginScan {
public:
    explicit TOriginScan(const std::string& fileName)
        : fileName_(fileName)
    {
    }

    void Line(std::string_view line)
    {
        const std::vector<std::string_view> fields = Fields(line);
        const std::string aboutKey = AboutKey("");
        if (fields[0].starts_with(aboutKey)) {
            about_ = TPictureOrigin { std::string(fields[0].substr(aboutKey.size())), AboutOf(fields) };
            return;
        }
        const std::optional<TPictureOrigin> about = std::exchange(about_, std::nullopt);
        if (!IsUsableMessageId(fields[0]))
            return;
        for (size_t i = 1; i < fields.size(); ++i) {
            if (fields[i] != fileName_)
                continue;
            found_ = TPictureOrigin { std::string(fields[0]), {} };
            if (about && about->messageId == fields[0])
                found_->about = about->about;
            return;
        }
    }

    void Junk() { about_.reset(); }

    const std::optional<TPictureOrigin>& Found() const { return found_; }

private:
    const std::string& fileName_;
    std::optional<TPictureOrigin> about_;
    std::optional<TPictureOrigin> found_;

    static TArticleAbout AboutOf(const std::vector<std::string_view>& fields)
    {
        const auto field = [&](size_t i) { return i < fields.size() ? std::string(fields[i]) : std::string(); };
        return { field(1), field(2), field(3), field(4) };
    }
};

} // namespace

std::optional<TPictureOrigin> FindPictureOriginInText(std::string_view text, const std::string& fileName)
{
    TOriginScan scan(fileName);
    // A last line without its line feed is torn, as the index reads it.
    for (size_t end; (end = text.find('\n')) != std::string_view::npos; text.remove_prefix(end + 1)) {
        if (end > MaxLineBytes)
            scan.Junk();
        else
            scan.Line(text.substr(0, end));
    }
    return scan.Found();
}

std::optional<TPictureOrigin> FindPictureOrigin(const std::string& folder, const std::string& fileName)
{
    std::ifstream file(JoinPath(folder, TFolderIndex::FileName), std::ios::binary);
    if (!file)
        return std::nullopt;
    TOriginScan scan(fileName);
    std::string line;
    char buffer[64 * 1024];
    bool junk = false;
    while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
        std::string_view piece(buffer, size_t(file.gcount()));
        for (size_t end; (end = piece.find('\n')) != std::string_view::npos; piece.remove_prefix(end + 1)) {
            if (!junk && line.size() + end <= MaxLineBytes)
                scan.Line(line.append(piece.substr(0, end)));
            else
                scan.Junk();
            line.clear();
            junk = false;
        }
        junk = junk || line.size() + piece.size() > MaxLineBytes;
        if (!junk)
            line.append(piece);
    }
    return scan.Found();
}

} // namespace lumigrab
