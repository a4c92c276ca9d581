// The demo news server of scripts/run.sh, harvested as run.sh does without
// a window: every picture type arrives and decodes, the multi-part posts are
// joined, the one with a part missing is reported and never kept, and
// stopping leaves nothing running. Needs root and INN2.
#include <gtest/gtest.h>

#include <QImageReader>
#include <QString>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "base/sysutils.h"
#include "nntp_test_support.h"
#include "tests/support/demo_server.h"

namespace lumigrab {
namespace {

namespace fs = std::filesystem;
using testing::DemoServer;
using testing::LinesOf;
using testing::Output;

const fs::path Harvest = fs::path(LUMIGRAB_BINARY_DIR) / "tools" / "lumigrab-harvest";
constexpr int PictureWidth = 480;
constexpr int PictureHeight = 360;

std::string UpperExtension(const fs::path& file)
{
    return UpperCase(file.extension().string().substr(1));
}

bool PortAnswers(const std::string& port)
{
    int status = 0;
    Output("bash -c 'exec 3<>/dev/tcp/127.0.0.1/" + port + "' 2>/dev/null", status);
    return status == 0;
}

// Width and height from the headers of the two formats Qt has no reader for.
std::pair<int, int> PcxSize(const std::string& bytes)
{
    const auto word = [&](size_t at) { return int(uint8_t(bytes[at])) | int(uint8_t(bytes[at + 1])) << 8; };
    return { word(8) - word(4) + 1, word(10) - word(6) + 1 };
}

std::pair<int, int> TgaSize(const std::string& bytes)
{
    const auto word = [&](size_t at) { return int(uint8_t(bytes[at])) | int(uint8_t(bytes[at + 1])) << 8; };
    return { word(12), word(14) };
}

class DemoServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const bool required
            = std::getenv("LUMIGRAB_REQUIRE_INN") && std::string(std::getenv("LUMIGRAB_REQUIRE_INN")) == "1";
        if (geteuid() != 0 || !fs::exists("/usr/lib/news/bin/innd")) {
            if (required)
                FAIL() << "the demo server needs root and INN2 (LUMIGRAB_REQUIRE_INN=1)";
            GTEST_SKIP() << "the demo server needs root and INN2";
        }
    }
};

TEST_F(DemoServerTest, ServesEveryPictureTypeAndStopsCleanly)
{
    DemoServer server;
    ASSERT_TRUE(server.Running()) << "demo-server.sh start failed";
    const fs::path serverFolder = server.Folder();
    const std::string port = server.Port();
    const std::vector<std::string> groups = server.Groups();
    ASSERT_FALSE(groups.empty());

    ScratchFolder folder;
    std::vector<fs::path> kept;
    int status = 0;
    std::string reports;
    const fs::path errors = folder.Path() / ".errors";
    for (const std::string& group : groups) {
        const std::string printed = Output(Harvest.string() + " --server 127.0.0.1:" + port + " --group "
                + group + " --folder " + folder.Path().string() + " 2>" + errors.string(),
            status);
        const std::string error = ReadFileBytes(errors);
        // 3: the main group's unfinished post.
        EXPECT_TRUE(status == 0 || status == 3) << group << ": " << status;
        EXPECT_EQ(status == 3, error.find("Incomplete: ") != std::string::npos) << group;
        reports += error;
        const std::vector<std::string> paths = LinesOf(printed);
        EXPECT_FALSE(paths.empty()) << group << " gave no pictures";
        kept.insert(kept.end(), paths.begin(), paths.end());
    }

    std::set<std::string> types;
    for (const fs::path& picture : kept) {
        const std::string type = UpperExtension(picture);
        types.insert(type);
        EXPECT_EQ(picture.filename().string().find("unfinished"), std::string::npos)
            << "a post with a part missing was kept";
        const std::string bytes = ReadFileBytes(picture);
        std::pair<int, int> size;
        if (type == "PCX") {
            size = PcxSize(bytes);
        } else if (type == "TGA") {
            size = TgaSize(bytes);
        } else {
            // By content: .dib and .rle are bitmaps, the latter run-length encoded.
            QImageReader reader(QString::fromStdString(picture.string()));
            reader.setDecideFormatFromContent(true);
            const QImage image = reader.read();
            EXPECT_FALSE(image.isNull()) << picture << ": " << reader.errorString().toStdString();
            size = { image.width(), image.height() };
        }
        EXPECT_EQ(size, std::make_pair(PictureWidth, PictureHeight)) << picture;
    }
    EXPECT_EQ(
        types, (std::set<std::string> { "JPG", "GIF", "BMP", "DIB", "RLE", "PCX", "TGA", "PNG", "WEBP" }));
    EXPECT_NE(reports.find("Incomplete: unfinished-yenc.jpg, parts 2 of 3 missing\n"), std::string::npos)
        << reports;
    for (const char* joined : { "panorama.jpg", "spirals-parts-yenc.png" })
        EXPECT_TRUE(fs::exists(folder.Path() / joined)) << joined;
    // The yEnc posts name their pictures so.
    EXPECT_EQ(std::count_if(kept.begin(), kept.end(),
                  [](const fs::path& picture) {
                      return picture.filename().string().find("yenc") != std::string::npos;
                  }),
        5);

    EXPECT_EQ(server.Stop(), 0);
    EXPECT_FALSE(fs::exists(serverFolder));
    EXPECT_FALSE(PortAnswers(port));
}

} // namespace
} // namespace lumigrab
