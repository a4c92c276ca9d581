#include "message/msmsgcls.h"

#include <gtest/gtest.h>

#include "tests/support/test_util.h"

using namespace lumigrab;

namespace {

class MimeTableFixture : public ::testing::Test {
protected:
    ScopedMimeTable table_ { "image/jpeg jpg jpeg\n"
                             "text/plain txt\n"
                             "text/html htm html\n"
                             "text/rtf rtf\n"
                             "message/rfc822 eml\n"
                             "text/plain;charset=utf-8 utxt\n" };
};

std::string Bytes(std::initializer_list<int> values)
{
    std::string bytes;
    for (int value : values)
        bytes += char(value);
    return bytes;
}

std::string ShortString(const std::string& text)
{
    return Bytes({ 6, int(text.size()) }) + text;
}

void ReadItemsFrom(TmsAttList& list, const std::string& bytes)
{
    TMemoryStream stream;
    stream.Assign(bytes);
    list.ReadItems(stream);
}

} // namespace

// --- TmsMailAddress ----------------------------------------------------------------

TEST(MailAddressTest, CopyClearCutsAndRefusedCopy)
{
    TmsMailAddress source;
    source.SetName(std::string(300, 'n'));
    source.SetAddress(std::string(256, 'a'));
    EXPECT_EQ(source.Name().size(), 255u);
    EXPECT_EQ(source.Address().size(), 255u);

    TmsMailAddress copy;
    copy.CopyFrom(source);
    source.Clear();
    EXPECT_EQ(source.Name(), "");
    EXPECT_EQ(source.Address(), "");
    EXPECT_EQ(copy.Name(), std::string(255, 'n'));
    EXPECT_EQ(copy.Address(), std::string(255, 'a'));

    TmsAttItem item;
    ExpectRaises<EConvertError>(
        [&] { copy.CopyFrom(item); }, "Cannot assign a TmsAttItem to a TmsMailAddress");
    EXPECT_EQ(copy.Name(), std::string(255, 'n')) << "a refused copy keeps the target";
}

TEST(MailAddressTest, EditGoesThroughTheInstalledEditor)
{
    TmsMailAddress address;
    address.SetName("Before");
    address.SetAddress("before@example.com");

    TmsMailAddress::SetEditor({});
    EXPECT_FALSE(address.Edit());
    EXPECT_EQ(address.Name(), "Before");

    // A cancelled edit must not leak the editor's changes.
    TmsMailAddress::SetEditor([](TmsMailAddress& copy) {
        copy.SetName("Changed");
        return false;
    });
    EXPECT_FALSE(address.Edit());
    EXPECT_EQ(address.Name(), "Before");

    TmsMailAddress::SetEditor([&address](TmsMailAddress& copy) {
        EXPECT_NE(&copy, &address);
        EXPECT_EQ(copy.Address(), "before@example.com");
        copy.SetName("After");
        copy.SetAddress("after@example.com");
        return true;
    });
    EXPECT_TRUE(address.Edit());
    EXPECT_EQ(address.Name(), "After");
    EXPECT_EQ(address.Address(), "after@example.com");
    TmsMailAddress::SetEditor({});
}

// --- TmsAttItem -------------------------------------------------------------------

using AttItemTest = MimeTableFixture;

TEST_F(AttItemTest, FileNameDerivesTypeAndEncoding)
{
    struct Case {
        std::string fileName;
        std::string contentType;
        TAttEncoding encoding;
    };
    const Case cases[] = {
        { "notes.txt", "text/plain", aeQuotedPrintable },
        { "page.HTML", "text/html", aeQuotedPrintable },
        { "doc.rtf", "text/rtf", aeQuotedPrintable },
        { "forward.eml", "message/rfc822", ae7Bit },
        { "picture.jpg", "image/jpeg", aeBase64 },
        { "unknown.qqq", "application/octet-stream", aeBase64 },
        { "params.utxt", "text/plain;charset=utf-8", aeBase64 },
    };
    for (const auto& c : cases) {
        TmsAttItem item;
        item.SetEncoding(ae7Bit);
        item.SetFileName(c.fileName);
        EXPECT_EQ(item.FileName(), c.fileName);
        EXPECT_EQ(item.ContentType(), c.contentType) << c.fileName;
        EXPECT_EQ(item.Encoding(), c.encoding) << c.fileName;
    }
}

