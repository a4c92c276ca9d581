#include "news/nzbfile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lumigrab {
namespace {

const std::string Head = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\n"
                         "<!DOCTYPE nzb PUBLIC \"-//newzBin//DTD NZB 1.1//EN\" "
                         "\"http://www.newzbin.com/DTD/nzb/nzb-1.1.dtd\">\n"
                         "<nzb xmlns=\"http://www.newzbin.com/DTD/2003/nzb\">\n";

// Segments in any order, a number listed twice, message-ids with and
// without their brackets, and elements the reader does not know.
TEST(Nzb, ReadsEachFilesSegmentsInNumberOrder)
{
    const std::string document = Head
        + "<head><meta type=\"title\">Harbour &amp; sunset</meta></head>\n"
          "<file poster=\"Ann &lt;ann@example.org&gt;\" date=\"1071674882\" subject=\"&quot;harbour.jpg&quot; "
          "yEnc (1/3)\">\n"
          "<groups><group>alt.binaries.pictures</group><group>alt.test</group></groups>\n"
          "<segments>\n"
          "<segment bytes=\"300\" number=\"3\">c@example</segment>\n"
          "<segment bytes=\"100\" number=\"1\"> a@example </segment>\n"
          "<segment bytes=\"200\" number=\"2\">&lt;b@example&gt;</segment>\n"
          "<segment bytes=\"999\" number=\"2\">copy@example</segment>\n"
          "</segments>\n<extra>ignored</extra>\n</file>\n"
          "<file subject=\"x.par2\"><segments><segment bytes=\"1\" number=\"1\">p@x</segment></segments></file>\n"
          "</nzb>\n";
    const std::vector<TNzbFile> files = ReadNzb(document);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].subject, "\"harbour.jpg\" yEnc (1/3)");
    EXPECT_EQ(files[0].poster, "Ann <ann@example.org>");
    EXPECT_EQ(files[0].groups, (std::vector<std::string> { "alt.binaries.pictures", "alt.test" }));
    EXPECT_EQ(files[0].segments,
        (std::vector<TNzbSegment> { { 1, 100, "<a@example>" }, { 2, 200, "<b@example>" }, { 3, 300, "<c@example>" } }));
    EXPECT_EQ(files[1].segments, (std::vector<TNzbSegment> { { 1, 1, "<p@x>" } }));
}

// Hostile and broken documents end at once with the reason and the line.
TEST(Nzb, RefusesWhatIsNoNzbWithTheLine)
{
    std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE nzb [\n<!ENTITY lol \"lol\">\n";
    for (int level = 1; level < 10; ++level) {
        std::string tenfold;
        for (int i = 0; i < 10; ++i)
            tenfold += "&lol" + (level > 1 ? std::to_string(level - 1) : std::string()) + ";";
        laughs += "<!ENTITY lol" + std::to_string(level) + " \"" + tenfold + "\">\n";
    }
    laughs += "]>\n<nzb><file subject=\"&lol9;\"/></nzb>\n";
    const std::string segment = "<segments><segment bytes=\"1\" number=\"1\">a@b</segment></segments>";
    const std::pair<std::string, std::string> cases[] = {
        { laughs, "not an NZB file: it declares entities of its own at line 13" },
        { Head + "<file subject=\"" + std::string(10 << 20, 'x') + "\">" + segment + "</file></nzb>",
            "not an NZB file: subject longer than 16384 characters at line 4" },
        { Head + "<file subject=\"a\">\n<segments><segment bytes=\"1\" number=\"1\">a@b",
            "not an NZB file: Premature end of document. at line 5" },
        { "<?xml version=\"1.0\"?>\n<html><body/></html>", "not an NZB file: no <nzb> element at line 2" },
        { "", "not an NZB file: Premature end of document. at line 1" },
        { Head + "<file subject=\"a\"><segments>\n<segment bytes=\"1\" number=\"1\">a b@c</segment>",
            "not an NZB file: segment 1 has no usable message-id at line 5" },
        { Head + "<file subject=\"a\"><segments>\n<segment bytes=\"1\" number=\"-2\">a@c</segment>",
            "not an NZB file: a segment's number is no number from 1 to 1000000 at line 5" },
        { Head + "<file subject=\"a\"></nzb>",
            "not an NZB file: Opening and ending tag mismatch. at line 4" },
    };
    for (const auto& [document, message] : cases) {
        SCOPED_TRACE(message);
        try {
            ReadNzb(document);
            ADD_FAILURE() << "read";
        } catch (const ENzbError& error) {
            EXPECT_EQ(error.Message(), message);
        }
    }
}

} // namespace
} // namespace lumigrab
