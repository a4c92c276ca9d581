#include "base/filenames.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/test_util.h"
#include "tests/support/tiny_filesystem.h"
#include "tests/support/tool_files.h"

namespace lumigrab {
namespace {

namespace fs = std::filesystem;

using testing::FolderEntries;

struct NameCase {
    std::string raw;
    std::string safe;
};

TEST(FileNamesTest, SafeNamesAreBarePrintableAndFitTheLimit)
{
    const std::string euro = "\xE2\x82\xAC"; // three bytes
    const std::vector<NameCase> cases = {
        { "cat.jpg", "cat.jpg" },
        { "../../etc/x.jpg", "x.jpg" },
        { "C:\\win\\w.bmp", "w.bmp" },
        { "C:evil.jpg", "evil.jpg" },
        { std::string("a\0b\x1b[2J\t\x7f.jpg", 13), "a_b_[2J__.jpg" },
        { "", "" },
        { "..", "" },
        { "dir/...", "" },
        { "/", "" },
        // Cut at the stem, extension kept.
        { std::string(300, 'n') + ".jpg", std::string(251, 'n') + ".jpg" },
        // No usable extension: cut at the end.
        { "x." + std::string(300, 'e'), "x." + std::string(253, 'e') },
        // Never half a character: the stem's 251 bytes end inside the 83rd
        // euro sign.
        { std::string(3, 'a') + Repeat(euro, 90) + ".gif", std::string(3, 'a') + Repeat(euro, 82) + ".gif" },
        // No UTF-8 at all: cut where the limit falls.
        { std::string(300, '\x80') + ".", std::string(254, '\x80') + "." },
        // Dots first: cut to the limit, only dots would be left.
        { std::string(280, '.') + "\xdc\xd1P\xe4.", "" },
    };
    for (const NameCase& c : cases) {
        const std::string safe = SafeFileName(c.raw);
        EXPECT_EQ(safe, c.safe) << c.raw;
        EXPECT_LE(safe.size(), MaxFileNameBytes);
        EXPECT_EQ(SafeFileName(safe), safe) << "not stable: " << c.raw;
    }
}

TEST(FileNamesTest, NumbersGoInFrontOfTheExtensionWithinTheLimit)
{
    EXPECT_EQ(NumberedFileName("a.jpg", 1), "a-1.jpg");
    EXPECT_EQ(NumberedFileName("att.0", 12), "att-12.0");
    EXPECT_EQ(NumberedFileName("xjpg", 3), "3-xjpg");
    EXPECT_EQ(NumberedFileName(".jpg", 1), "1-.jpg");
    const std::string longest = std::string(251, 'n') + ".jpg";
    EXPECT_EQ(NumberedFileName(longest, 100), std::string(247, 'n') + "-100.jpg");
    EXPECT_EQ(NumberedFileName(std::string(255, 'x'), 7).size(), MaxFileNameBytes);
    // A name at the limit that already ends in the number is not given back.
    const std::string endsInTen = std::string(248, 'n') + "-10.jpg";
    EXPECT_EQ(NumberedFileName(endsInTen, 10), std::string(247, 'n') + "-10.jpg");
    std::string tens;
    while (tens.size() < MaxFileNameBytes)
        tens += "10-";
    tens.resize(MaxFileNameBytes);
    EXPECT_NE(NumberedFileName(tens, 10), tens);
}

class NewFileTest : public ::testing::Test {
protected:
    ScratchFolder root;
    fs::path folder = root.Path() / "out";
    void SetUp() override { fs::create_directory(folder); }
    std::string Save(std::string_view name, std::string_view bytes)
    {
        return SaveNewFile(folder.string(), name, bytes);
    }
};

TEST_F(NewFileTest, TakenNamesAndPlantedLinksAreNeverWrittenThrough)
{
    const fs::path outside = root.Path() / "outside.jpg";
    std::ofstream(outside) << "precious";
    std::ofstream(folder / "mine.jpg") << "mine";
    fs::create_symlink(outside, folder / "link.jpg");
    fs::create_symlink(root.Path() / "nowhere.jpg", folder / "dangling.jpg");

    EXPECT_EQ(Save("mine.jpg", "theirs"), (folder / "mine-1.jpg").string());
    EXPECT_EQ(Save("link.jpg", "attack"), (folder / "link-1.jpg").string());
    EXPECT_EQ(Save("../dangling.jpg", "attack"), (folder / "dangling-1.jpg").string());
    EXPECT_EQ(ReadFileBytes(folder / "mine.jpg"), "mine");
    EXPECT_EQ(ReadFileBytes(outside), "precious");
    EXPECT_FALSE(fs::exists(root.Path() / "nowhere.jpg"));
    EXPECT_EQ(ReadFileBytes(folder / "link-1.jpg"), "attack");
}

TEST_F(NewFileTest, LongestNameTwice)
{
    const std::string longest = std::string(251, 'n') + ".jpg";
    Save(longest, "first");
    const std::string second = Save(longest, "second");
    EXPECT_EQ(fs::path(second).filename().string(), std::string(249, 'n') + "-1.jpg");
    EXPECT_EQ(ReadFileBytes(folder / longest), "first");
    EXPECT_EQ(ReadFileBytes(second), "second");
}

TEST_F(NewFileTest, ManyDuplicatesGetConsecutiveNumbersFromTheLastOneUsed)
{
    constexpr int Copies = 3000;
    for (int i = 0; i < Copies; ++i)
        Save("x.jpg", std::to_string(i));
    const std::vector<std::string> names = FolderEntries(folder);
    ASSERT_EQ(names.size(), size_t(Copies));
    EXPECT_EQ(ReadFileBytes(folder / "x.jpg"), "0");
    EXPECT_EQ(
        ReadFileBytes(folder / ("x-" + std::to_string(Copies - 1) + ".jpg")), std::to_string(Copies - 1));
    // Numbering goes on after the last number used rather than testing
    // every taken one again, so a gap left behind is not filled.
    fs::remove(folder / "x-1.jpg");
    EXPECT_EQ(Save("x.jpg", "next"), (folder / ("x-" + std::to_string(Copies) + ".jpg")).string());
}

// A finished file moved in by name: numbered like a new one, never through
// a planted link, and left where it was when the name is unusable.
// Blocks the file system holds for path.
uintmax_t BlockBytes(const std::string& path)
{
    struct stat status { };
    return ::stat(path.c_str(), &status) == 0 ? uintmax_t(status.st_blocks) * 512 : 0;
}

// A file written at offsets: a file left at its path is replaced, pieces
// land in any order with a gap that reads as zeros, and the room reserved
// beyond the written bytes is given back on closing.
TEST_F(NewFileTest, PositionedFileIsWrittenAtOffsetsAndKeepsOnlyWhatWasWritten)
{
    const std::string path = (folder / "post.part").string();
    std::ofstream(path) << "a file left behind, longer than the new one";
    constexpr uint64_t Reserved = 1 << 20;
    TPositionedFile file(path);
    file.Reserve(Reserved);
    const bool reserved = BlockBytes(path) >= Reserved;
    file.WriteAt(6, "world");
    file.WriteAt(0, "hello");
    EXPECT_EQ(fs::file_size(path), 11u);
    file.Close();
    EXPECT_THROW(file.WriteAt(0, "x"), EInOutError);
    EXPECT_EQ(ReadFileBytes(path), std::string("hello\0world", 11));
    if (reserved) {
        EXPECT_LT(BlockBytes(path), Reserved);
    }
    file.Remove();
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(NewFileTest, MovedFilesFollowTheSamePolicy)
{
    const fs::path outside = root.Path() / "outside.jpg";
    std::ofstream(outside) << "precious";
    fs::create_symlink(outside, folder / "link.jpg");
    std::ofstream(folder / "taken.png") << "taken";
    const auto Staged = [&](const std::string& bytes) {
        const fs::path staged = root.Path() / "staged.part";
        std::ofstream(staged) << bytes;
        return staged.string();
    };

    EXPECT_EQ(MoveNewFile(Staged("one"), folder.string(), "../x/link.jpg"), (folder / "link-1.jpg").string());
    EXPECT_EQ(MoveNewFile(Staged("two"), folder.string(), "taken.png"), (folder / "taken-1.png").string());
    EXPECT_EQ(ReadFileBytes(outside), "precious");
    EXPECT_EQ(ReadFileBytes(folder / "link-1.jpg"), "one");
    EXPECT_EQ(ReadFileBytes(folder / "taken.png"), "taken");
    EXPECT_EQ(ReadFileBytes(folder / "taken-1.png"), "two");
    EXPECT_FALSE(fs::exists(root.Path() / "staged.part"));

    const std::string staged = Staged("three");
    EXPECT_THROW(MoveNewFile(staged, folder.string(), ".."), EFCreateError);
    EXPECT_THROW(MoveNewFile(staged, (root.Path() / "missing").string(), "a.jpg"), EFCreateError);
    EXPECT_EQ(ReadFileBytes(staged), "three");
}

// Written in pieces, a file ends as SaveNewFile would have written it; one
// discarded unfinished leaves nothing and gives its number back.
TEST_F(NewFileTest, PiecesEndWholeAndADiscardedFileNeverCounted)
{
    std::ofstream(folder / "a.jpg") << "mine";
    {
        TNewFile discarded(folder.string(), "a.jpg");
        EXPECT_EQ(discarded.Path(), (folder / "a-1.jpg").string());
        discarded.Write("half");
    }
    EXPECT_FALSE(fs::exists(folder / "a-1.jpg"));
    TNewFile pieces(folder.string(), "a.jpg");
    EXPECT_EQ(pieces.Path(), (folder / "a-1.jpg").string());
    pieces.Write("one ");
    pieces.Write("");
    pieces.Write("two");
    EXPECT_EQ(pieces.Finish(), (folder / "a-1.jpg").string());
    pieces.Discard();
    EXPECT_EQ(ReadFileBytes(folder / "a-1.jpg"), "one two");
    EXPECT_EQ(Save("a.jpg", "next"), (folder / "a-2.jpg").string());
    EXPECT_EQ(FolderEntries(folder).size(), 3u);
}

TEST_F(NewFileTest, UnusableNameMissingFolderAndFailedWriteLeaveNothing)
{
    ExpectRaises<EFCreateError>([&] { Save("a/..", "x"); }, "Cannot create file " + (folder / "..").string());
    const fs::path missing = root.Path() / "missing";
    ExpectRaises<EFCreateError>([&] { SaveNewFile(missing.string(), "a.jpg", "x"); },
        "Cannot create file " + (missing / "a.jpg").string() + ": No such file or directory");

    // A file size limit makes the write fail halfway.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved {};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    try {
        Save("big.jpg", std::string(4096, 'b'));
        ADD_FAILURE() << "nothing raised";
    } catch (const EDiskFullError& error) {
        ADD_FAILURE() << "a file size limit is no full disk: " << error.Message();
    } catch (const EInOutError& error) {
        EXPECT_EQ(error.Message(), "Cannot write " + (folder / "big.jpg").string() + ": File too large");
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_TRUE(FolderEntries(folder).empty());
}

// What the writer saw on a full or read-only file system: the error's
// class and text, and what is left in the folder.
std::string SaveOnTinyFileSystem(const fs::path& folder, const std::string& bytes)
{
    std::string outcome;
    try {
        SaveNewFile(folder.string(), "big.jpg", bytes);
        outcome = "nothing raised";
    } catch (const EDiskFullError& error) {
        outcome = "disk full: " + error.Message();
    } catch (const Exception& error) {
        outcome = "other: " + error.Message();
    }
    for (const std::string& name : FolderEntries(folder))
        outcome += "; left " + name;
    return outcome;
}

struct FullCase {
    const char* name;
    size_t fileSystemBytes;
    bool readOnly;
    const char* reason;
};

TEST_F(NewFileTest, FullOrReadOnlyFileSystemIsADiskFullErrorAndLeavesNothing)
{
    const std::string big = RandomBytes(256 * 1024, 3);
    for (const FullCase& c : { FullCase { "full", 64 * 1024, false, "No space left on device" },
             FullCase { "read-only", 1024 * 1024, true, "Read-only file system" } }) {
        SCOPED_TRACE(c.name);
        const auto outcome = testing::RunOnTinyFileSystem(
            folder, c.fileSystemBytes, c.readOnly, [&] { return SaveOnTinyFileSystem(folder, big); });
        if (!outcome)
            GTEST_SKIP() << "no private mount namespace here";
        EXPECT_EQ(*outcome, "disk full: Cannot write " + (folder / "big.jpg").string() + ": " + c.reason);
    }
}

// A writer killed while SaveWholeFile writes (here by the file size limit,
// whose signal ends the process with the file half written) leaves nothing
// under the file's name. What it leaves RemoveUnfinishedFiles takes away,
// and nothing else; then the file is saved whole under its own name.
TEST_F(NewFileTest, AWriterKilledWhileItWritesLeavesNoFileUnderTheName)
{
    const std::string big = RandomBytes(256 * 1024, 5);
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_DFL);
        const rlimit noCore { 0, 0 };
        const rlimit small { 64 * 1024, 64 * 1024 };
        ::setrlimit(RLIMIT_CORE, &noCore);
        ::setrlimit(RLIMIT_FSIZE, &small);
        SaveWholeFile(folder.string(), "big.jpg", big);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
    std::vector<std::string> left = FolderEntries(folder);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_TRUE(left[0].starts_with(".")) << left[0];

    std::ofstream(folder / ".lumigrab-saving-17.part") << "another writer's, cut short";
    fs::create_symlink(root.Path() / "nowhere", folder / ".lumigrab-saving-3.part");
    std::ofstream(folder / ".lumigrab-saving-x.part") << "not the writers' name";
    std::ofstream(folder / ".lumigrab-saving.part.jpg") << "nor this";
    fs::create_directory(folder / ".lumigrab-saving-2.part");
    std::ofstream(folder / "a.jpg") << "a picture";
    RemoveUnfinishedFiles(folder.string());
    EXPECT_EQ(FolderEntries(folder),
        (std::vector<std::string> {
            ".lumigrab-saving-2.part", ".lumigrab-saving-x.part", ".lumigrab-saving.part.jpg", "a.jpg" }));
    EXPECT_EQ(SaveWholeFile(folder.string(), "big.jpg", big), (folder / "big.jpg").string());
    EXPECT_EQ(ReadFileBytes(folder / "big.jpg"), big);
    RemoveUnfinishedFiles((root.Path() / "missing").string());
}

class SameFileTest : public NewFileTest {
protected:
    void Put(const std::string& name, std::string_view bytes)
    {
        std::ofstream(folder / name, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    }
    std::string Found(std::string_view name, std::string_view bytes)
    {
        const std::string path = FindSameFile(folder.string(), name, bytes);
        return path.empty() ? "" : fs::path(path).filename().string();
    }
};

TEST_F(SameFileTest, FindsEqualBytesUnderTheNameOrANumberedVariant)
{
    Put("a.jpg", "first");
    Put("a-1.jpg", "second");
    Put("a-2.jpg", "third!");
    Put("a-4.jpg", "beyond a gap");
    Put("b.jpg", "other");
    Put("xjpg", "no dot");
    Put("1-xjpg", "no dot again");
    fs::create_symlink(folder / "b.jpg", folder / "link.jpg");
    fs::create_directory(folder / "dir.jpg");
    const struct {
        const char* name;
        const char* bytes;
        const char* found;
    } cases[] = {
        { "a.jpg", "first", "a.jpg" },
        { "a.jpg", "second", "a-1.jpg" },
        { "../a.jpg", "third!", "a-2.jpg" },
        { "a.jpg", "third?", "" }, // same size, other bytes
        { "a.jpg", "firs", "" }, // a prefix
        { "a.jpg", "beyond a gap", "" }, // past the first free number
        { "b.jpg", "first", "" }, // another name's bytes
        { "xjpg", "no dot again", "1-xjpg" },
        { "link.jpg", "other", "" }, // a link is not followed
        { "dir.jpg", "", "" },
        { "..", "first", "" },
    };
    for (const auto& c : cases)
        EXPECT_EQ(Found(c.name, c.bytes), c.found) << c.name << " " << c.bytes;
}

TEST_F(SameFileTest, CopiesNumberedInThisRunAreFoundPastAGap)
{
    for (const char* bytes : { "one", "two", "three" })
        Save("c.jpg", bytes);
    fs::remove(folder / "c-1.jpg");
    EXPECT_EQ(Found("c.jpg", "three"), "c-2.jpg");
    EXPECT_EQ(Found("c.jpg", "two"), "");
}

} // namespace
} // namespace lumigrab