TEST_F(AttItemTest, TheArticlesTypeGoesBeforeTheExtensions)
{
    TmsAttItem item;
    item.SetFileNameAndType("picture.jpg", "text/plain");
    EXPECT_EQ(item.FileName(), "picture.jpg");
    EXPECT_EQ(item.ContentType(), "text/plain");
    EXPECT_EQ(item.Encoding(), aeQuotedPrintable);
}

TEST_F(AttItemTest, EmptyNameKeepsTypeAndLongNamesAreCut)
{
    TmsAttItem item;
    item.SetContentType("image/gif");
    item.SetEncoding(aeQuotedPrintable);
    item.SetFileName("");
    EXPECT_EQ(item.ContentType(), "image/gif");
    EXPECT_EQ(item.Encoding(), aeQuotedPrintable);

    item.SetFileName(std::string(300, 'x') + ".jpg");
    EXPECT_EQ(item.FileName(), std::string(255, 'x'));
    EXPECT_EQ(item.ContentType(), "application/octet-stream");
    item.SetContentType(std::string(400, 't'));
    EXPECT_EQ(item.ContentType().size(), 255u);
}

TEST_F(AttItemTest, CopyTakesBytesAndFieldsWithoutDerivingAgain)
{
    TmsAttItem source;
    source.SetFileName("picture.jpg");
    source.SetContentType("image/x-custom");
    source.SetEncoding(aeQuotedPrintable);
    source.Stream.Assign(std::string("\0\xff bytes", 8));

    TmsAttItem target;
    target.Stream.Assign("older and longer content");
    target.CopyFrom(source);
    EXPECT_EQ(target.Stream.View(), std::string("\0\xff bytes", 8));
    EXPECT_EQ(target.FileName(), "picture.jpg");
    EXPECT_EQ(target.ContentType(), "image/x-custom");
    EXPECT_EQ(target.Encoding(), aeQuotedPrintable);

    target.CopyFrom(target);
    EXPECT_EQ(target.Stream.View(), std::string("\0\xff bytes", 8));
    TmsMailAddress address;
    EXPECT_THROW(target.CopyFrom(address), EConvertError);
}

// --- TmsAttList -------------------------------------------------------------------

using AttListTest = MimeTableFixture;

TEST_F(AttListTest, IndexOutsideTheListRaises)
{
    TmsAttList list;
    EXPECT_EQ(list.Add(MakeItem("a.jpg", "A")), 0);
    EXPECT_EQ(list.Add(MakeItem("b.jpg", "B")), 1);
    EXPECT_EQ(list.Items(1).FileName(), "b.jpg");
    for (int index : { -1, 2, 1000 })
        ExpectIndexError([&] { list.Items(index); }, index);
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_FALSE(list.HasItemsToStore());
}

TEST_F(AttListTest, CopyIsDeepAndOutlivesTheSource)
{
    TmsAttList copy;
    copy.Add(MakeItem("stale.txt", "stale"));
    {
        TmsAttList source;
        source.Add(MakeItem("one.jpg", "first bytes"));
        source.Add(MakeItem("two.txt", "second bytes"));
        copy.CopyFrom(source);
        ASSERT_EQ(copy.Count(), 2);
        EXPECT_NE(&copy.Items(0), &source.Items(0));
        source.Items(0).Stream.Assign("changed");
        source.Items(0).SetFileName("changed.jpg");
    }
    EXPECT_EQ(copy.Items(0).FileName(), "one.jpg");
    EXPECT_EQ(copy.Items(0).Stream.View(), "first bytes");
    EXPECT_EQ(copy.Items(1).FileName(), "two.txt");
    EXPECT_EQ(copy.Items(1).Encoding(), aeQuotedPrintable);
    EXPECT_EQ(copy.Items(1).Stream.View(), "second bytes");

    copy.CopyFrom(copy);
    EXPECT_EQ(copy.Count(), 2);
    TmsAttItem item;
    EXPECT_THROW(copy.CopyFrom(item), EConvertError);
    EXPECT_EQ(copy.Count(), 2);
}

