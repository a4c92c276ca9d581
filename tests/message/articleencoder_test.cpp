#include "message/articleencoder.h"

#include <gtest/gtest.h>

#include <set>

#include "tests/support/test_util.h"

using namespace lumigrab;

namespace {

using lumigrab::testing::PrintTo;

void AddAttachment(TmsArticle& article, const std::string& name, const std::string& bytes,
    const std::string& contentType = "")
{
    auto item = MakeItem(name, bytes, contentType);
    item->SetEncoding(aeBase64);
    article.Attachments().Add(std::move(item));
}

std::string Encode(TmsArticle& article)
{
    TMemoryStream stream;
    article.SaveToStream(stream);
    return std::string(stream.View());
}

void Prepare(TmsArticle& article)
{
    article.Sender().SetName("John Doe");
    article.Sender().SetAddress("jd@example.org");
    article.NewsGroups = "alt.test";
    article.SetSubject("Hello");
}

class EncoderShapes : public ::testing::Test {
protected:
    void SetUp() override { Prepare(article); }
    TmsArticle article;
};

const std::string kArticleHeaders = Join({ "From:     John Doe <jd@example.org>", "Newsgroups: alt.test",
    "Subject:  Hello", "Mime-Version: 1.0" });

// The boundaries in order of appearance in Content-Type lines.
std::vector<std::string> Boundaries(const std::string& text)
{
    const std::string key = "boundary=\"";
    std::vector<std::string> found;
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1))
        found.push_back(text.substr(at + key.size(), text.find('"', at + key.size()) - at - key.size()));
    return found;
}

// ---- shapes

TEST_F(EncoderShapes, PlainTextArticle)
{
    article.Headers().Add("Subject: old subject");
    article.Headers().Add("X-Custom: kept");
    article.Headers().Add("content-type: text/html;");
    article.Headers().Add("\tcharset=latin1");
    article.Body().Add("body line");

    EXPECT_EQ(Encode(article),
        Join({ "From:     John Doe <jd@example.org>", "Newsgroups: alt.test", "X-Custom: kept",
            "Subject:  Hello", "Mime-Version: 1.0", "Content-Type: text/plain; charset=\"us-ascii\"",
            "Content-Transfer-Encoding: 7bit", "", "body line" }));
    EXPECT_EQ(article.Headers().Lines(), Lines({ "X-Custom: kept" }));
}

TEST_F(EncoderShapes, LongBodyLineSwitchesToQuotedPrintable)
{
    for (const auto& [length, encoding] :
        std::vector<std::pair<size_t, std::string>> { { 255, "7bit" }, { 256, "quoted-printable" } }) {
        TmsArticle article;
        Prepare(article);
        article.Body().Add(std::string(length, 'x'));
        const std::string text = Encode(article);
        EXPECT_NE(text.find("charset=\"us-ascii\"\r\nContent-Transfer-Encoding: " + encoding + "\r\n"),
            std::string::npos)
            << length;
    }
}

TEST_F(EncoderShapes, LatinOneBodyIsQuotedPrintable)
{
    article.SetCharSet(csISO8859);
    article.Body().Add("caf\xE9");
    const std::string text = Encode(article);
    EXPECT_NE(text.find("Content-Type: text/plain; charset=\"iso-8859-1\"\r\n"
                        "Content-Transfer-Encoding: quoted-printable\r\n\r\ncaf=E9\r\n"),
        std::string::npos);
}

TEST_F(EncoderShapes, LoneFullStopIsDoubledInOutputAndBody)
{
    article.Body().Add(".");
    article.Body().Add(".hidden");
    const std::string text = Encode(article);
    EXPECT_TRUE(text.ends_with("\r\n\r\n..\r\n.hidden\r\n"));
    EXPECT_EQ(article.Body().Lines(), Lines({ "..", ".hidden" }));
}

