#include "message/msmsg.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/test_util.h"

using namespace lumigrab;
namespace fs = std::filesystem;

namespace {

using lumigrab::testing::PrintTo;

// A fresh folder "pictures" inside a sandbox per test, removed afterwards.
class MessageFiles : public ::testing::Test {
protected:
    ScratchFolder sandbox_;
    const fs::path root_ = sandbox_.Path();
    const fs::path folder_ = root_ / "pictures";
    void SetUp() override { fs::create_directories(folder_); }
};

// ---- content type rule

struct ContentTypeCase {
    const char* name;
    TMsgEncoding encoding;
    int bodyLines;
    std::vector<std::pair<std::string, std::string>> attachments; // name, type
    const char* stored;
    const char* expected;
};

class ContentTypeRule : public ::testing::TestWithParam<ContentTypeCase> { };

TEST_P(ContentTypeRule, DerivesTypeFromEncodingBodyAndAttachments)
{
    const ContentTypeCase& c = GetParam();
    TmsArticle article;
    article.SetEncoding(c.encoding);
    for (int i = 0; i < c.bodyLines; ++i)
        article.Body().Add("line");
    for (const auto& [name, type] : c.attachments)
        article.Attachments().Add(MakeItem(name, "", type));
    if (c.stored)
        article.SetContentType(c.stored);

    EXPECT_EQ(article.ContentType(), c.expected);
    EXPECT_EQ(article.StoredContentType(), c.expected) << "the getter stores its result";
}

INSTANTIATE_TEST_SUITE_P(Table, ContentTypeRule,
    ::testing::Values(ContentTypeCase { "EmptyIsPlainText", meMIME, 0, {}, nullptr, "text/plain" },
        ContentTypeCase {
            "UUIsEmptyWhateverItHolds", meUU, 2, { { "a.jpg", "image/jpeg" } }, "text/html", "" },
        ContentTypeCase { "RtfBodyAnyCaseAnyFolder", meMIME, 0, { { "c:\\tmp\\_RTFBODY.RTF", "text/rtf" } },
            nullptr, "text/rtf" },
        ContentTypeCase {
            "RtfWithBodyIsMixed", meMIME, 1, { { "_rtfbody.rtf", "text/rtf" } }, nullptr, "multipart/mixed" },
        ContentTypeCase {
            "HtmBodyAlone", meMIME, 0, { { "dir/_HtmBody.htm", "text/html" } }, nullptr, "text/html" },
        ContentTypeCase { "AlternativesWithoutBody", meMIME, 0,
            { { "_alt.0", "text/plain" }, { "_alt.1", "text/html" } }, nullptr, "multipart/alternative" },
        ContentTypeCase { "AlternativesWithBody", meMIME, 3,
            { { "_alt.0", "text/plain" }, { "_ALT.1", "text/html" } }, nullptr, "multipart/alternative" },
        ContentTypeCase { "AlternativeAndOtherIsMixed", meMIME, 1,
            { { "_alt.0", "text/html" }, { "att.1", "image/gif" } }, nullptr, "multipart/mixed" },
        ContentTypeCase {
            "SingleAttachmentOwnType", meMIME, 0, { { "p.gif", "image/gif" } }, nullptr, "image/gif" },
        ContentTypeCase { "TwoAttachmentsNoBody", meMIME, 0,
            { { "a.gif", "image/gif" }, { "b.gif", "image/gif" } }, nullptr, "multipart/mixed" },
        ContentTypeCase { "StoredTypeSurvivesWithBody", meMIME, 1, {}, "Text/HTML", "text/html" },
        ContentTypeCase { "StoredTypeIgnoredWithoutBody", meMIME, 0, {}, "text/html", "text/plain" },
        ContentTypeCase { "EmptyStoredWithBodyIsPlain", meMIME, 1, {}, "", "text/plain" }),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MessageContentType, NewAndClearedReportPlainTextAndSetterLowerCasesAndCuts)
{
    TmsArticle article;
    EXPECT_EQ(article.StoredContentType(), "text/plain");
    article.Body().Add("x");
    article.Attachments().Add(MakeItem("a.jpg", "", "image/jpeg"));
    article.SetEncoding(meUU);
    article.Clear();
    EXPECT_EQ(article.StoredContentType(), "");
    EXPECT_EQ(article.ContentType(), "text/plain");
    EXPECT_EQ(article.Encoding(), meMIME);
    EXPECT_EQ(article.Attachments().Count(), 0);

    article.SetContentType("Text/HTML");
    EXPECT_EQ(article.StoredContentType(), "text/html");
    article.SetContentType("A" + std::string(300, 'B'));
    EXPECT_EQ(article.StoredContentType(), "a" + std::string(254, 'b'));
}

// ---- headers, validation, copying

TEST(Article, SetFromHeadersFillsFieldsAndKeepsSubjectWhenMissing)
{
    TmsArticle article;
    article.SetSubject("earlier subject");
    TmsHeaders headers = HeadersOf({ "From: John Doe <jd@example.org>", "Newsgroups: alt.pictures.cats",
        "Message-ID: <1@example.org>", "Path: news!not-for-mail" });
    article.SetFromHeaders(headers);

    EXPECT_EQ(article.Sender().Name(), "John Doe");
    EXPECT_EQ(article.Sender().Address(), "jd@example.org");
    EXPECT_EQ(article.NewsGroups, "alt.pictures.cats");
    EXPECT_EQ(article.MessageID, "<1@example.org>");
    EXPECT_EQ(article.Path, "news!not-for-mail");
    EXPECT_EQ(article.Subject(), "earlier subject");
    EXPECT_EQ(article.Headers().Lines(), headers.Lines());

    headers.Add("Subject: " + std::string(300, 's'));
    article.SetFromHeaders(headers);
    EXPECT_EQ(article.Subject(), std::string(255, 's'));
}

TEST(Article, ValidateChecksSenderThenNewsgroupsThenSubject)
{
    TmsArticle article;
    auto message = [&] {
        try {
            article.Validate();
        } catch (const EMessageError& error) {
            return error.Message();
        }
        return std::string("valid");
    };
    EXPECT_EQ(message(), "The address of sender is required");
    article.Sender().SetAddress("me@example.org");
    EXPECT_EQ(message(), "Newsgroup header is required");
    article.NewsGroups = "alt.test";
    EXPECT_EQ(message(), "Subject header is required");
    article.SetSubject("hello");
    EXPECT_EQ(message(), "valid");
}

TEST(Article, CopyFromCopiesEverythingDeeply)
{
    TmsArticle source;
    source.NewsGroups = "alt.test";
    source.Sender().SetAddress("a@b.c");
    source.SetSubject("subject");
    source.SetCharSet(csISO8859);
    source.Headers().Add("X-Test: 1");
    source.Body().Add("body");
    source.Attachments().Add(MakeItem("a.jpg", std::string("\0\1\2", 3), "image/jpeg"));
    source.Tag = 7;

    TmsArticle copy;
    copy.CopyFrom(source);
    source.Attachments().Items(0).Stream.Assign("changed");

    EXPECT_EQ(copy.NewsGroups, "alt.test");
    EXPECT_EQ(copy.Sender().Address(), "a@b.c");
    EXPECT_EQ(copy.Subject(), "subject");
    EXPECT_EQ(copy.CharSet(), csISO8859);
    EXPECT_EQ(copy.Headers().Count(), 1);
    EXPECT_EQ(copy.Body().Count(), 1);
    ASSERT_EQ(copy.Attachments().Count(), 1);
    EXPECT_EQ(copy.Attachments().Items(0).Stream.View(), std::string_view("\0\1\2", 3));
    EXPECT_EQ(copy.StoredContentType(), "multipart/mixed");
    EXPECT_EQ(copy.Tag, 7);
}

TEST(Article, CopyFromItselfKeepsAttachmentsAndUnrelatedClassRaises)
{
    TmsArticle article;
    article.Attachments().Add(MakeItem("a.jpg", "bytes", "image/jpeg"));
    article.CopyFrom(article);
    ASSERT_EQ(article.Attachments().Count(), 1);
    EXPECT_EQ(article.Attachments().Items(0).Stream.View(), "bytes");
    TmsMailAddress address;
    EXPECT_THROW(article.CopyFrom(address), EConvertError);
}

TEST(Article, SettingAttachmentsAtRunTimeCopiesItemsWithBytes)
{
    TmsArticle article;
    {
        TmsAttList list;
        list.Add(MakeItem("a.jpg", "abc", "image/jpeg"));
        article.SetAttachments(list);
    }
    ASSERT_EQ(article.Attachments().Count(), 1);
    EXPECT_EQ(article.Attachments().Items(0).Stream.View(), "abc");
    EXPECT_EQ(article.StoredContentType(), "multipart/mixed");

    article.SetAttachments(TmsAttList());
    EXPECT_EQ(article.StoredContentType(), "text/plain");
}

// ---- files

// The folder comes without a trailing separator; whatever the name, only
// its bare file name is written, inside the folder.
TEST_F(MessageFiles, SaveAttachmentWritesTheBareNameInsideTheFolderOnly)
{
    const std::string bytes("\xFF\xD8\0x", 4);
    const std::vector<std::pair<std::string, std::string>> cases = {
        { "cat.jpg", "cat.jpg" },
        { "../escape.jpg", "escape.jpg" },
        { "a/b/../../../deep.jpg", "deep.jpg" },
        { "..\\..\\win.jpg", "win.jpg" },
        { "C:evil.jpg", "evil.jpg" },
        { (root_ / "absolute.jpg").string(), "absolute.jpg" },
    };
    for (const auto& [name, bare] : cases) {
        TmsArticle article;
        article.Attachments().Add(MakeItem(name, bytes));
        EXPECT_EQ(article.SaveAttachment(0, folder_.string()), (folder_ / bare).string());
        EXPECT_EQ(ReadFileBytes(folder_ / bare), bytes) << name;
    }
    // A name that is taken is numbered; the file already there stays.
    TmsArticle again;
    again.Attachments().Add(MakeItem("cat.jpg", "again"));
    EXPECT_EQ(again.SaveAttachment(0, folder_.string()), (folder_ / "cat-1.jpg").string());
    EXPECT_EQ(ReadFileBytes(folder_ / "cat.jpg"), bytes);
    int outside = 0;
    for (const auto& entry : fs::directory_iterator(root_))
        outside += entry.path() != folder_;
    EXPECT_EQ(outside, 0);
}

TEST_F(MessageFiles, SaveAttachmentRaisesForBadIndexNameOrFolder)
{
    TmsArticle article;
    ExpectIndexError([&] { article.SaveAttachment(5, folder_.string()); }, 5);
    for (const std::string name : { "", "..", "dir/..", "/", "a/." }) {
        TmsArticle unnamed;
        unnamed.Attachments().Add(MakeItem(name));
        EXPECT_THROW(unnamed.SaveAttachment(0, folder_.string()), EFCreateError) << name;
    }
    article.Attachments().Add(MakeItem("x.jpg"));
    const std::string missing = (root_ / "missing").string();
    ExpectRaises<EFCreateError>([&] { article.SaveAttachment(0, missing); },
        "Cannot create file " + AddBackslash(missing) + "x.jpg: No such file or directory");
}

TEST_F(MessageFiles, AfterLoadReadsAttachmentBytesFromTheirFiles)
{
    const fs::path file = folder_ / "pic.jpg";
    std::ofstream(file, std::ios::binary) << "JPEGDATA";
    TmsArticle article;
    article.Attachments().Add(MakeItem(file.string()));
    article.AfterLoad();
    EXPECT_EQ(article.Attachments().Items(0).Stream.View(), "JPEGDATA");

    TmsArticle designed;
    designed.SetDesigning(true);
    designed.Attachments().Add(MakeItem((folder_ / "missing.jpg").string()));
    EXPECT_NO_THROW(designed.AfterLoad());

    TmsArticle broken;
    broken.Attachments().Add(MakeItem((folder_ / "missing.jpg").string()));
    EXPECT_THROW(broken.AfterLoad(), EFOpenError);
}

TEST_F(MessageFiles, DestructorDeletesTempFilesAndSkipsMissingOnes)
{
    const fs::path first = folder_ / "t1";
    const fs::path second = folder_ / "t2";
    std::ofstream(first) << "1";
    std::ofstream(second) << "2";
    {
        TmsArticle article;
        article.TempFiles().Add(first.string());
        article.TempFiles().Add((folder_ / "never-existed").string());
        article.TempFiles().Add(second.string());
    }
    EXPECT_FALSE(fs::exists(first));
    EXPECT_FALSE(fs::exists(second));
}

} // namespace