TEST_F(AttListTest, ItemsLayoutWrittenAndReadBackEmptyListAsBareList)
{
    TmsAttList list;
    list.Add(MakeItem("a.jpg", "bytes are never stored"));
    auto custom = MakeItem("b.txt", "");
    custom->SetContentType("text/x-special");
    custom->SetEncoding(aeBase64);
    list.Add(std::move(custom));
    ASSERT_TRUE(list.HasItemsToStore());

    TMemoryStream stream;
    list.WriteItems(stream);
    const std::string expected = Bytes({ 1 }) + ShortString("a.jpg") + ShortString("image/jpeg")
        + Bytes({ 2, 1 }) + ShortString("b.txt") + ShortString("text/x-special") + Bytes({ 2, 1 })
        + Bytes({ 0 });
    EXPECT_EQ(stream.View(), expected);

    TmsAttList reread;
    reread.Add(MakeItem("replaced.jpg", ""));
    stream.SetPosition(0);
    reread.ReadItems(stream);
    EXPECT_EQ(stream.Position(), stream.Size());
    ASSERT_EQ(reread.Count(), 2);
    EXPECT_EQ(reread.Items(0).FileName(), "a.jpg");
    EXPECT_EQ(reread.Items(0).ContentType(), "image/jpeg");
    EXPECT_EQ(reread.Items(0).Encoding(), aeBase64);
    EXPECT_EQ(reread.Items(0).Stream.Size(), 0);
    EXPECT_EQ(reread.Items(1).ContentType(), "text/x-special");
    EXPECT_EQ(reread.Items(1).Encoding(), aeBase64);

    ReadItemsFrom(reread, Bytes({ 1, 0 })); // an empty list is a bare list
    EXPECT_EQ(reread.Count(), 0);
    stream.Clear();
    reread.WriteItems(stream);
    EXPECT_EQ(stream.View(), Bytes({ 1, 0 }));
}

TEST_F(AttListTest, ReaderAcceptsOtherStringAndIntegerEncodings)
{
    const std::string longString = Bytes({ 12, 5, 0, 0, 0 }) + "c.eml";
    const std::string wideString = Bytes({ 18, 4, 0, 0, 0, 't', 0, 0xE9, 0, 'x', 0, 0x3A, 0x26 });
    const std::string utf8String = Bytes({ 20, 3, 0, 0, 0 }) + "x/y";
    const std::string bytes = Bytes({ 1 }) + longString + wideString + Bytes({ 3, 2, 0 })
        + ShortString("d.jpg") + utf8String + Bytes({ 4, 0, 0, 0, 0 }) + Bytes({ 0 });
    TmsAttList list;
    ReadItemsFrom(list, bytes);
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Items(0).FileName(), "c.eml");
    EXPECT_EQ(list.Items(0).ContentType(), "t\xE9x?");
    EXPECT_EQ(list.Items(0).Encoding(), aeQuotedPrintable);
    EXPECT_EQ(list.Items(1).FileName(), "d.jpg");
    EXPECT_EQ(list.Items(1).ContentType(), "x/y");
    EXPECT_EQ(list.Items(1).Encoding(), ae7Bit);
}

TEST_F(AttListTest, DamagedStreamsRaiseAndLeaveTheListAlone)
{
    TmsAttList source;
    source.Add(MakeItem("a.jpg", ""));
    source.Add(MakeItem("b.txt", ""));
    TMemoryStream stream;
    source.WriteItems(stream);
    const std::string whole(stream.View());

    std::vector<std::string> damaged;
    for (size_t length = 0; length < whole.size(); ++length)
        damaged.push_back(whole.substr(0, length));
    damaged.push_back(Bytes({ 0 })); // not a list
    damaged.push_back(Bytes({ 1, 7, 0 })); // unknown string marker
    damaged.push_back(
        Bytes({ 1 }) + ShortString("a") + ShortString("b") + Bytes({ 6, 0, 0 })); // string as integer
    damaged.push_back(Bytes({ 1 }) + ShortString("a") + ShortString("b") + Bytes({ 2, 3, 0 })); // encoding 3
    damaged.push_back(
        Bytes({ 1 }) + ShortString("a") + ShortString("b") + Bytes({ 2, 0xFF, 0 })); // encoding -1
    damaged.push_back(Bytes({ 1, 12, 0xFF, 0xFF, 0xFF, 0x7F, 'a' })); // forged length
    damaged.push_back(Bytes({ 1, 18, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 0 })); // forged wide length

    for (const auto& bytes : damaged) {
        TmsAttList list;
        list.Add(MakeItem("kept.jpg", "kept"));
        EXPECT_THROW(ReadItemsFrom(list, bytes), EStreamError) << "length " << bytes.size();
        ASSERT_EQ(list.Count(), 1);
        EXPECT_EQ(list.Items(0).FileName(), "kept.jpg");
    }
}