TEST_F(EncoderShapes, BodyAndPictureGiveMultipartMixed)
{
    article.Body().Add("see picture");
    AddAttachment(article, "dir/cat.jpg", "abc", "image/jpeg");
    const std::string text = Encode(article);
    const auto boundaries = Boundaries(text);
    ASSERT_EQ(boundaries.size(), 1u);
    EXPECT_EQ(boundaries[0].find_first_not_of("012345678"), std::string::npos);
    EXPECT_EQ(boundaries[0].size(), 8u);
    const std::string& b = boundaries[0];
    EXPECT_EQ(text,
        kArticleHeaders
            + Join({ "Content-Type: multipart/mixed; boundary=\"" + b + "\"", "",
                "This is a multipart message in MIME format", "", "--" + b,
                "Content-Type: text/plain; charset=\"us-ascii\"", "Content-Transfer-Encoding: 7bit", "",
                "see picture", "", "--" + b, "Content-Type: image/jpeg; name=\"cat.jpg\"",
                "Content-Transfer-Encoding: Base64", "Content-Disposition: attachment; filename=\"cat.jpg\"",
                "", "YWJj", "", "--" + b + "--" }));
}

TEST_F(EncoderShapes, AlternativesCarryNoNames)
{
    article.Body().Add("plain");
    AddAttachment(article, "_alt.0", "<b>x</b>", "text/html");
    AddAttachment(article, "_alt.1", "{\\rtf}", "text/rtf");
    const std::string text = Encode(article);
    const std::string b = Boundaries(text).at(0);
    EXPECT_EQ(text,
        kArticleHeaders
            + Join({ "Content-Type: multipart/alternative; boundary=\"" + b + "\"", "",
                "This is a multipart message in MIME format", "", "--" + b,
                "Content-Type: text/plain; charset=\"us-ascii\"", "Content-Transfer-Encoding: 7bit", "",
                "plain", "", "--" + b, "Content-Type: text/html", "Content-Transfer-Encoding: Base64", "",
                "PGI+eDwvYj4=", "", "", "--" + b, "Content-Type: text/rtf",
                "Content-Transfer-Encoding: Base64", "", "e1xydGZ9", "", "--" + b + "--" }));
}

TEST_F(EncoderShapes, AlternativeGroupNestedBeforePicture)
{
    article.Body().Add("plain");
    AddAttachment(article, "_alt.0", "html", "text/html");
    AddAttachment(article, "pic.gif", "GIF", "image/gif");
    const std::string text = Encode(article);
    const auto boundaries = Boundaries(text);
    ASSERT_EQ(boundaries.size(), 2u);
    const std::string& outer = boundaries[0];
    const std::string& inner = boundaries[1];
    EXPECT_NE(outer, inner);
    EXPECT_EQ(text,
        kArticleHeaders
            + Join({ "Content-Type: multipart/mixed; boundary=\"" + outer + "\"", "",
                "This is a multipart message in MIME format", "", "--" + outer,
                "Content-Type:  multipart/alternative; boundary=\"" + inner + "\"",
                "Content-Transfer-Encoding: 7bit", "", "--" + inner,
                "Content-Type: text/plain; charset=\"us-ascii\"", "Content-Transfer-Encoding: 7bit", "",
                "plain", "", "--" + inner, "Content-Type: text/html", "Content-Transfer-Encoding: Base64", "",
                "aHRtbA==", "", "--" + inner + "--", "", "--" + outer,
                "Content-Type: image/gif; name=\"pic.gif\"", "Content-Transfer-Encoding: Base64",
                "Content-Disposition: attachment; filename=\"pic.gif\"", "", "R0lG", "",
                "--" + outer + "--" }));
}

TEST_F(EncoderShapes, SingleAttachmentShapes)
{
    struct Case {
        const char* name;
        const char* type;
        Lines expected;
    };
    const std::vector<Case> cases = {
        { "_HtmBody.htm", "text/html",
            { "Content-Type: text/html", "Content-Transfer-Encoding: Base64", "", "PGk+aGk8L2k+" } },
        { "c:\\docs\\_rtfbody.rtf", "text/rtf",
            { "Content-Type: text/rtf", "Content-Transfer-Encoding: Base64", "", "PGk+aGk8L2k+" } },
        { "/tmp/p.png", "image/png",
            { "Content-Type: image/png; name=\"p.png\"", "Content-Transfer-Encoding: Base64",
                "Content-Disposition: attachment; filename=\"p.png\"", "", "PGk+aGk8L2k+" } },
    };
    for (const Case& c : cases) {
        TmsArticle article;
        Prepare(article);
        AddAttachment(article, c.name, "<i>hi</i>", c.type);
        EXPECT_EQ(Encode(article), kArticleHeaders + Join(c.expected)) << c.name;
    }
}

