// The harvest rules and the writing of pictures, without a server.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "message/msmsg.h"
#include "news/harvest.h"
#include "nntp_test_support.h"
#include "tests/support/tiny_filesystem.h"

namespace lumigrab {
namespace {

using testing::FilesBelow;
using testing::FolderEntries;
using testing::WriteFileBytes;
namespace fs = std::filesystem;

struct NumberCase {
    const char* text;
    double value;
};

TEST(HarvestRules, ExtractNumberReadsLeniently)
{
    const NumberCase cases[] = { { "151", 151 }, { " 150 ", 150 }, { "1,234", 1234 }, { "", 0 },
        { "many", 0 }, { "12 lines", 12 }, { "-5", -5 }, { "1.5", 1.5 }, { "1-2", 0 }, { "1.2.3", 0 },
        { "-", 0 }, { ".", 0 }, { "99999999999999999999", 1e20 } };
    for (const NumberCase& c : cases)
        EXPECT_DOUBLE_EQ(ExtractNumber(c.text), c.value) << '"' << c.text << '"';
}

TEST(HarvestRules, MultiPartMarkers)
{
    for (const char* subject : { "sunset (1/1)", "sunset.jpg", "20 pictures", "a/b", "x /1" })
        EXPECT_FALSE(IsMultiPartSubject(subject)) << subject;
    for (const char* subject :
        { "sunset (1/3)", "sunset (2/2)", "sunset (0/5)", "sunset (10/12)", "x /9", "[3/4]" })
        EXPECT_TRUE(IsMultiPartSubject(subject)) << subject;
}

TEST(HarvestRules, PictureExtensions)
{
    for (const char* name : { "a.jpg", "b.JpG", "c.gif", "d.BMP", "e.dib", "f.rle", "g.pcx", "h.tga", "xjpg",
             "c.jpeg", "i.JPE", "j.png", "k.WebP" })
        EXPECT_TRUE(HasPictureExtension(name)) << name;
    for (const char* name : { "a.txt", "jp", "", "a.jpg.exe", "png", "xwebp", ".png.txt", "a.jpeg2" })
        EXPECT_FALSE(HasPictureExtension(name)) << name;
}

void AddAttachment(TmsArticle& article, const std::string& name, const std::string& bytes)
{
    article.Attachments().Add(MakeItem(name, bytes));
}

class SavePicturesTest : public ::testing::Test {
protected:
    ScratchFolder root;
    fs::path folder = root.Path() / "TEMP";
    TmsArticle article;

    void SetUp() override { fs::create_directory(folder); }

    void LoadArticle(const std::string& text)
    {
        TMemoryStream stream;
        stream.WriteString(text);
        stream.SetPosition(0);
        article.LoadFromStream(stream);
    }

