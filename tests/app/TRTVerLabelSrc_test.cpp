#include "app/TRTVerLabelSrc.h"

#include <QDesktopServices>
#include <QTest>
#include <QUrl>

#include "app/TRTWebLinkSrc.h"
#include "app/msabout.h"
#include "lumigrab_version.h"
#include "tests/support/widgets_environment.h"

namespace lumigrab {
namespace {

const TVersionInfo SampleInfo({
    { "0C0904E4", "FileVersion", "2.5.1" },
    { "0C0904E4", "ProductName", "Sample" },
    { "0C0904E4", "SpecialBuild", "" },
    { "04070000", "FileVersion", "2.5.1-de" },
});
const TVersionInfo NoInfo;

// The label as set up, with the version information given last (which
// refreshes the text).
struct TextCase {
    const TVersionInfo& info;
    TVersionResources resource;
    const char* key;
    const char* langCharset;
    bool showPrefix;
    QString text;
};

TEST(VersionLabel, ShowsEveryTextOfTheVersionLookup)
{
    const QString programVersion = QString("File Version: ") + version::FileVersion;
    const std::vector<TextCase> cases = {
        { TVersionInfo::Program(), vrFileVersion, nullptr, "0C0904E4", true, programVersion },
        { SampleInfo, vrFileVersion, nullptr, "0C0904E4", true, "File Version: 2.5.1" },
        { SampleInfo, vrFileVersion, nullptr, "0C0904E4", false, "2.5.1" },
        { SampleInfo, vrProductName, nullptr, "0C0904E4", true, "Product Name: Sample" },
        { NoInfo, vrFileVersion, nullptr, "0C0904E4", true, "File Version: < No Data Available >" },
        { NoInfo, vrFileVersion, nullptr, "0C0904E4", false, "< No Data Available >" },
        { SampleInfo, vrFileVersion, nullptr, "04090000", true,
            "File Version: Error retrieving version info" },
        { SampleInfo, vrFileVersion, nullptr, "04070000", true, "File Version: 2.5.1-de" },
        { SampleInfo, vrFileVersion, nullptr, "0c0904e4", true, "File Version: 2.5.1" },
        // A key of its own becomes the prefix too.
        { SampleInfo, vrFileVersion, "specialbuild", "0C0904E4", true, "specialbuild No Version Info" },
    };
    for (const TextCase& test : cases) {
        TVersionLabel label;
        label.SetLangCharset(test.langCharset);
        label.SetVersionResource(test.resource);
        if (test.key)
            label.SetVersionResourceKey(test.key);
        label.SetShowInfoPrefix(test.showPrefix);
        label.SetVersionInfo(test.info);
        EXPECT_EQ(label.text(), test.text);
    }
}

TEST(VersionLabel, LanguageBlockTakesEffectAtTheNextRefresh)
{
    TVersionLabel label;
    label.SetVersionInfo(SampleInfo);
    label.SetLangCharset("04090000");
    EXPECT_EQ(label.text(), "File Version: 2.5.1");
    label.SetShowInfoPrefix(false);
    EXPECT_EQ(label.text(), "Error retrieving version info");
}

TEST(AboutBox, ShowsTheProgramsFileVersion)
{
    TAboutDlg about;
    const auto* version = about.findChild<TVersionLabel*>("VersionLabel1");
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->text(), QString("File Version: ") + version::FileVersion);
    EXPECT_EQ(about.findChild<TRTWebLink*>("RTWebLink2")->LinkTo(), QString(version::HomePage));
}

// Stands in for the desktop's program for one URL scheme.
class UrlCatcher : public QObject {
    Q_OBJECT

public:
    UrlCatcher() { QDesktopServices::setUrlHandler("lumigrabtest", this, "Open"); }
    ~UrlCatcher() override { QDesktopServices::unsetUrlHandler("lumigrabtest"); }

    QList<QUrl> opened;

public slots:
    void Open(const QUrl& url) { opened.append(url); }
};

TEST(WebLink, LeftClickOpensTheTarget)
{
    UrlCatcher desktop;
    TRTWebLink link;
    link.SetCaption("Home page");
    link.SetLinkTo("lumigrabtest:home");
    QTest::mouseClick(&link, Qt::RightButton);
    EXPECT_TRUE(desktop.opened.isEmpty());
    QTest::mouseClick(&link, Qt::LeftButton);
    EXPECT_EQ(desktop.opened, QList<QUrl> { QUrl("lumigrabtest:home") });
    EXPECT_EQ(link.cursor().shape(), Qt::PointingHandCursor);
}

// The longest run of pixels in color on one row of the label.
int LongestLine(TRTWebLink& link, const QColor& color)
{
    const QImage image = link.grab().toImage().convertToFormat(QImage::Format_RGB32);
    int longest = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0, run = 0; x < image.width(); ++x) {
            run = image.pixelColor(x, y) == color ? run + 1 : 0;
            longest = std::max(longest, run);
        }
    return longest;
}

TEST(WebLink, IsUnderlinedInItsLinkColour)
{
    TRTWebLink link;
    link.SetCaption("https://lumigrab.example.org/");
    const int textWidth = link.fontMetrics().horizontalAdvance(link.text());
    EXPECT_GE(LongestLine(link, QColor(0, 0, 255)), textWidth * 9 / 10);
    link.SetLinkColor(QColor(200, 0, 0));
    EXPECT_GE(LongestLine(link, QColor(200, 0, 0)), textWidth * 9 / 10);
    EXPECT_EQ(LongestLine(link, QColor(0, 0, 255)), 0);
}

} // namespace
} // namespace lumigrab

#include "TRTVerLabelSrc_test.moc"
