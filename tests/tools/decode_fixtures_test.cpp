// Decodes every sample article under fixtures/articles through the real
// decoder and the lumigrab-decode command, and compares what lands on disk
// with the expected bytes written by fixtures/make_fixtures.py.
#include <algorithm>
#include <cstdlib>
#include <map>

#include <gtest/gtest.h>

#include "message/msmsg.h"
#include "tests/support/test_util.h"
#include "tests/support/tool_files.h"

namespace lumigrab {
namespace {

namespace fs = std::filesystem;
using testing::FilesBelow;
using testing::RunCommand;
using testing::ShellQuote;
using testing::ToolRun;

const fs::path ArticlesDir = fs::path(LUMIGRAB_FIXTURES_DIR) / "articles";
const fs::path DecodeToolPath = testing::ToolPath("lumigrab-decode");

Lines SplitLines(const std::string& text)
{
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Explains the first difference instead of dumping binary payloads.
std::string DescribeDifference(const std::string& expected, const std::string& actual)
{
    const auto [e, a] = std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end());
    return "expected " + std::to_string(expected.size()) + " bytes, got " + std::to_string(actual.size())
        + ", first difference at offset " + std::to_string(e - expected.begin());
}

void ExpectSameFiles(
    const std::map<std::string, std::string>& expected, const std::map<std::string, std::string>& actual)
{
    std::vector<std::string> expectedNames, actualNames;
    for (const auto& [name, bytes] : expected)
        expectedNames.push_back(name);
    for (const auto& [name, bytes] : actual)
        actualNames.push_back(name);
    EXPECT_EQ(expectedNames, actualNames);
    for (const auto& [name, bytes] : expected) {
        const auto found = actual.find(name);
        if (found != actual.end()) {
            EXPECT_TRUE(found->second == bytes) << name << ": " << DescribeDifference(bytes, found->second);
        }
    }
}

std::vector<std::string> FixtureNames()
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(ArticlesDir)) {
        if (entry.path().extension() == ".eml")
            names.push_back(entry.path().stem().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

void LoadArticle(const fs::path& file, TmsArticle& article)
{
    TMemoryStream source;
    source.Assign(ReadFileBytes(file));
    article.Clear();
    article.LoadFromStream(source);
}

class DecodeFixture : public ::testing::TestWithParam<std::string> {
protected:
    fs::path Article() const { return ArticlesDir / (GetParam() + ".eml"); }
    std::map<std::string, std::string> Expected() const
    {
        return FilesBelow(ArticlesDir / (GetParam() + ".expected"));
    }
};

// The attachments, the body and the headers are as expected, and saving
// writes the expected files into the folder and nowhere else.
TEST_P(DecodeFixture, DecodesAndSavesWhatTheArticleHolds)
{
    TmsArticle article;
    LoadArticle(Article(), article);
    std::map<std::string, std::string> decoded;
    Lines damaged;
    for (int i = 0; i < article.Attachments().Count(); ++i) {
        const TmsAttItem& item = article.Attachments().Items(i);
        EXPECT_TRUE(decoded.emplace(BareFileName(item.FileName()), std::string(item.Stream.View())).second)
            << "two attachments named " << item.FileName();
        if (!item.Damage().empty())
            damaged.emplace_back(BareFileName(item.FileName()));
    }
    ExpectSameFiles(Expected(), decoded);
    EXPECT_EQ(SplitLines(ReadFileBytes(ArticlesDir / (GetParam() + ".damaged"))), damaged);

    const fs::path bodyFile = ArticlesDir / (GetParam() + ".body");
    ASSERT_TRUE(fs::exists(bodyFile)) << bodyFile;
    EXPECT_EQ(SplitLines(ReadFileBytes(bodyFile)), article.Body().Lines());

    EXPECT_EQ("alt.binaries.pictures.test", article.NewsGroups);
    EXPECT_EQ("poster@example.invalid", article.Sender().Address());
    EXPECT_EQ("<" + GetParam() + "@example.invalid>", article.MessageID);
    EXPECT_FALSE(article.Subject().empty());
    if (GetParam().starts_with("uu_")) {
        EXPECT_EQ(meUU, article.Encoding());
    }

    // Names like ../../x must not climb out of out/; the sandbox around it
    // is deep enough to catch two levels of climbing.
    ScratchFolder sandbox;
    const fs::path folder = sandbox.Path() / "a" / "b" / "out";
    fs::create_directories(folder);
    const bool absoluteTargetExisted = fs::exists("/etc/x.jpg");
    for (int i = 0; i < article.Attachments().Count(); ++i)
        EXPECT_NO_THROW(article.SaveAttachment(i, folder.string()))
            << article.Attachments().Items(i).FileName();
    std::map<std::string, std::string> expected;
    for (const auto& [name, bytes] : Expected())
        expected["a/b/out/" + name] = bytes;
    ExpectSameFiles(expected, FilesBelow(sandbox.Path()));
    if (!absoluteTargetExisted && fs::exists("/etc/x.jpg")) {
        fs::remove("/etc/x.jpg");
        ADD_FAILURE() << "an absolute attachment name was written outside the folder";
    }
}

INSTANTIATE_TEST_SUITE_P(Articles, DecodeFixture, ::testing::ValuesIn(FixtureNames()),
    [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

TEST(DecodeFixtures, EveryShapeIsPresent)
{
    // A generator run that lost articles would silently shrink the suite.
    const std::vector<std::string> names = FixtureNames();
    EXPECT_GE(names.size(), 35u);
    for (const char* required : { "uu_grave", "uu_blanks", "uu_two_blocks", "mime_single_name",
             "mime_single_filename", "multipart_mixed", "multipart_first_image", "multipart_alternative",
             "nested_alternative", "qp_text", "x_uue_parts", "recovery_no_boundary", "base64_long_lines",
             "lf_only", "hostile_uu_parent", "hostile_absolute_filename", "hostile_multipart_names",
             "hostile_uu_dots", "base64_stray_characters", "base64_trailing_blanks" })
        EXPECT_NE(std::find(names.begin(), names.end(), required), names.end()) << required;
    for (const char* required : { "yenc_single", "yenc_name_blanks", "yenc_part_one_of_one", "yenc_escapes",
             "yenc_dot_lines", "yenc_bad_crc", "yenc_no_end", "yenc_multipart_part" })
        EXPECT_NE(std::find(names.begin(), names.end(), required), names.end()) << required;
}

// ---- the command ----

ToolRun RunTool(const std::vector<std::string>& args, const fs::path& workDir)
{
    std::string command = "cd " + ShellQuote(workDir.string()) + " && " + ShellQuote(DecodeToolPath.string());
    for (const std::string& arg : args)
        command += " " + ShellQuote(arg);
    return RunCommand(command, workDir);
}

std::string Fixture(const std::string& name)
{
    return (ArticlesDir / (name + ".eml")).string();
}

class DecodeTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!fs::exists(DecodeToolPath))
            GTEST_FAIL() << "build lumigrab-decode first: " << DecodeToolPath;
        out_ = work_.Path() / "out";
        fs::create_directory(out_);
    }
    ScratchFolder work_;
    fs::path out_;
};

struct ListingCase {
    const char* sample;
    std::vector<std::string> options;
    bool intoCurrentFolder; // no folder argument: the tool writes where it runs
    std::string listing;
    std::string errors = "";
    // An article of the case's own instead of the sample, and the files it gives.
    std::string article = "";
    std::map<std::string, std::string> files = {};
};

void PrintTo(const ListingCase& c, std::ostream* out)
{
    *out << c.sample;
}

class DecodeToolListing : public DecodeTool, public ::testing::WithParamInterface<ListingCase> { };

// Each attachment is listed with type and size in article order, after the
// body where asked, and its file holds the expected bytes.
TEST_P(DecodeToolListing, ListsAndWritesTheExpectedFiles)
{
    const ListingCase& c = GetParam();
    fs::path article = Fixture(c.sample);
    if (!c.article.empty()) {
        article = work_.Path() / (std::string(c.sample) + ".eml");
        std::ofstream(article, std::ios::binary) << c.article;
    }
    std::vector<std::string> args = c.options;
    args.push_back(article.string());
    if (!c.intoCurrentFolder)
        args.push_back(out_.string());
    const ToolRun run = RunTool(args, c.intoCurrentFolder ? out_ : work_.Path());
    EXPECT_EQ(0, run.exitCode) << run.err;
    EXPECT_EQ(c.listing, run.out);
    EXPECT_EQ(c.errors, run.err);
    ExpectSameFiles(
        c.article.empty() ? FilesBelow(ArticlesDir / (std::string(c.sample) + ".expected")) : c.files,
        FilesBelow(out_));
}

INSTANTIATE_TEST_SUITE_P(Samples, DecodeToolListing,
    ::testing::Values(ListingCase { "mime_single_name", {}, false, "x.jpg\timage/jpeg\t6000\n" },
        ListingCase {
            "multipart_mixed", {}, false, "first.jpg\timage/jpeg\t7000\nsecond.png\timage/png\t4096\n" },
        ListingCase { "uu_grave", { "--body" }, false,
            "Here is a picture for the group.\nEnjoy.\ncat.jpg\timage/jpeg\t4000\n" },
        ListingCase {
            "uu_two_blocks", {}, true, "one.jpg\timage/jpeg\t2000\ntwo pics.gif\timage/gif\t3001\n" },
        // hostile names are listed as written, not as the article gave them
        ListingCase { "hostile_multipart_names", {}, false,
            "win.jpg\timage/jpeg\t1000\nevil.jpg\timage/jpeg\t1000\natt.2\timage/jpeg\t1000\n" },
        // damaged blocks are written and listed, and told on standard error
        ListingCase { "yenc_bad_crc", {}, false, "bad.jpg\timage/jpeg\t6000\ngood.jpg\timage/jpeg\t2000\n",
            "lumigrab-decode: bad.jpg is damaged: CRC-32 71ef8d76 announced, 71ef8d77 computed\n" },
        ListingCase { "yenc_no_end", {}, false, "cut.jpg\timage/jpeg\t4920\n",
            "lumigrab-decode: cut.jpg is damaged: no =yend line; size 9000 announced, 4920 decoded\n" },
        // the article kept whole when its parts cannot be told apart counts as read
        ListingCase { "recovery_no_boundary", {}, false, "original.eml\tmessage/rfc822\t340\n" },
        ListingCase { "same_name_twice", {}, false, "pic.jpg\timage/jpeg\t3\npic-1.jpg\timage/jpeg\t3\n", "",
            "Subject: twice\r\n\r\n"
            "begin 644 pic.jpg\r\n#0V%T\r\n`\r\nend\r\n"
            "begin 644 pic.jpg\r\n#1&]G\r\n`\r\nend\r\n",
            { { "pic.jpg", "Cat" }, { "pic-1.jpg", "Dog" } } },
        // a picture that decodes to nothing gives no file, beside one that is kept
        ListingCase { "empty_beside_a_picture", {}, false, "pic.jpg\timage/jpeg\t3\n",
            "lumigrab-decode: i.jpg is damaged beyond decoding: it decodes to nothing, no file written\n",
            "Subject: two\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
            "--b\r\nContent-Type: image/jpeg; name=\"i.jpg\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
            "!!!! ----\r\n"
            "--b\r\nContent-Type: image/jpeg; name=\"pic.jpg\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
            "Q2F0\r\n--b--\r\n",
            { { "pic.jpg", "Cat" } } },
        // control characters never reach the output raw
        ListingCase { "control_characters", { "--body" }, false,
            "red \\x1B[31m text\tcolumn\\x07\na_[31m__b.jpg\timage/jpeg\t3\n", "",
            "Subject: control\r\n\r\n"
            "red \x1b[31m text\tcolumn\a\r\n"
            "begin 644 a\x1b[31m\a\tb.jpg\r\n#0V%T\r\n`\r\nend\r\n",
            { { "a_[31m__b.jpg", "Cat" } } }),
    [](const auto& info) { return std::string(info.param.sample); });

TEST_F(DecodeTool, FilesAndLinksAlreadyInTheFolderStayAsTheyAre)
{
    const fs::path outside = work_.Path() / "outside.jpg";
    std::ofstream(outside) << "precious";
    std::ofstream(out_ / "x.jpg") << "mine";
    fs::create_symlink(outside, out_ / "cat.jpg");
    const ToolRun single = RunTool({ Fixture("mime_single_name"), out_.string() }, work_.Path());
    const ToolRun uu = RunTool({ Fixture("uu_grave"), out_.string() }, work_.Path());
    EXPECT_EQ(0, single.exitCode) << single.err;
    EXPECT_EQ("x-1.jpg\timage/jpeg\t6000\n", single.out);
    EXPECT_EQ("cat-1.jpg\timage/jpeg\t4000\n", uu.out);
    EXPECT_EQ("mine", ReadFileBytes(out_ / "x.jpg"));
    EXPECT_EQ("precious", ReadFileBytes(outside));
    EXPECT_EQ(FilesBelow(ArticlesDir / "uu_grave.expected").at("cat.jpg"), ReadFileBytes(out_ / "cat-1.jpg"));
}

// An attachment that fails halfway leaves no file, and the article saved
// in its place gets the name it would have got had that one never begun.
TEST_F(DecodeTool, AttachmentThatFailsLeavesNoFileNorNumberTaken)
{
    const fs::path article = work_.Path() / "damaged.eml";
    std::ofstream(article, std::ios::binary) << "Subject: damaged\r\n\r\n"
                                                "begin 644 original.eml\r\n#0V%T\r\nM\x80\r\n`\r\nend\r\n";
    std::ofstream(out_ / "original.eml") << "mine";
    const ToolRun run = RunTool({ article.string(), out_.string() }, work_.Path());
    EXPECT_EQ(0, run.exitCode) << run.err;
    const std::string articleBytes = ReadFileBytes(article);
    EXPECT_EQ("original-1.eml\tmessage/rfc822\t" + std::to_string(articleBytes.size()) + "\n", run.out);
    const std::map<std::string, std::string> expected
        = { { "original.eml", "mine" }, { "original-1.eml", articleBytes } };
    ExpectSameFiles(expected, FilesBelow(out_));
}

// An article or folder that cannot be used fails with 1, wrong usage with 2
// and the usage text, and nothing is written; --help prints that text.
TEST_F(DecodeTool, ExitStatusTellsWhatWentWrong)
{
    const std::string article = Fixture("mime_single_name");
    const std::string missingFolder = (work_.Path() / "no" / "such").string();
    const fs::path plainFile = work_.Path() / "plain";
    std::ofstream(plainFile) << "x";
    const std::string failure = "lumigrab-decode: ", usage = "usage: lumigrab-decode";
    const fs::path emptyPicture = work_.Path() / "empty.eml";
    std::ofstream(emptyPicture, std::ios::binary)
        << "Subject: empty\r\nMIME-Version: 1.0\r\nContent-Type: image/jpeg; name=\"i.jpg\"\r\n"
           "Content-Transfer-Encoding: base64\r\n\r\n!!!! ----\r\n";
    const std::string missingMessage
        = failure + "Cannot write into " + missingFolder + ": No such file or directory";
    const std::string plainMessage
        = failure + "Cannot write into " + plainFile.string() + ": Not a directory";
    const std::string emptyMessage = failure + "i.jpg is damaged beyond decoding: it decodes to nothing";
    const struct {
        std::vector<std::string> args;
        int exitCode;
        const std::string& message;
    } cases[] = {
        { { (work_.Path() / "missing.eml").string(), out_.string() }, 1, failure },
        { { work_.Path().string(), out_.string() }, 1, failure }, // the article is a folder
        { { article, missingFolder }, 1, failure },
        { { article, plainFile.string() }, 1, failure },
        // the folder the user gave is named, not a file inside it
        { { article, missingFolder }, 1, missingMessage },
        { { article, plainFile.string() }, 1, plainMessage },
        // nothing could be kept
        { { emptyPicture.string(), out_.string() }, 1, emptyMessage },
        { {}, 2, usage },
        { { "--body" }, 2, usage },
        { { "--bogus", article }, 2, usage },
        { { article, out_.string(), "extra" }, 2, usage },
    };
    for (const auto& c : cases) {
        const ToolRun run = RunTool(c.args, work_.Path());
        const std::string what = ::testing::PrintToString(c.args);
        EXPECT_EQ(c.exitCode, run.exitCode) << what;
        EXPECT_NE(std::string::npos, run.err.find(c.message)) << what << ": " << run.err;
        EXPECT_EQ("", run.out) << what;
    }
    EXPECT_FALSE(fs::exists(missingFolder));
    const ToolRun help = RunTool({ "--help" }, work_.Path());
    EXPECT_EQ(0, help.exitCode);
    EXPECT_NE(std::string::npos, help.out.find(usage));
    EXPECT_TRUE(FilesBelow(out_).empty());
}

} // namespace
} // namespace lumigrab