TEST_F(EncoderShapes, Base64LinesOfFiftySevenBytes)
{
    for (const auto& [size, lastLine] :
        std::vector<std::pair<size_t, size_t>> { { 114, 0 }, { 115, 4 }, { 0, 0 } }) {
        TmsArticle article;
        Prepare(article);
        AddAttachment(article, "d.bin", std::string(size, 'z'), "application/octet-stream");
        const std::string text = Encode(article);
        const std::string data = text.substr(text.find("\r\n\r\n", kArticleHeaders.size()) + 4);
        std::vector<size_t> lengths;
        ForEachLine(data, [&](std::string_view line) { lengths.push_back(line.size()); });
        std::vector<size_t> expected(size / 57, 76);
        expected.push_back(lastLine);
        EXPECT_EQ(lengths, expected) << size;
        EXPECT_TRUE(data.ends_with("\r\n"));
    }
}

TEST_F(EncoderShapes, UUEncodedArticle)
{
    article.SetEncoding(meUU);
    article.Body().Add("pictures follow");
    AddAttachment(article, "x/one.jpg", "abc");
    AddAttachment(article, "two.jpg", std::string(45, 'q'));
    const std::string text = Encode(article);
    EXPECT_EQ(text,
        Join({ "From:     John Doe <jd@example.org>", "Newsgroups: alt.test", "Subject:  Hello", "",
            "pictures follow", "", "begin 600 one.jpg", EncodeUULine("abc"), "`", "end", "",
            "begin 600 two.jpg", EncodeUULine(std::string(45, 'q')), EncodeUULine(""), "`", "end" }));
}

// A stored type survives only where it still describes a text body.
TEST_F(EncoderShapes, StoredTypeWithBodyWritesTextPart)
{
    for (const auto& [stored, written] : std::vector<std::pair<std::string, std::string>> {
             { "text/html", "text/html" }, { "multipart/mixed", "text/plain" },
             { "multipart/alternative", "text/plain" }, { "image/gif", "text/plain" } }) {
        TmsArticle article;
        Prepare(article);
        article.SetContentType(stored);
        article.Body().Add("text");
        EXPECT_EQ(Encode(article),
            kArticleHeaders
                + Join({ "Content-Type: " + written + "; charset=\"us-ascii\"",
                    "Content-Transfer-Encoding: 7bit", "", "text" }))
            << stored;
    }
}

TEST_F(EncoderShapes, HeaderLinesAreCutAndZeroBytesKept)
{
    article.Sender().SetName(std::string(250, 'n'));
    article.Body().Add(std::string("a\0b", 3));
    const std::string text = Encode(article);
    const std::string from = text.substr(0, text.find("\r\n"));
    EXPECT_EQ(from.size(), 255u);
    EXPECT_TRUE(text.ends_with(std::string("\r\n\r\na\0b\r\n", 9)));
}

TEST_F(EncoderShapes, ReusedTargetStreamHoldsOnlyTheNewArticle)
{
    article.Body().Add("short");
    TMemoryStream stream;
    stream.Assign(std::string(5000, '#'));
    article.SaveToStream(stream);
    EXPECT_EQ(stream.View().find('#'), std::string_view::npos);
    EXPECT_TRUE(stream.View().ends_with("short\r\n"));
}

TEST(Boundary, EightDigitsFromZeroToEight)
{
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string boundary = MakeBoundary();
        ASSERT_EQ(boundary.size(), 8u);
        EXPECT_EQ(boundary.find_first_not_of("012345678"), std::string::npos) << boundary;
        seen.insert(boundary);
    }
    EXPECT_GT(seen.size(), 190u);
}

