#include "mime/mspars.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>
#include <typeinfo>

#include "base/messagepump.h"
#include "mime/msmime.h"
#include "mime/msuucode.h"

using namespace lumigrab;

namespace {

using Lines = std::vector<std::string>;

std::string Join(const Lines& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    return text;
}

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

std::string RandomBytes(size_t count, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(count, '\0');
    for (char& c : bytes)
        c = char(generator() & 0xFF);
    return bytes;
}

// Base64 lines of lineBytes input bytes each (57 gives the usual 76 chars).
Lines Base64Lines(std::string_view bytes, size_t lineBytes = 57)
{
    Lines lines;
    for (size_t offset = 0; offset < bytes.size(); offset += lineBytes)
        lines.push_back(EncodeBase64(bytes.substr(offset, lineBytes), 4 * lineBytes));
    return lines;
}

Lines UULines(std::string_view bytes)
{
    Lines lines;
    for (size_t offset = 0; offset < bytes.size(); offset += 45)
        lines.push_back(EncodeUULine(bytes.substr(offset, 45)));
    return lines;
}

Lines Concat(std::initializer_list<Lines> parts)
{
    Lines all;
    for (const Lines& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
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

// ---- non-MIME articles

TEST(PlainTextDecoding, UUBlockBecomesAttachmentAndTextBeforeItTheBody)
{
    const std::string picture = RandomBytes(1000, 1);
    auto article = Decode(Concat({ kPlainHeaders, { "first line", "second line", "begin 644 cat.jpg" },
        UULines(picture), { "`", "end", "closing text" } }));
    EXPECT_EQ(article->Body().Lines(), Lines({ "first line", "second line" }));
    ASSERT_EQ(article->Attachments().Count(), 1);
    EXPECT_EQ(article->Attachments().Items(0).FileName(), "cat.jpg");
    EXPECT_EQ(AttachmentBytes(*article, 0), picture);
    EXPECT_EQ(article->Encoding(), meUU);
    EXPECT_EQ(article->Subject(), "pictures");
    EXPECT_EQ(article->NewsGroups, "alt.binaries.pictures");
}

TEST(PlainTextDecoding, TwoBlocksInOrderAndTextBetweenDropped)
{
    const std::string first = RandomBytes(100, 2);
    const std::string second = RandomBytes(90, 3);
    auto article = Decode(Concat({ kPlainHeaders, { "intro", "begin 644 a.gif" }, UULines(first),
        { "`", "end", "text between", "begin 600 b.gif" }, UULines(second), { "end" } }));
    EXPECT_EQ(article->Body().Lines(), Lines({ "intro" }));
    ASSERT_EQ(article->Attachments().Count(), 2);
    EXPECT_EQ(AttachmentBytes(*article, 0), first);
    EXPECT_EQ(AttachmentBytes(*article, 1), second);
    EXPECT_EQ(article->Attachments().Items(1).FileName(), "b.gif");
}

TEST(PlainTextDecoding, EndWithTrailingBlankIsDataAndEndsInRecovery)
{
    const std::string first = RandomBytes(45, 4);
    const std::string text = Join(Concat({ kPlainHeaders, { "begin 644 a.jpg" }, UULines(first),
        { "`", "end", "begin 644 b.jpg" }, UULines(first), { "end " } }));
    auto article = DecodeText(text);
    ASSERT_EQ(article->Attachments().Count(), 2);
    EXPECT_EQ(article->Attachments().Items(0).FileName(), "a.jpg");
    EXPECT_EQ(AttachmentBytes(*article, 0), first);
    ExpectRecovery(*article, "Error decoding the attachment", text);
    EXPECT_EQ(article->Encoding(), meMIME);
}

TEST(PlainTextDecoding, BeginLineWithoutNameGivesNumberedName)
{
    auto article = Decode(Concat({ kPlainHeaders, { "begin 644 " }, UULines("abc"), { "`", "end" } }));
    ASSERT_EQ(article->Attachments().Count(), 1);
    EXPECT_EQ(article->Attachments().Items(0).FileName(), "att.0");
    EXPECT_EQ(AttachmentBytes(*article, 0), "abc");
}

TEST(PlainTextDecoding, MimeVersionWithCommentIsNotMime)
{
    auto article = Decode(Concat({ { "Subject: x", "MIME-Version: 1.0 (produced by hand)",
                                       "Content-Type: multipart/mixed; boundary=\"b\"", "" },
        { "text", "begin 644 x.png" }, UULines("png"), { "`", "end" } }));
    EXPECT_EQ(article->Body().Lines(), Lines({ "text" }));
    ASSERT_EQ(article->Attachments().Count(), 1);
    EXPECT_EQ(AttachmentBytes(*article, 0), "png");
}

TEST(PlainTextDecoding, HeadersOnlyAndEmptyArticlesDecodeToNothing)
{
    auto headersOnly = DecodeText("Subject: only headers\r\nFrom: a@b.c\r\n");
    EXPECT_EQ(headersOnly->Subject(), "only headers");
    EXPECT_EQ(headersOnly->Body().Count(), 0);
    EXPECT_EQ(headersOnly->Attachments().Count(), 0);

    auto empty = DecodeText("");
    EXPECT_EQ(empty->Body().Count(), 0);
    EXPECT_EQ(empty->Attachments().Count(), 0);
}

TEST(PlainTextDecoding, EndMarkerLineInsideHeadersEndsInRecovery)
{
    const std::string text = "Subject: s\r\n\xFF\xFF\xFF\xFF\r\nFrom: a@b.c\r\n\r\nbody\r\n";
    auto article = DecodeText(text);
    ExpectRecovery(*article, "Unable to retrieve headers", text);
}

// ---- hostile attachment names

struct HostileNameCase {
    const char* label;
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

const Lines kData = { "aGVsbG8=" };

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
    [](const auto& info) { return std::string(info.param.label); });

// ---- single-part MIME articles

TEST(SinglePartDecoding, NamedBase64PictureEndsAtLoneFullStop)
{
    const std::string picture = RandomBytes(500, 5);
    auto article = Decode(Concat(
        { kMimeHeaders("image/jpeg; name=\"x.jpg\"", "base64"), Base64Lines(picture), { ".", "bm9pc2U=" } }));
    ASSERT_EQ(article->Attachments().Count(), 1);
    const TmsAttItem& item = article->Attachments().Items(0);
    EXPECT_EQ(item.FileName(), "x.jpg");
    EXPECT_EQ(item.ContentType(), "image/jpeg");
    EXPECT_EQ(item.Encoding(), aeBase64);
    EXPECT_EQ(item.Stream.View(), picture);
    EXPECT_EQ(article->Body().Count(), 0);
}

TEST(SinglePartDecoding, FilenameFromDispositionKeepsArticleType)
{
    auto article = Decode(
        Concat({ kMimeHeaders("image/gif", "base64", "Content-Disposition: attachment; filename=\"y.jpg\""),
            kData }));
    ASSERT_EQ(article->Attachments().Count(), 1);
    EXPECT_EQ(article->Attachments().Items(0).FileName(), "y.jpg");
    EXPECT_EQ(article->Attachments().Items(0).ContentType(), "image/gif");
    EXPECT_EQ(AttachmentBytes(*article, 0), "hello");
}

TEST(SinglePartDecoding, LongBase64LinesDecodeWhole)
{
    const std::string picture = RandomBytes(30000, 6);
    auto single = Decode(
        Concat({ kMimeHeaders("image/jpeg; name=\"big.jpg\"", "base64"), Base64Lines(picture, 750) }));
    ASSERT_EQ(single->Attachments().Count(), 1);
    EXPECT_EQ(AttachmentBytes(*single, 0), picture);

    auto multi = Decode(Concat({ kMimeHeaders("multipart/mixed; boundary=\"B\""),
        { "--B", "Content-Type: text/plain", "", "text", "--B", "Content-Type: image/jpeg; name=\"big.jpg\"",
            "Content-Transfer-Encoding: base64", "" },
        Base64Lines(picture, 750), { "--B--" } }));
    ASSERT_EQ(multi->Attachments().Count(), 1);
    EXPECT_EQ(AttachmentBytes(*multi, 0), picture);

    const std::string text(2000, 'q');
    auto body = Decode(Concat({ kMimeHeaders("text/plain", "base64"), Base64Lines(text + "\r\nend", 1500) }));
    EXPECT_EQ(body->Body().Lines(), Lines({ text, "end" }));
}

TEST(SinglePartDecoding, SevenBitAttachmentKeepsLinesWithCrLf)
{
    auto article = Decode(Concat({ kMimeHeaders("application/x-note; name=\"n.txt\"", "7bit"),
        { "one", std::string(400, 'l'), "", "." } }));
    ASSERT_EQ(article->Attachments().Count(), 1);
    EXPECT_EQ(article->Attachments().Items(0).Encoding(), ae7Bit);
    EXPECT_EQ(AttachmentBytes(*article, 0), "one\r\n" + std::string(400, 'l') + "\r\n\r\n.\r\n");
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
    ASSERT_EQ(uu->Attachments().Count(), 1);
    EXPECT_EQ(AttachmentBytes(*uu, 0), "jpeg");
    EXPECT_EQ(uu->Encoding(), meUU);
    EXPECT_FALSE(uu->Headers().GetFieldValue("Content-Type").empty()) << "message keeps its headers";
}

TEST(SinglePartDecoding, InvalidBase64TextBodyEndsInRecovery)
{
    const std::string text = Join(Concat({ kMimeHeaders("text/plain", "base64"), { "aGVs*G8=" } }));
    auto article = DecodeText(text);
    ExpectRecovery(*article, "Invalid Character", text);
}

// ---- multipart articles

TEST(MultipartDecoding, TextThenTwoPictures)
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
    ASSERT_EQ(article->Attachments().Count(), 2);
    EXPECT_EQ(article->Attachments().Items(0).FileName(), "a.jpg");
    EXPECT_EQ(article->Attachments().Items(1).FileName(), "b.gif");
    EXPECT_EQ(AttachmentBytes(*article, 0), first);
    EXPECT_EQ(AttachmentBytes(*article, 1), second);
}

TEST(MultipartDecoding, Base64FirstPartIsAttachmentZeroEvenOverEarlierBody)
{
    const std::string picture = RandomBytes(200, 9);
    const Lines lines = Concat({ kMimeHeaders("multipart/mixed; boundary=B"),
        { "--B", "Content-Type: image/png; name=\"p.png\"", "Content-Transfer-Encoding: base64", "" },
        Base64Lines(picture), { "--B", "Content-Type: text/plain; name=\"n.txt\"", "", "note", "--B--" } });
    auto article = Decode(lines);
    EXPECT_EQ(article->Body().Count(), 0);
    ASSERT_EQ(article->Attachments().Count(), 2);
    EXPECT_EQ(AttachmentBytes(*article, 0), picture);
    EXPECT_EQ(article->Attachments().Items(1).FileName(), "n.txt");
    EXPECT_EQ(AttachmentBytes(*article, 1), "note\r\n");

    // A caller that did not clear the body must not make the part's data
    // be read as a header block.
    TmsArticle dirty;
    dirty.Body().Add("left over");
    TMemoryStream stream;
    stream.Assign(Join(lines));
    dirty.LoadFromStream(stream);
    ASSERT_EQ(dirty.Attachments().Count(), 2);
    EXPECT_EQ(AttachmentBytes(dirty, 0), picture);
}

TEST(MultipartDecoding, AlternativeGivesPlainBodyAndNumberedHtml)
{
    auto article = Decode(Concat({ kMimeHeaders("multipart/alternative; boundary=\"alt\""),
        { "--alt", "Content-Type: text/plain", "", "plain text", "--alt", "Content-Type: text/html", "",
            "<b>html</b>", "--alt--" } }));
    EXPECT_EQ(article->Body().Lines(), Lines({ "plain text" }));
    ASSERT_EQ(article->Attachments().Count(), 1);
    const TmsAttItem& html = article->Attachments().Items(0);
    EXPECT_EQ(html.FileName(), "_alt.0");
    EXPECT_EQ(html.ContentType(), "text/html");
    EXPECT_EQ(html.Stream.View(), "<b>html</b>\r\n");
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
    ASSERT_EQ(article->Attachments().Count(), 2);
    EXPECT_EQ(article->Attachments().Items(0).FileName(), "_alt.0");
    EXPECT_EQ(article->Attachments().Items(1).FileName(), "z.jpg");
    EXPECT_EQ(AttachmentBytes(*article, 1), "hello");

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
    ASSERT_EQ(article->Attachments().Count(), 2);
    EXPECT_EQ(article->Attachments().Items(0).Encoding(), aeQuotedPrintable);
    EXPECT_EQ(AttachmentBytes(*article, 0), "a=b\r\n");
    EXPECT_EQ(article->Attachments().Items(1).FileName(), "u.bin");
    EXPECT_EQ(article->Attachments().Items(1).Encoding(), aeBase64);
    EXPECT_EQ(AttachmentBytes(*article, 1), "uudata");
}

TEST(MultipartDecoding, BoundaryNeverFoundEndsInRecovery)
{
    const std::string text = Join(Concat({ kMimeHeaders("multipart/mixed; boundary=\"missing\""),
        { "--other", "Content-Type: text/plain", "", "text" } }));
    auto article = DecodeText(text);
    ExpectRecovery(*article, "Cannot find boundary", text);
    EXPECT_EQ(article->Attachments().Count(), 1);
}

TEST(MultipartDecoding, UnterminatedLastPartIsKept)
{
    const std::string picture = RandomBytes(120, 10);
    auto article = Decode(Concat({ kMimeHeaders("multipart/mixed; boundary=\"B\""),
        { "--B", "Content-Type: text/plain", "", "t", "--B", "Content-Type: image/gif; name=\"g.gif\"",
            "Content-Transfer-Encoding: base64", "" },
        Base64Lines(picture) }));
    EXPECT_EQ(article->Body().Lines(), Lines({ "t" }));
    ASSERT_EQ(article->Attachments().Count(), 1);
    EXPECT_EQ(AttachmentBytes(*article, 0), picture);
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
    ASSERT_EQ(nested->Attachments().Count(), 1);
    EXPECT_EQ(nested->Attachments().Items(0).FileName(), "g.gif");
}

TEST(MultipartDecoding, NestedGroupWithoutOuterDelimiterEndsInRecovery)
{
    const std::string text = Join(Concat({ kMimeHeaders("multipart/mixed; boundary=\"out\""),
        { "--out", "Content-Type: multipart/alternative; boundary=\"in\"", "", "--in",
            "Content-Type: text/plain", "", "p", "--in", "Content-Type: text/html", "", "h", "--in--",
            "trailing" } }));
    auto article = DecodeText(text);
    ExpectRecovery(*article, "Cannot find closing boundary", text);
    EXPECT_EQ(article->Attachments().Items(0).FileName(), "_alt.0");
}

TEST(MultipartDecoding, InvalidCharacterKeepsEarlierPartsAheadOfOriginal)
{
    const std::string text = Join(Concat({ kMimeHeaders("multipart/mixed; boundary=\"B\""),
        { "--B", "Content-Type: text/plain", "", "t", "--B", "Content-Type: image/gif; name=\"ok.gif\"",
            "Content-Transfer-Encoding: base64", "" },
        kData,
        { "--B", "Content-Type: image/gif; name=\"bad.gif\"", "Content-Transfer-Encoding: base64", "",
            "aGV$bG8=", "--B--" } }));
    auto article = DecodeText(text);
    ASSERT_EQ(article->Attachments().Count(), 2);
    EXPECT_EQ(article->Attachments().Items(0).FileName(), "ok.gif");
    ExpectRecovery(*article, "Error decoding the attachment", text);
    EXPECT_EQ(article->Body()[0], "t");
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

TEST(ArticleDecoder, RefusesMessagesThatAreNotArticles)
{
    TMemoryStream stream;
    stream.Assign("Subject: x\r\n\r\nbody\r\n");
    PlainMessage message;
    TmsArticleDecoder decoder(stream);
    decoder.SetMessage(&message);
    EXPECT_THROW(decoder.Execute(), std::bad_cast);
}

TEST(ArticleDecoder, SourceStreamIsLeftAsItWas)
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
    const std::string path = testing::TempDir() + "mspars_decoder_source.eml";
    const std::string text = Join(Concat({ kPlainHeaders, { "from a file" } }));
    {
        TFileStream file(path, TFileStream::Mode::Create);
        file.WriteString(text);
        file.Close();
    }
    TFileStream file(path, TFileStream::Mode::OpenRead);
    TmsArticle article;
    article.LoadFromStream(file);
    EXPECT_EQ(article.Body().Lines(), Lines({ "from a file" }));
    std::remove(path.c_str());
}

} // namespace