    // Paths relative to the picture folder, made whole.
    std::vector<std::string> InFolder(const std::vector<std::string>& names) const
    {
        std::vector<std::string> paths;
        for (const std::string& name : names)
            paths.push_back((folder / name).string());
        return paths;
    }
};

using Files = std::vector<std::pair<std::string, std::string>>;

struct SaveCase {
    const char* name;
    // What is below root before the saving, as FilesBelow gives it.
    std::map<std::string, std::string> before;
    Files attachments;
    // The files written into the folder, in the order reported as kept;
    // nothing else below root may change.
    Files written;
    // What SavePictures returns where it is not the names written.
    std::optional<std::vector<std::string>> saved = std::nullopt;
};

using testing::PrintTo;

class SaveCaseTest : public SavePicturesTest, public ::testing::WithParamInterface<SaveCase> { };

TEST_P(SaveCaseTest, WritesNewFilesOnlyAndOnlyInTheFolder)
{
    const SaveCase& c = GetParam();
    for (const auto& [name, content] : c.before) {
        if (content.starts_with("-> "))
            fs::create_symlink(root.Path() / content.substr(3), root.Path() / name);
        else
            WriteFileBytes(root.Path() / name, content);
    }
    for (const auto& [name, bytes] : c.attachments)
        AddAttachment(article, name, bytes);
    std::vector<std::string> reported;
    const auto paths
        = SavePictures(article, folder.string(), [&](const std::string& p) { reported.push_back(p); });
    std::map<std::string, std::string> after = c.before;
    std::vector<std::string> written;
    for (const auto& [name, bytes] : c.written) {
        written.push_back((folder / name).string());
        after["TEMP/" + name] = bytes;
    }
    EXPECT_EQ(reported, written);
    EXPECT_EQ(paths, c.saved ? InFolder(*c.saved) : written);
    EXPECT_EQ(FilesBelow(root.Path()), after);
}

INSTANTIATE_TEST_SUITE_P(Folders, SaveCaseTest,
    ::testing::Values(SaveCase { "KeepsOnlyPicturesWithTheirBytes", {},
                          { { "a.jpg", std::string("\xff\xd8jpeg\0bytes", 12) }, { "a.txt", "a note" },
                              { "b.JpG", "second" }, { "c.jpeg", "third" }, { "d.webp.txt", "not kept" } },
                          { { "a.jpg", std::string("\xff\xd8jpeg\0bytes", 12) }, { "b.JpG", "second" },
                              { "c.jpeg", "third" } } },
        // A picture attachment that decoded to nothing.
        SaveCase { "PicturesWithoutAByteGiveNoFile", {}, { { "empty.jpg", "" }, { "full.gif", "GIF89a" } },
            { { "full.gif", "GIF89a" } } },
        SaveCase { "NamesNeverLeaveTheFolder", {},
            { { "../up.jpg", "up" }, { "/tmp/abs.gif", "abs" }, { "C:\\win\\w.bmp", "win" }, { "..", "dots" },
                { "", "empty" }, { "ctl\x01\x1b[2J\t.jpg", "control" } },
            { { "up.jpg", "up" }, { "abs.gif", "abs" }, { "w.bmp", "win" },
                { "ctl__[2J_.jpg", "control" } } },
        SaveCase { "TakenNamesGetANumberInsteadOfOverwriting",
            { { "TEMP/a.jpg", "older picture" }, { "TEMP/a-1.jpg", "another older one" } },
            { { "a.jpg", "first" }, { "a.jpg", "second" }, { "xjpg", "no dot" }, { "xjpg", "no dot again" } },
            { { "a-2.jpg", "first" }, { "a-3.jpg", "second" }, { "xjpg", "no dot" },
                { "1-xjpg", "no dot again" } } },
        SaveCase { "NeverWritesThroughALinkInTheFolder",
            { { "outside.jpg", "precious" }, { "TEMP/trap.jpg", "-> outside.jpg" },
                { "TEMP/dangle.jpg", "-> dangling.jpg" } },
            { { "trap.jpg", "attack" }, { "dangle.jpg", "attack" } },
            { { "trap-1.jpg", "attack" }, { "dangle-1.jpg", "attack" } } },
        SaveCase { "NonPicturesDoNotTouchFilesOfTheSameName", { { "TEMP/notes.txt", "mine" } },
            { { "notes.txt", "theirs" } }, {} },
        // Bytes that a file of the name, or a numbered variant, holds already
        // are not written again, nor reported.
        SaveCase { "PicturesAlreadyInTheFolderAreNotWrittenAgain",
            { { "TEMP/a.jpg", "older picture" }, { "TEMP/a-1.jpg", "same bytes" },
                { "TEMP/b.gif", "same bytez" } },
            { { "a.jpg", "same bytes" }, { "b.gif", "same bytes" }, { "a.jpg", "same bytes" },
                { "new.jpg", "new" }, { "new.jpg", "new" } },
            { { "b-1.gif", "same bytes" }, { "new.jpg", "new" } },
            std::vector<std::string> { "a-1.jpg", "b-1.gif", "a-1.jpg", "new.jpg", "new.jpg" } }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SavePicturesTest, DamagedPicturesAreKeptAndReportedAfterTheirFile)
{
    AddAttachment(article, "whole.jpg", "whole");
    AddAttachment(article, "cut.jpg", "cut");
    article.Attachments().Items(1).SetDamage("no =yend line");
    AddAttachment(article, "cut.txt", "not a picture");
    article.Attachments().Items(2).SetDamage("no =yend line");
    std::vector<std::string> events;
    SavePictures(
        article, folder.string(), [&](const std::string& path) { events.push_back("kept " + path); },
        [&](const std::string& path, const std::string& damage) {
            events.push_back("damaged " + path + ": " + damage + " (" + ReadFileBytes(path) + ")");
        });
    EXPECT_EQ(events,
        (std::vector<std::string> { "kept " + (folder / "whole.jpg").string(),
            "kept " + (folder / "cut.jpg").string(),
            "damaged " + (folder / "cut.jpg").string() + ": no =yend line (cut)" }));
}

TEST_F(SavePicturesTest, MissingFolderIsACreateError)
{
    AddAttachment(article, "a.jpg", "x");
    ExpectRaises<EFCreateError>([&] { SavePictures(article, (root.Path() / "missing").string()); },
        "Cannot create file " + (root.Path() / "missing" / "a.jpg").string() + ": No such file or directory");
}

TEST_F(SavePicturesTest, PicturesBeforeAFailureAreReported)
{
    AddAttachment(article, "good.jpg", "x");
    AddAttachment(article, "lost.jpg", "y");
    std::vector<std::string> reported;
    // The folder goes away once the first picture is in it.
    const auto moveFolder = [&](const std::string& path) {
        reported.push_back(path);
        fs::rename(folder, root.Path() / "moved");
    };
    EXPECT_THROW(SavePictures(article, folder.string(), moveFolder), EFCreateError);
    EXPECT_EQ(reported, std::vector<std::string> { (folder / "good.jpg").string() });
}

TEST_F(SavePicturesTest, LongNamesKeepTheirExtensionAndNumberWithinTheLimit)
{
    // As the decoder names it: cut to 255 bytes at the stem, so the
    // picture is still recognised; the second copy is numbered within the
    // limit too.
    const std::string name = std::string(300, 'n') + ".jpg";
    LoadArticle("Subject: long\r\n\r\nbegin 644 " + name + "\r\n#0V%T\r\n`\r\nend\r\n");
    const auto first = SavePictures(article, folder.string());
    // Other bytes under the same name.
    TMemoryStream& bytes = article.Attachments().Items(0).Stream;
    bytes.SetPosition(bytes.Size());
    bytes.WriteString("s");
    const auto second = SavePictures(article, folder.string());
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    const std::string firstName = fs::path(first[0]).filename().string();
    const std::string secondName = fs::path(second[0]).filename().string();
    EXPECT_EQ(firstName, std::string(251, 'n') + ".jpg");
    EXPECT_EQ(secondName, std::string(249, 'n') + "-1.jpg");
    EXPECT_EQ(ReadFileBytes(second[0]), "Cats");
}

TEST_F(SavePicturesTest, AFullDiskEndsTheSavingWithoutAskingAndLeavesNoPartialFile)
{
    const std::string big = RandomBytes(256 * 1024, 4);
    const auto outcome = testing::RunOnTinyFileSystem(folder, 64 * 1024, false, [&] {
        AddAttachment(article, "small.jpg", "small");
        AddAttachment(article, "big.jpg", big);
        AddAttachment(article, "after.jpg", "after");
        std::string seen;
        try {
            SavePictures(
                article, folder.string(), [&](const std::string& path) { seen += "kept " + path + "; "; }, {},
                [&](const std::string&, const Exception&) {
                    seen += "asked; ";
                    return true;
                });
        } catch (const EDiskFullError& error) {
            seen += error.Message();
        }
        for (const std::string& name : FolderEntries(folder))
            seen += "; left " + name;
        return seen;
    });
    if (!outcome)
        GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(*outcome,
        "kept " + (folder / "small.jpg").string() + "; Cannot write " + (folder / "big.jpg").string()
            + ": No space left on device; left small.jpg");
}

} // namespace
} // namespace lumigrab