TEST(Boundary, DrawnAgainWhileTakenByTextOrOuterBoundary)
{
    std::vector<std::string> draws = { "11111111", "22222222", "33333333" };
    size_t next = 0;
    auto draw = [&] { return draws.at(next++); };
    std::vector<std::string> asked;
    auto inUse = [&](std::string_view delimiter) {
        asked.emplace_back(delimiter);
        return delimiter == "--22222222";
    };
    EXPECT_EQ(DrawBoundary(draw, inUse, "11111111"), "33333333");
    EXPECT_EQ(asked, (std::vector<std::string> { "--22222222", "--33333333" }));
}

// ---- round trips: article -> SaveToStream -> LoadFromStream

struct RoundTripCase {
    const char* name;
    TMsgEncoding encoding;
    Lines body;
    std::vector<std::pair<std::string, size_t>> attachments; // name, size
    Lines expectedBody;
};

class RoundTrip : public ::testing::TestWithParam<RoundTripCase> { };

TEST_P(RoundTrip, AttachmentBytesAndBodySurvive)
{
    const RoundTripCase& c = GetParam();
    TmsArticle article;
    Prepare(article);
    article.SetEncoding(c.encoding);
    for (const std::string& line : c.body)
        article.Body().Add(line);
    unsigned seed = 100;
    for (const auto& [name, size] : c.attachments)
        AddAttachment(article, name, RandomBytes(size, seed++));

    TMemoryStream stream;
    article.SaveToStream(stream);
    TmsArticle decoded;
    decoded.LoadFromStream(stream);

    EXPECT_EQ(decoded.Subject(), "Hello");
    EXPECT_EQ(decoded.Sender().Address(), "jd@example.org");
    EXPECT_EQ(decoded.NewsGroups, "alt.test");
    EXPECT_EQ(decoded.Encoding(), c.encoding);
    EXPECT_EQ(decoded.Body().Lines(), c.expectedBody);
    ASSERT_EQ(decoded.Attachments().Count(), article.Attachments().Count()) << stream.View().substr(0, 2000);
    for (int i = 0; i < article.Attachments().Count(); ++i) {
        EXPECT_EQ(decoded.Attachments().Items(i).FileName(), article.Attachments().Items(i).FileName());
        EXPECT_TRUE(
            decoded.Attachments().Items(i).Stream.View() == article.Attachments().Items(i).Stream.View())
            << "attachment " << i;
    }
}

const std::string kLong(600, 'w');

INSTANTIATE_TEST_SUITE_P(Shapes, RoundTrip,
    ::testing::Values(
        RoundTripCase { "PlainText", meMIME, { "one", "", "three" }, {}, { "one", "", "three" } },
        RoundTripCase { "LongLinesQuotedPrintable", meMIME, { kLong, "=x=" }, {}, { kLong, "=x=" } },
        RoundTripCase { "SingleAttachment", meMIME, {}, { { "photo.jpg", 70001 } }, {} },
        RoundTripCase { "SingleEmptyAttachment", meMIME, {}, { { "empty.bin", 0 } }, {} },
        RoundTripCase { "MixedWithBody", meMIME, { "text" },
            { { "a.jpg", 57 }, { "b.bin", 0 }, { "c.png", 40000 } }, { "text", "" } },
        RoundTripCase { "MixedWithoutBody", meMIME, {}, { { "a.jpg", 114 }, { "b.gif", 5000 } }, {} },
        RoundTripCase {
            "Alternative", meMIME, { "plain" }, { { "_alt.0", 3000 }, { "_alt.1", 1 } }, { "plain", "" } },
        RoundTripCase { "NestedAlternative", meMIME, { "plain" }, { { "_alt.0", 999 }, { "pic.jpg", 12345 } },
            { "plain", "" } },
        RoundTripCase { "UUEncoded", meUU, { "look" },
            { { "a.jpg", 45 }, { "b.jpg", 0 }, { "c.jpg", 20011 } }, { "look", "" } }),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
