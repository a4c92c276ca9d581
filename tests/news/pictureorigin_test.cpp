// Where a picture came from, read back from the folder's index: the about
// line goes with the article line right after it; older lines, torn lines
// and lines past their bounds are read as the index reads them, in text
// and from the file in pieces.
#include "news/pictureorigin.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/support/scratch_folder.h"

namespace lumigrab {
namespace {

TEST(FindPictureOrigin, PairsTheAboutLineWithTheArticleAfterIt)
{
    struct Case {
        const char* name;
        std::string index;
        std::optional<TPictureOrigin> origin;
    };
    const std::string about = "about <a@x>\tpics\tharbour\tAnn\tMon, 1 Jun 2024\n";
    const std::string tooLong(4000, 's');
    const Case cases[] = {
        { "Recorded", about + "<a@x>\tharbour.jpg\n", TPictureOrigin { "<a@x>", { "pics", "harbour", "Ann", "Mon, 1 Jun 2024" } } },
        { "OneOfSeveralNames", about + "<a@x>\tother.jpg\tharbour.jpg\n",
            TPictureOrigin { "<a@x>", { "pics", "harbour", "Ann", "Mon, 1 Jun 2024" } } },
        { "BeforeAboutLines", "<a@x>\tharbour.jpg\n", TPictureOrigin { "<a@x>", {} } },
        { "AboutOfAnotherArticle", "about <b@x>\tpics\ts\tp\td\n<a@x>\tharbour.jpg\n", TPictureOrigin { "<a@x>", {} } },
        { "TheLastArticleCounts", about + "<a@x>\tharbour.jpg\n<c@x>\tharbour.jpg\n", TPictureOrigin { "<c@x>", {} } },
        { "FewerFields", "about <a@x>\tpics\n<a@x>\tharbour.jpg\n", TPictureOrigin { "<a@x>", { "pics", "", "", "" } } },
        { "TornLastLine", about + "<a@x>\tharbour.jpg", std::nullopt },
        { "AboutPastItsBound", "about <a@x>\tpics\t" + tooLong + "\n<a@x>\tharbour.jpg\n", TPictureOrigin { "<a@x>", {} } },
        { "NotNamed", about + "<a@x>\tother.jpg\n", std::nullopt },
        { "UnusableId", "about <a x>\tp\ts\tp\td\n<a x>\tharbour.jpg\n", std::nullopt },
        { "DigestLinesAreNoArticles", "sha256 " + std::string(64, 'a') + "\tharbour.jpg\n", std::nullopt },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<TPictureOrigin> found = FindPictureOriginInText(c.index, "harbour.jpg");
        ASSERT_EQ(found.has_value(), c.origin.has_value());
        if (found) {
            EXPECT_EQ(found->messageId, c.origin->messageId);
            EXPECT_EQ(found->about, c.origin->about);
        }
    }
}

// What the harvest's index writes is what the lookup reads, and the ids
// load as before beside it.
TEST(FindPictureOrigin, ReadsWhatTheFolderIndexWrites)
{
    ScratchFolder folder;
    {
        TFolderIndex index(folder.Path().string());
        index.RecordAbout("<a@x>", { "pics", "tab\there", "Ann \x01", "today" });
        index.Record("<a@x>", { "harbour.jpg" });
    }
    const std::optional<TPictureOrigin> found = FindPictureOrigin(folder.Path().string(), "harbour.jpg");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->about, (TArticleAbout { "pics", "tab_here", "Ann _", "today" }));
    TFolderIndex again(folder.Path().string());
    EXPECT_TRUE(again.Contains("<a@x>"));
    EXPECT_EQ(again.Ids().Count(), 1u);
    // A line longer than any index line is read past in pieces.
    std::ofstream(folder.Path() / ".lumigrab-index", std::ios::app) << std::string(200000, 'x') << "\n<b@x>\tharbour.jpg\n";
    EXPECT_EQ(FindPictureOrigin(folder.Path().string(), "harbour.jpg")->messageId, "<b@x>");
    EXPECT_FALSE(FindPictureOrigin("/nonexistent-folder", "harbour.jpg"));
}

} // namespace
} // namespace lumigrab
