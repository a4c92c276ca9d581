// The harvest rules and the writing of pictures, without a server.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "message/msmsg.h"
#include "news/harvest.h"
#include "nntp_test_support.h"
#include "tests/support/tiny_filesystem.h"

namespace lumigrab {
namespace {

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
    ScopedTempDir root;
    fs::path folder = root.Path() / "TEMP";
    TmsArticle article;

    void SetUp() override { fs::create_directory(folder); }
};

TEST_F(SavePicturesTest, KeepsOnlyPicturesWithTheirBytes)
{
    AddAttachment(article, "a.jpg", std::string("\xff\xd8jpeg\0bytes", 12));
    AddAttachment(article, "a.txt", "a note");
    AddAttachment(article, "b.JpG", "second");
    AddAttachment(article, "c.jpeg", "third");
    AddAttachment(article, "d.webp.txt", "not kept");
    std::vector<std::string> reported;
    const auto paths
        = SavePictures(article, folder.string(), [&](const std::string& p) { reported.push_back(p); });
    EXPECT_EQ(paths,
        (std::vector<std::string> {
            (folder / "a.jpg").string(), (folder / "b.JpG").string(), (folder / "c.jpeg").string() }));
    EXPECT_EQ(reported, paths);
    EXPECT_EQ(FolderEntries(folder), (std::vector<std::string> { "a.jpg", "b.JpG", "c.jpeg" }));
    EXPECT_EQ(ReadFileBytes(folder / "a.jpg"), std::string("\xff\xd8jpeg\0bytes", 12));
    EXPECT_EQ(ReadFileBytes(folder / "b.JpG"), "second");
}

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

TEST_F(SavePicturesTest, NamesNeverLeaveTheFolder)
{
    AddAttachment(article, "../up.jpg", "up");
    AddAttachment(article, "/tmp/abs.gif", "abs");
    AddAttachment(article, "C:\\win\\w.bmp", "win");
    AddAttachment(article, "..", "dots");
    AddAttachment(article, "", "empty");
    AddAttachment(article, "ctl\x01\x1b[2J\t.jpg", "control");
    const auto paths = SavePictures(article, folder.string());
    EXPECT_EQ(
        FolderEntries(folder), (std::vector<std::string> { "abs.gif", "ctl__[2J_.jpg", "up.jpg", "w.bmp" }));
    EXPECT_EQ(FolderEntries(root.Path()), std::vector<std::string> { "TEMP" });
    EXPECT_EQ(paths.size(), 4u);
    EXPECT_EQ(ReadFileBytes(folder / "up.jpg"), "up");
}

TEST_F(SavePicturesTest, TakenNamesGetANumberInsteadOfOverwriting)
{
    WriteFileBytes(folder / "a.jpg", "older picture");
    WriteFileBytes(folder / "a-1.jpg", "another older one");
    AddAttachment(article, "a.jpg", "first");
    AddAttachment(article, "a.jpg", "second");
    AddAttachment(article, "xjpg", "no dot");
    AddAttachment(article, "xjpg", "no dot again");
    const auto paths = SavePictures(article, folder.string());
    EXPECT_EQ(paths,
        (std::vector<std::string> { (folder / "a-2.jpg").string(), (folder / "a-3.jpg").string(),
            (folder / "xjpg").string(), (folder / "1-xjpg").string() }));
    EXPECT_EQ(ReadFileBytes(folder / "a.jpg"), "older picture");
    EXPECT_EQ(ReadFileBytes(folder / "a-1.jpg"), "another older one");
    EXPECT_EQ(ReadFileBytes(folder / "a-2.jpg"), "first");
    EXPECT_EQ(ReadFileBytes(folder / "a-3.jpg"), "second");
    EXPECT_EQ(ReadFileBytes(folder / "1-xjpg"), "no dot again");
}

TEST_F(SavePicturesTest, NeverWritesThroughALinkInTheFolder)
{
    const fs::path outside = root.Path() / "outside.jpg";
    WriteFileBytes(outside, "precious");
    fs::create_symlink(outside, folder / "trap.jpg");
    fs::create_symlink(root.Path() / "dangling.jpg", folder / "dangle.jpg");
    AddAttachment(article, "trap.jpg", "attack");
    AddAttachment(article, "dangle.jpg", "attack");
    SavePictures(article, folder.string());
    EXPECT_EQ(ReadFileBytes(outside), "precious");
    EXPECT_FALSE(fs::exists(root.Path() / "dangling.jpg"));
    EXPECT_EQ(ReadFileBytes(folder / "trap-1.jpg"), "attack");
    EXPECT_EQ(ReadFileBytes(folder / "dangle-1.jpg"), "attack");
}

TEST_F(SavePicturesTest, NonPicturesDoNotTouchFilesOfTheSameName)
{
    WriteFileBytes(folder / "notes.txt", "mine");
    AddAttachment(article, "notes.txt", "theirs");
    EXPECT_TRUE(SavePictures(article, folder.string()).empty());
    EXPECT_EQ(ReadFileBytes(folder / "notes.txt"), "mine");
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
    TMemoryStream text;
    text.WriteString("Subject: long\r\n\r\nbegin 644 " + name + "\r\n#0V%T\r\n`\r\nend\r\n");
    text.SetPosition(0);
    article.LoadFromStream(text);
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

TEST_F(SavePicturesTest, PicturesAlreadyInTheFolderAreNotWrittenAgain)
{
    WriteFileBytes(folder / "a.jpg", "older picture");
    WriteFileBytes(folder / "a-1.jpg", "same bytes");
    WriteFileBytes(folder / "b.gif", "same bytez");
    AddAttachment(article, "a.jpg", "same bytes");
    AddAttachment(article, "b.gif", "same bytes");
    AddAttachment(article, "a.jpg", "same bytes");
    AddAttachment(article, "new.jpg", "new");
    AddAttachment(article, "new.jpg", "new");
    std::vector<std::string> reported;
    const auto paths
        = SavePictures(article, folder.string(), [&](const std::string& p) { reported.push_back(p); });
    EXPECT_EQ(paths,
        (std::vector<std::string> { (folder / "a-1.jpg").string(), (folder / "b-1.gif").string(),
            (folder / "a-1.jpg").string(), (folder / "new.jpg").string(), (folder / "new.jpg").string() }));
    EXPECT_EQ(reported,
        (std::vector<std::string> { (folder / "b-1.gif").string(), (folder / "new.jpg").string() }));
    EXPECT_EQ(FolderEntries(folder),
        (std::vector<std::string> { "a-1.jpg", "a.jpg", "b-1.gif", "b.gif", "new.jpg" }));
}

TEST_F(SavePicturesTest, PicturesWithoutAByteGiveNoFile)
{
    TMemoryStream text;
    text.WriteString(
        "Subject: empty\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
        "--b\r\nContent-Type: image/jpeg; name=\"empty.jpg\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
        "!!!! ----\r\n~~~~\r\n--b\r\nContent-Type: image/gif; name=\"full.gif\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nR0lGODlh\r\n--b--\r\n");
    text.SetPosition(0);
    article.LoadFromStream(text);
    ASSERT_EQ(article.Attachments().Count(), 2);
    ASSERT_TRUE(article.Attachments().Items(0).Stream.View().empty());
    EXPECT_EQ(
        SavePictures(article, folder.string()), std::vector<std::string> { (folder / "full.gif").string() });
    EXPECT_EQ(FolderEntries(folder), std::vector<std::string> { "full.gif" });
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