// --- TmsHeaders -------------------------------------------------------------------

TEST(HeadersTest, GetFieldValueFindsWholeNamesUnfoldsAndDecodes)
{
    const TmsHeaders headers = HeadersOf({
        "From: someone@example.com",
        "Subject-Line: not the subject",
        "SUBJECT: Holiday pictures",
        "Received: from a",
        "\tby b",
        "Received: from c",
        "X-Folded: one",
        " two",
        "\tthree: with colon",
        "X-Joined: first",
        "no colon here",
        "Keywords:tight",
        "X-Empty:",
        "\tcontinued",
        "Lines:  42  ",
        "X-Encoded: =?ISO-8859-1?Q?caf=E9?= time",
        "Content-Type: multipart/mixed; boundary=\"=?part?=\"",
        "X-UIDL: =?ISO-8859-1?Q?raw?=",
        "X-Long: " + std::string(300, 'x'),
        "X-Long-Encoded: =?ISO-8859-1?Q?a?= " + std::string(300, 'y'),
    });
    struct Case {
        std::string name;
        std::string value;
    };
    const Case cases[] = {
        { "subject", "Holiday pictures" },
        { "Subject:", "Holiday pictures" },
        { "Subject-Line", "not the subject" },
        { "Received", "from a by b" },
        { "X-Folded", "one two three: with colon" },
        { "X-Joined", "first no colon here" },
        { "keywords", "tight" },
        { "X-Empty", "continued" },
        { "Lines", "42" },
        { "Newsgroups", "" },
        { "From:", "someone@example.com" },
        { "Subj", "" },
        { "X-Encoded", "caf\xE9 time" }, // encoded words are decoded, except in raw fields
        { "Content-Type", "multipart/mixed; boundary=\"=?part?=\"" },
        { "x-uidl", "=?ISO-8859-1?Q?raw?=" },
        { "X-Long", std::string(255, 'x') },
        { "X-Long-Encoded", "a " + std::string(253, 'y') },
    };
    for (const auto& c : cases)
        EXPECT_EQ(headers.GetFieldValue(c.name), c.value) << c.name;

    const std::string longType = "multipart/mixed; boundary=\"" + std::string(300, 'b') + "\"";
    EXPECT_EQ(HeadersOf({ "content-TYPE: " + longType }).GetFieldValue("content-type"), longType)
        << "a content type is never cut";

    const TmsHeaders empty;
    EXPECT_EQ(empty.GetFieldValue("Subject"), "");
}

TEST(HeadersTest, RemoveFieldTakesFirstOccurrenceWithBlankContinuations)
{
    TmsHeaders headers = HeadersOf({
        "Received: from a",
        "\tby b",
        " via c",
        "Received: from d",
        "X-Joined: first",
        "no colon here",
        "Subject: s",
    });
    headers.RemoveField("received");
    EXPECT_EQ(
        headers.Lines(), (Lines { "Received: from d", "X-Joined: first", "no colon here", "Subject: s" }));
    headers.RemoveField("X-Joined:");
    EXPECT_EQ(headers.Lines(), (Lines { "Received: from d", "no colon here", "Subject: s" }));
    headers.RemoveField("Missing");
    headers.RemoveField("Subj");
    EXPECT_EQ(headers.Count(), 3);
    headers.RemoveField("SUBJECT");
    EXPECT_EQ(headers.Count(), 2);

    TmsHeaders empty;
    empty.RemoveField("Subject");
    EXPECT_EQ(empty.Count(), 0);
}
