#include "message/articledecoder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>
#include <typeinfo>

#include "base/messagepump.h"
#include "mime/mscrc32.h"
#include "mime/msyenc.h"
#include "tests/support/test_util.h"

using namespace lumigrab;

namespace {

using lumigrab::testing::PrintTo;

std::unique_ptr<TmsArticle> DecodeText(const std::string& text)
{
    auto article = std::make_unique<TmsArticle>();
    TMemoryStream stream;
    stream.Assign(text);
    article->LoadFromStream(stream);
    return article;
}

std::unique_ptr<TmsArticle> Decode(const Lines& lines)
{
    return DecodeText(Join(lines));
}

Lines kMimeHeaders(const std::string& contentType, const std::string& transferEncoding = "",
    const std::string& extraHeader = "")
{
    Lines lines = { "From: Poster <poster@example.org>", "Newsgroups: alt.binaries.pictures", "Subject: test",
        "MIME-Version: 1.0", "Content-Type: " + contentType };
    if (!transferEncoding.empty())
        lines.push_back("Content-Transfer-Encoding: " + transferEncoding);
    if (!extraHeader.empty())
        lines.push_back(extraHeader);
    lines.push_back("");
    return lines;
}

const Lines kPlainHeaders
    = { "From: Poster <poster@example.org>", "Newsgroups: alt.binaries.pictures", "Subject: pictures", "" };

std::string AttachmentBytes(const TmsArticle& article, int index)
{
    return std::string(article.Attachments().Items(index).Stream.View());
}

// The attachments in order, by file name and bytes.
void ExpectAttachments(
    const TmsArticle& article, const std::vector<std::pair<std::string, std::string>>& expected)
{
    const TmsAttList& attachments = article.Attachments();
    ASSERT_EQ(attachments.Count(), int(expected.size()));
    for (int i = 0; i < attachments.Count(); ++i) {
        EXPECT_EQ(attachments.Items(i).FileName(), expected[i].first) << i;
        EXPECT_TRUE(attachments.Items(i).Stream.View() == expected[i].second) << expected[i].first;
    }
}

void ExpectRecovery(const TmsArticle& article, const std::string& errorText, const std::string& source)
{
    const TStringList& body = article.Body();
    ASSERT_GE(body.Count(), 3);
    EXPECT_EQ(body[body.Count() - 3], "The following error has been occured while processing the message:");
    EXPECT_EQ(body[body.Count() - 2], errorText);
    EXPECT_EQ(body[body.Count() - 1], "The original message will be stored as an attachment");
    const TmsAttList& attachments = article.Attachments();
    ASSERT_GE(attachments.Count(), 1);
    const TmsAttItem& original = attachments.Items(attachments.Count() - 1);
    EXPECT_EQ(original.FileName(), "original.eml");
    EXPECT_EQ(original.ContentType(), "message/rfc822");
    EXPECT_EQ(original.Encoding(), ae7Bit);
    EXPECT_EQ(original.Stream.View(), source);
}

const Lines kData = { "aGVsbG8=" };

// ---- non-MIME articles

TEST(PlainTextDecoding, UUBlockBecomesAttachmentAndTextBeforeItTheBody)
{
    const std::string picture = RandomBytes(1000, 1);
    auto article = Decode(Concat({ kPlainHeaders, { "first line", "second line", "begin 644 cat.jpg" },
        UULines(picture), { "`", "end", "closing text" } }));
    EXPECT_EQ(article->Body().Lines(), Lines({ "first line", "second line" }));
    ExpectAttachments(*article, { { "cat.jpg", picture } });
    EXPECT_EQ(article->Encoding(), meUU);
    EXPECT_EQ(article->Subject(), "pictures");
    EXPECT_EQ(article->NewsGroups, "alt.binaries.pictures");
}

TEST(PlainTextDecoding, BlocksInOrderUnnamedNumberedAndTextBetweenDropped)
{
    const std::string first = RandomBytes(100, 2);
    const std::string second = RandomBytes(90, 3);
    auto article = Decode(Concat({ kPlainHeaders, { "intro", "begin 644 a.gif" }, UULines(first),
        { "`", "end", "text between", "begin 600 b.gif" }, UULines(second), { "end", "begin 644 " },
        UULines("abc"), { "`", "end" } }));
    EXPECT_EQ(article->Body().Lines(), Lines({ "intro" }));
    ExpectAttachments(*article, { { "a.gif", first }, { "b.gif", second }, { "att.2", "abc" } });
}

// A yEnc block cut off by the next one is kept, marked; a part of a
// multi-part post between blocks is text and dropped like other text there.
TEST(PlainTextDecoding, YEncBlocksAmongOtherBlocks)
{
    const std::string crc = Format("%08x", Crc32(0, "AB"));
    auto article = Decode(Concat({ kPlainHeaders,
        { "intro", "=ybegin line=128 size=2 name=cut.jpg", "kl", "=ybegin size=2 name=whole.jpg", "kl",
            "=yend size=2 crc32=" + crc, "=ybegin part=2 total=2 size=4 name=part.jpg",
            "=ypart begin=3 end=4", "kl", "=yend size=2 part=2", "begin 644 uu.gif" },
        UULines("uu"), { "`", "end", "=ybegin size=2 name=", "kl", "=yend size=2 crc32=" + crc } }));
    EXPECT_EQ(article->Body().Lines(), Lines({ "intro" }));
    ExpectAttachments(
        *article, { { "cut.jpg", "AB" }, { "whole.jpg", "AB" }, { "uu.gif", "uu" }, { "att.3", "AB" } });
    EXPECT_EQ(article->Attachments().Items(0).Damage(), "no =yend line");
    EXPECT_EQ(article->Attachments().Items(1).Damage(), "");
    EXPECT_EQ(article->Encoding(), meUU);

    auto yEncOnly = Decode(Concat({ kPlainHeaders, { "=ybegin size=2 name=a.jpg", "kl", "=yend size=2" } }));
    ExpectAttachments(*yEncOnly, { { "a.jpg", "AB" } });
    EXPECT_EQ(yEncOnly->Encoding(), meMIME);
}

TEST(PlainTextDecoding, MimeVersionWithCommentIsNotMime)
{
    auto article = Decode(Concat({ { "Subject: x", "MIME-Version: 1.0 (produced by hand)",
                                       "Content-Type: multipart/mixed; boundary=\"b\"", "" },
        { "text", "begin 644 x.png" }, UULines("png"), { "`", "end" } }));
    EXPECT_EQ(article->Body().Lines(), Lines({ "text" }));
    ExpectAttachments(*article, { { "x.png", "png" } });
}

TEST(PlainTextDecoding, HeadersOnlyAndEmptyArticlesDecodeToNothing)
{
    auto headersOnly = DecodeText("Subject: only headers\r\nFrom: a@b.c\r\n");
    EXPECT_EQ(headersOnly->Subject(), "only headers");
    auto empty = DecodeText("");
    for (const auto* article : { headersOnly.get(), empty.get() }) {
        EXPECT_EQ(article->Body().Count(), 0);
        EXPECT_EQ(article->Attachments().Count(), 0);
    }
}

// ---- damaged articles: what was decoded stays, the source is kept whole

struct RecoveryCase {
    const char* name;
    std::string text;
    const char* errorText;
    Lines decodedAttachments; // names ahead of the original
    Lines textBefore = {}; // body ahead of the error note, where the case has one
};

class Recovery : public ::testing::TestWithParam<RecoveryCase> { };

TEST_P(Recovery, KeepsDecodedPartsAndAddsTheOriginal)
{
    const RecoveryCase& c = GetParam();
    auto article = DecodeText(c.text);
    ExpectRecovery(*article, c.errorText, c.text);
    ASSERT_EQ(article->Attachments().Count(), int(c.decodedAttachments.size()) + 1);
    for (size_t i = 0; i < c.decodedAttachments.size(); ++i)
        EXPECT_EQ(article->Attachments().Items(int(i)).FileName(), c.decodedAttachments[i]);
    if (!c.textBefore.empty()) {
        const Lines body = article->Body().Lines();
        EXPECT_EQ(Lines(body.begin(), body.begin() + c.textBefore.size()), c.textBefore);
    }
}

const std::string kBlock45 = RandomBytes(45, 4);

INSTANTIATE_TEST_SUITE_P(Table, Recovery,
    ::testing::Values(RecoveryCase { "UUEndWithTrailingBlankIsData",
                          Join(Concat({ kPlainHeaders, { "begin 644 a.jpg" }, UULines(kBlock45),
                              { "`", "end", "begin 644 b.jpg" }, UULines(kBlock45), { "end " } })),
                          "Error decoding the attachment", { "a.jpg" } },
        RecoveryCase { "EndMarkerLineInsideHeaders",
            "Subject: s\r\n\xFF\xFF\xFF\xFF\r\nFrom: a@b.c\r\n\r\nbody\r\n", "Unable to retrieve headers",
            {} },
        RecoveryCase { "BoundaryNeverFound",
            Join(Concat({ kMimeHeaders("multipart/mixed; boundary=\"missing\""),
                { "--other", "Content-Type: text/plain", "", "text" } })),
            "Cannot find boundary", {} },
        RecoveryCase { "NestedGroupWithoutOuterDelimiter",
            Join(Concat({ kMimeHeaders("multipart/mixed; boundary=\"out\""),
                { "--out", "Content-Type: multipart/alternative; boundary=\"in\"", "", "--in",
                    "Content-Type: text/plain", "", "p", "--in", "Content-Type: text/html", "", "h", "--in--",
                    "trailing" } })),
            "Cannot find closing boundary", { "_alt.0" } }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(Recovery, IsToldApartFromAnArticleThatMerelyLooksLikeOne)
{
    auto article = DecodeText(GetParam().text);
    EXPECT_EQ(article->DecodeError(), GetParam().errorText);
    // A poster's copy of the note is text like any other.
    const std::string copy = Join(Concat({ kPlainHeaders, article->Body().Lines() }));
    EXPECT_EQ(DecodeText(copy)->DecodeError(), "");
    article->Clear();
    EXPECT_EQ(article->DecodeError(), "");
}

// Base64 data as mail gateways leave it: characters outside the alphabet
// are skipped, in body text and in parts alike.
TEST(Base64Data, StrayCharactersAndBlanksAreSkipped)
{
    auto text = Decode(Concat({ kMimeHeaders("text/plain", "base64"), { "aGVs*bG8= ", " " } }));
    EXPECT_EQ(text->Body().Lines(), Lines({ "hello" }));
    EXPECT_EQ(text->Attachments().Count(), 0);

    auto parts = Decode(Concat({ kMimeHeaders("multipart/mixed; boundary=\"B\""),
        { "--B", "Content-Type: text/plain", "", "t", "--B", "Content-Type: image/gif; name=\"ok.gif\"",
            "Content-Transfer-Encoding: base64", "" },
        kData,
        { "--B", "Content-Type: image/gif; name=\"gateway.gif\"", "Content-Transfer-Encoding: base64", "",
            "aGV$s bG8=\t", "--B--" } }));
    EXPECT_EQ(parts->Body().Lines(), Lines({ "t" }));
    ExpectAttachments(*parts, { { "ok.gif", "hello" }, { "gateway.gif", "hello" } });
}

// ---- hostile attachment names

struct HostileNameCase {
    const char* name;
    Lines article;
    const char* expectedName;
};

class HostileNames : public ::testing::TestWithParam<HostileNameCase> { };

TEST_P(HostileNames, OnlyTheBareNameIsKept)
{
    auto article = Decode(GetParam().article);
    ASSERT_GE(article->Attachments().Count(), 1);
    EXPECT_EQ(article->Attachments().Items(0).FileName(), GetParam().expectedName);
}

INSTANTIATE_TEST_SUITE_P(Table, HostileNames,
    ::testing::Values(
        HostileNameCase { "UUParentFolders",
            Concat({ kPlainHeaders, { "begin 644 ../../etc/passwd" }, UULines("x"), { "`" } }), "passwd" },
        HostileNameCase {
            "UUOnlyDots", Concat({ kPlainHeaders, { "begin 644 .." }, UULines("x"), { "`" } }), "att.0" },
        HostileNameCase { "UUQuotedBackslashes",
            Concat({ kPlainHeaders, { "begin 644 \"..\\..\\win.ini\"" }, UULines("x"), { "`" } }),
            "win.ini" },
        HostileNameCase { "NameAbsolute",
            Concat({ kMimeHeaders("image/jpeg; name=\"/etc/cron.d/x.jpg\"", "base64"), kData }), "x.jpg" },
        HostileNameCase { "NameDriveColon",
            Concat({ kMimeHeaders("image/jpeg; name=\"C:evil.jpg\"", "base64"), kData }), "evil.jpg" },
        HostileNameCase { "NameEndsInSeparatorFallsBackToFilename",
            Concat({ kMimeHeaders("image/jpeg; name=\"dir/\"", "base64",
                         "Content-Disposition: attachment; filename=\"..\\safe.jpg\""),
                kData }),
            "safe.jpg" },
        HostileNameCase { "PartNameDots",
            Concat({ kMimeHeaders("multipart/mixed; boundary=\"B\""),
                { "--B", "Content-Type: image/gif; name=\"...\"", "Content-Transfer-Encoding: base64", "" },
                kData, { "--B--" } }),
            "att.0" },
        HostileNameCase { "PartFilenameParent",
            Concat({ kMimeHeaders("multipart/mixed; boundary=\"B\""),
                { "--B", "Content-Type: image/gif",
                    "Content-Disposition: attachment; filename=\"../../up.gif\"",
                    "Content-Transfer-Encoding: base64", "" },
                kData, { "--B--" } }),
            "up.gif" }),
    [](const auto& info) { return std::string(info.param.name); });

// ---- single-part MIME articles

TEST(SinglePartDecoding, NamedBase64PictureEndsAtLoneFullStop)
{
    const std::string picture = RandomBytes(500, 5);
    auto article = Decode(Concat(
        { kMimeHeaders("image/jpeg; name=\"x.jpg\"", "base64"), Base64Lines(picture), { ".", "bm9pc2U=" } }));
    ExpectAttachments(*article, { { "x.jpg", picture } });
    EXPECT_EQ(article->Attachments().Items(0).ContentType(), "image/jpeg");
    EXPECT_EQ(article->Attachments().Items(0).Encoding(), aeBase64);
    EXPECT_EQ(article->Body().Count(), 0);
}

TEST(SinglePartDecoding, FilenameFromDispositionKeepsArticleType)
{
    auto article = Decode(
        Concat({ kMimeHeaders("image/gif", "base64", "Content-Disposition: attachment; filename=\"y.jpg\""),
            kData }));
    ExpectAttachments(*article, { { "y.jpg", "hello" } });
    EXPECT_EQ(article->Attachments().Items(0).ContentType(), "image/gif");
}

TEST(SinglePartDecoding, LongBase64LinesDecodeWhole)
{
    const std::string picture = RandomBytes(30000, 6);
    auto single = Decode(
        Concat({ kMimeHeaders("image/jpeg; name=\"big.jpg\"", "base64"), Base64Lines(picture, 750) }));
    ExpectAttachments(*single, { { "big.jpg", picture } });

    auto multi = Decode(Concat({ kMimeHeaders("multipart/mixed; boundary=\"B\""),
        { "--B", "Content-Type: text/plain", "", "text", "--B", "Content-Type: image/jpeg; name=\"big.jpg\"",
            "Content-Transfer-Encoding: base64", "" },
        Base64Lines(picture, 750), { "--B--" } }));
    ExpectAttachments(*multi, { { "big.jpg", picture } });

    const std::string text(2000, 'q');
    auto body = Decode(Concat({ kMimeHeaders("text/plain", "base64"), Base64Lines(text + "\r\nend", 1500) }));
    EXPECT_EQ(body->Body().Lines(), Lines({ text, "end" }));
}

TEST(SinglePartDecoding, SevenBitAttachmentKeepsLinesWithCrLf)
{
    auto article = Decode(Concat({ kMimeHeaders("application/x-note; name=\"n.txt\"", "7bit"),
        { "one", std::string(400, 'l'), "", "." } }));
    ExpectAttachments(*article, { { "n.txt", "one\r\n" + std::string(400, 'l') + "\r\n\r\n.\r\n" } });
    EXPECT_EQ(article->Attachments().Items(0).Encoding(), ae7Bit);
}

TEST(SinglePartDecoding, QuotedPrintableTextSetsLatin1AndDecodesBody)
{
    auto article = Decode(Concat({ kMimeHeaders("text/plain; charset=iso-8859-1", "quoted-printable"),
        { "caf=E9 soft=", "break", "second" } }));
    EXPECT_EQ(article->CharSet(), csISO8859);
    EXPECT_EQ(article->Body().Lines(), Lines({ "caf\xE9 softbreak", "second" }));
    EXPECT_EQ(article->Attachments().Count(), 0);
}

TEST(SinglePartDecoding, HtmlTextKeepsItsTypeAndUUTextFallsBackToPlain)
{
    auto html = Decode(Concat({ kMimeHeaders("text/html"), { "<p>hi</p>" } }));
    EXPECT_EQ(html->Body().Lines(), Lines({ "<p>hi</p>" }));
    EXPECT_EQ(html->ContentType(), "text/html");

    auto uu = Decode(Concat(
        { kMimeHeaders("text/html"), { "look", "begin 644 p.jpg" }, UULines("jpeg"), { "`", "end" } }));
    EXPECT_EQ(uu->Body().Lines(), Lines({ "look" }));
    ExpectAttachments(*uu, { { "p.jpg", "jpeg" } });
    EXPECT_EQ(uu->Encoding(), meUU);
    EXPECT_FALSE(uu->Headers().GetFieldValue("Content-Type").empty()) << "message keeps its headers";
}

// ---- multipart articles

TEST(MultipartDecoding, TextThenTwoPicturesAndNothingAfterTheClosingDelimiter)
{
    const std::string first = RandomBytes(300, 7);
    const std::string second = RandomBytes(301, 8);
    auto article = Decode(Concat({ kMimeHeaders("multipart/mixed; BOUNDARY=\"xyz\""),
        { "preamble", "--xyz", "Content-Type: text/plain", "", "Hello", "there", "--xyz",
            "Content-Type: image/jpeg; name=\"a.jpg\"", "Content-Transfer-Encoding: base64", "" },
        Base64Lines(first),
        { "--xyz", "Content-Type: image/gif; name=\"b.gif\"", "Content-Transfer-Encoding: base64", "" },
        Base64Lines(second),
        { "--xyz--", "epilogue", "--xyz", "Content-Type: image/gif; name=\"c.gif\"", "" } }));
    EXPECT_EQ(article->Body().Lines(), Lines({ "Hello", "there" }));
    ExpectAttachments(*article, { { "a.jpg", first }, { "b.gif", second } });
}

TEST(MultipartDecoding, Base64FirstPartIsAttachmentZeroEvenOverEarlierBody)
{
    const std::string picture = RandomBytes(200, 9);
    const Lines lines = Concat({ kMimeHeaders("multipart/mixed; boundary=B"),
        { "--B", "Content-Type: image/png; name=\"p.png\"", "Content-Transfer-Encoding: base64", "" },
        Base64Lines(picture), { "--B", "Content-Type: text/plain; name=\"n.txt\"", "", "note", "--B--" } });
    auto article = Decode(lines);
    EXPECT_EQ(article->Body().Count(), 0);
    ExpectAttachments(*article, { { "p.png", picture }, { "n.txt", "note\r\n" } });

    // A caller that did not clear the body must not make the part's data
    // be read as a header block.
    TmsArticle dirty;
    dirty.Body().Add("left over");
    TMemoryStream stream;
    stream.Assign(Join(lines));
    dirty.LoadFromStream(stream);
    ExpectAttachments(dirty, { { "p.png", picture }, { "n.txt", "note\r\n" } });
}

TEST(MultipartDecoding, AlternativeGivesPlainBodyAndNumberedHtml)
{
    auto article = Decode(Concat({ kMimeHeaders("multipart/alternative; boundary=\"alt\""),
        { "--alt", "Content-Type: text/plain", "", "plain text", "--alt", "Content-Type: text/html", "",
            "<b>html</b>", "--alt--" } }));
    EXPECT_EQ(article->Body().Lines(), Lines({ "plain text" }));
    ExpectAttachments(*article, { { "_alt.0", "<b>html</b>\r\n" } });
    EXPECT_EQ(article->Attachments().Items(0).ContentType(), "text/html");
}

TEST(MultipartDecoding, NestedAlternativeGroupThenPicture)
{
    const Lines group = { "--out", "Content-Type: multipart/alternative; boundary=\"in\"", "", "--in",
        "Content-Type: text/plain", "", "plain", "--in", "Content-Type: text/html", "", "<i>html</i>",
        "--in--", "" };
    auto article = Decode(Concat({ kMimeHeaders("multipart/mixed; boundary=\"out\""), group,
        { "--out", "Content-Type: image/jpeg; name=\"z.jpg\"", "Content-Transfer-Encoding: base64", "" },
        kData, { "--out--" } }));
    EXPECT_EQ(article->Body().Lines(), Lines({ "plain" }));
    ExpectAttachments(*article, { { "_alt.0", "<i>html</i>\r\n" }, { "z.jpg", "hello" } });

    auto groupLast = Decode(Concat({ kMimeHeaders("multipart/mixed; boundary=\"out\""), group,
        { "--out--", "--out", "Content-Type: image/jpeg; name=\"late.jpg\"", "" } }));
    EXPECT_EQ(groupLast->Attachments().Count(), 1);
}

TEST(MultipartDecoding, QuotedPrintableSevenBitAndUUParts)
{
    auto article = Decode(Concat({ kMimeHeaders("multipart/mixed; boundary=\"B\""),
        { "--B", "Content-Type: text/plain", "Content-Transfer-Encoding: quoted-printable", "", "na=EFve",
            "--B", "Content-Type: text/plain; name=\"q.txt\"", "Content-Transfer-Encoding: quoted-printable",
            "", "a=3Db", "--B", "Content-Type: application/octet-stream; name=\"u.bin\"",
            "Content-Transfer-Encoding: x-uuencode", "", "begin 644 ignored.bin" },
        UULines("uudata"), { "`", "end", "--B--" } }));
    EXPECT_EQ(article->Body().Lines(), Lines({ "na\xEFve" }));
    EXPECT_EQ(article->CharSet(), csISO8859);
    ExpectAttachments(*article, { { "q.txt", "a=b\r\n" }, { "u.bin", "uudata" } });
    EXPECT_EQ(article->Attachments().Items(0).Encoding(), aeQuotedPrintable);
    EXPECT_EQ(article->Attachments().Items(1).Encoding(), aeBase64);
}

TEST(MultipartDecoding, UnterminatedLastPartIsKept)
{
    const std::string picture = RandomBytes(120, 10);
    auto article = Decode(Concat({ kMimeHeaders("multipart/mixed; boundary=\"B\""),
        { "--B", "Content-Type: text/plain", "", "t", "--B", "Content-Type: image/gif; name=\"g.gif\"",
            "Content-Transfer-Encoding: base64", "" },
        Base64Lines(picture) }));
    EXPECT_EQ(article->Body().Lines(), Lines({ "t" }));
    ExpectAttachments(*article, { { "g.gif", picture } });
}

TEST(MultipartDecoding, SinglePartClosedByClosingDelimiterIsAccepted)
{
    auto article = Decode(Concat({ kMimeHeaders("multipart/mixed; boundary=\"B\""),
        { "--B", "Content-Type: text/plain", "", "only part", "--B--" } }));
    EXPECT_EQ(article->Body().Lines(), Lines({ "only part" }));
    EXPECT_EQ(article->Attachments().Count(), 0);

    auto nested = Decode(Concat({ kMimeHeaders("multipart/mixed; boundary=\"out\""),
        { "--out", "Content-Type: multipart/alternative; boundary=\"in\"", "", "--in",
            "Content-Type: text/plain", "", "alone", "--in--", "--out",
            "Content-Type: image/gif; name=\"g.gif\"", "Content-Transfer-Encoding: base64", "" },
        kData, { "--out--" } }));
    EXPECT_EQ(nested->Body().Lines(), Lines({ "alone" }));
    ExpectAttachments(*nested, { { "g.gif", "hello" } });
}

TEST(MultipartDecoding, PendingMessagesAreProcessedOncePerFurtherPart)
{
    int pumped = 0;
    // Each run outlasts the pump's minimum interval, so no call is skipped.
    SetMessagePump([&] {
        ++pumped;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto article = Decode(Concat({ kMimeHeaders("multipart/mixed; boundary=\"B\""),
        { "--B", "", "text", "--B", "Content-Type: image/gif", "", "1", "--B", "Content-Type: image/gif", "",
            "2", "--B", "Content-Type: image/gif", "", "3", "--B--" } }));
    SetMessagePump({});
    EXPECT_EQ(article->Attachments().Count(), 3);
    EXPECT_EQ(pumped, 3);
}

// ---- decoder and message classes

class PlainMessage : public TmsCustomMessage {
public:
    void SaveToStream(TStream&) override { }
    void LoadFromStream(TStream&) override { }
    void SetFromHeaders(const TmsHeaders&) override { }
};

TEST(ArticleDecoder, SourceStreamIsLeftAsItWasAndOtherMessagesAreRefused)
{
    const std::string text
        = Join(Concat({ kPlainHeaders, { "body", "begin 644 a.gif" }, UULines("gif"), { "`" } }));
    TMemoryStream stream;
    stream.Assign(text);
    stream.SetPosition(7);
    TmsArticle article;
    article.LoadFromStream(stream);
    EXPECT_EQ(stream.View(), text);
    EXPECT_EQ(stream.Position(), 7);
    EXPECT_EQ(AttachmentBytes(article, 0), "gif");

    PlainMessage message;
    {
        TmsArticleDecoder decoder(stream);
        decoder.SetMessage(&message);
        EXPECT_THROW(decoder.Execute(), std::bad_cast);
    }
    EXPECT_EQ(stream.View(), text);
}

TEST(ArticleDecoder, ReadsOtherStreamsByCopy)
{
    const std::string path = UniqueTempPath("articledecoder_source.eml").string();
    {
        TFileStream file(path, TFileStream::Mode::Create);
        file.WriteString(Join(Concat({ kPlainHeaders, { "from a file" } })));
        file.Close();
    }
    TFileStream file(path, TFileStream::Mode::OpenRead);
    TmsArticle article;
    article.LoadFromStream(file);
    EXPECT_EQ(article.Body().Lines(), Lines({ "from a file" }));
    std::remove(path.c_str());
}

} // namespace

// ---- attachments handed to a sink while they are decoded

namespace {

// Records what the decoder hands over: per attachment its name and bytes,
// whether it ended or was discarded.
class RecordingSink : public TmsAttachmentSink {
public:
    struct Handed {
        std::string name;
        std::string bytes;
        bool ended = false;
    };
    std::vector<Handed> handed;
    bool open = false;
    bool misuse = false; // a call out of Begin, Write..., End or Discard order

    void Begin(const TmsAttItem& item) override
    {
        misuse |= open;
        open = true;
        handed.push_back({ item.FileName(), "", false });
    }
    void Write(std::string_view bytes) override
    {
        misuse |= !open;
        if (open)
            handed.back().bytes += bytes;
    }
    void End(TmsAttItem& item) override
    {
        misuse |= !open || handed.back().name != item.FileName();
        handed.back().bytes += item.Stream.View();
        handed.back().ended = true;
        open = false;
    }
    void Discard() noexcept override
    {
        misuse |= !open;
        open = false;
    }
};

struct SinkCase {
    const char* name;
    std::string text;
    // The names the sink sees begun but discarded, in order.
    std::vector<std::string> discarded = {};
};

// base64 lines of lineBytes bytes each, with every line of damagedEvery
// spoilt by a character outside the alphabet (0: none).
Lines Base64Data(std::string_view bytes, size_t lineBytes, size_t damagedEvery = 0)
{
    Lines lines = Base64Lines(bytes, lineBytes);
    for (size_t i = damagedEvery; damagedEvery != 0 && i < lines.size(); i += damagedEvery)
        lines[i] = lines[i].substr(0, lines[i].size() / 2) + (i % 2 ? " " : "\x80")
            + lines[i].substr(lines[i].size() / 2);
    return lines;
}

std::string Base64Article(const Lines& data)
{
    return Join(Concat({ kMimeHeaders("image/jpeg; name=\"pic.jpg\"", "base64"), data }));
}

std::string LfOnly(std::string text)
{
    std::erase(text, '\r');
    return text;
}

// Sizes beyond the decoder's 64 KB windows and its 256 KB buffer, and
// lines on either side of 32 characters, where the fast ways change.
const std::string kLarge = RandomBytes(700 * 1024 + 2, 21);

} // namespace

class SinkDecoding : public ::testing::TestWithParam<SinkCase> { };

// The sink gets each attachment's bytes exactly as the message would hold
// them, in the same order, and nothing of an attachment that failed.
TEST_P(SinkDecoding, HandsOverWhatTheMessageWouldHold)
{
    const SinkCase& c = GetParam();
    const auto whole = DecodeText(c.text);
    TmsArticle streamed;
    RecordingSink sink;
    {
        TMemoryStream source;
        source.Assign(c.text);
        TmsArticleDecoder decoder(source);
        decoder.SetMessage(&streamed);
        decoder.SetAttachmentSink(&sink);
        decoder.Execute();
    }
    EXPECT_FALSE(sink.misuse);
    EXPECT_FALSE(sink.open);
    EXPECT_EQ(streamed.Body().Lines(), whole->Body().Lines());
    std::vector<std::string> discarded;
    std::vector<RecordingSink::Handed> ended;
    for (const RecordingSink::Handed& handed : sink.handed)
        (handed.ended ? ended.push_back(handed) : discarded.push_back(handed.name));
    EXPECT_EQ(discarded, c.discarded);
    const TmsAttList& expected = whole->Attachments();
    ASSERT_EQ(int(ended.size()), expected.Count());
    ASSERT_EQ(streamed.Attachments().Count(), expected.Count());
    for (int i = 0; i < expected.Count(); ++i) {
        EXPECT_EQ(ended[size_t(i)].name, expected.Items(i).FileName()) << i;
        EXPECT_TRUE(ended[size_t(i)].bytes == expected.Items(i).Stream.View())
            << expected.Items(i).FileName();
        EXPECT_EQ(streamed.Attachments().Items(i).ContentType(), expected.Items(i).ContentType()) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, SinkDecoding,
    ::testing::Values(SinkCase { "Base64Across256KBuffers", Base64Article(Base64Data(kLarge, 57)) },
        SinkCase { "Base64LfOnly", LfOnly(Base64Article(Base64Data(kLarge, 57))) },
        SinkCase { "Base64LinesOf4To36Characters",
            Base64Article(
                Concat({ Base64Data(kLarge.substr(0, 3000), 3), Base64Data(kLarge.substr(0, 3000), 24),
                    Base64Data(kLarge.substr(0, 3000), 27), Base64Data(kLarge.substr(0, 3001), 75) })) },
        SinkCase { "Base64DamagedLinesAndShortLast", Base64Article(Base64Data(kLarge, 57, 997)) },
        SinkCase { "UUBlocksAcrossBuffersAndText",
            Join(Concat({ kPlainHeaders, { "text", "begin 644 a.jpg" }, UULines(kLarge),
                { "`", "end", "between", "begin 644 b.jpg" }, UULines(kLarge.substr(0, 1001)),
                { "`", "end" } })) },
        SinkCase { "DamagedUUBlockIsDiscardedForTheOriginal",
            Join(Concat({ kPlainHeaders, { "begin 644 a.jpg" }, UULines(kLarge.substr(0, 4500)),
                { "`", "end", "begin 644 b.jpg" }, UULines(kLarge), { "M\x80" },
                UULines(kLarge.substr(0, 450)), { "`", "end" } })),
            { "b.jpg" } },
        SinkCase { "MultipartPicturesSevenBitAndQuotedPrintable",
            Join(Concat({ kMimeHeaders("multipart/mixed; boundary=\"b\""),
                { "--b", "Content-Type: text/plain", "", "hello", "--b",
                    "Content-Type: image/png; name=\"one.png\"", "Content-Transfer-Encoding: base64", "" },
                Base64Data(kLarge, 57, 5000),
                { "--b", "Content-Type: text/plain; name=\"notes.txt\"", "Content-Transfer-Encoding: 7bit",
                    "", "line one", "line two", "--b", "Content-Type: text/plain; name=\"q.txt\"",
                    "Content-Transfer-Encoding: quoted-printable", "", "caf=E9", "--b",
                    "Content-Type: application/octet-stream; name=\"two.uue\"",
                    "Content-Transfer-Encoding: x-uue", "", "begin 644 two.bin" },
                UULines(kLarge.substr(0, 9000)), { "`", "end", "--b--" } })) },
        SinkCase { "YEncBlockStaysWhole",
            Join(Concat({ kPlainHeaders,
                { "=ybegin line=128 size=5 name=y.jpg", "hello", "=yend size=5", "begin 644 u.jpg" },
                UULines("uu data"), { "`", "end" } })) }),
    [](const auto& info) { return std::string(info.param.name); });
