#include "app/TRTFormSrc.h"

#include <QFile>
#include <QScreen>
#include <QSettings>
#include <QTest>

#include <map>
#include <memory>

#include "tests/support/widgets_environment.h"

namespace lumigrab {
namespace {

using testing::WidgetsEnvironment;

const QSize DesignSize(435, 293);

// Sets up placement in its creation handler, as a concrete form does.
class PlacedForm : public TRTForm {
public:
    explicit PlacedForm(QString key, bool saveSize = true, bool savePosition = true)
        : key_(std::move(key))
        , saveSize_(saveSize)
        , savePosition_(savePosition)
    {
    }

protected:
    void FormCreate() override
    {
        SetSavePosition(savePosition_);
        SetSaveSize(saveSize_);
        SetRegKey(key_);
    }

private:
    QString key_;
    bool saveSize_;
    bool savePosition_;
};

QString SettingsFile(const QString& application)
{
    return WidgetsEnvironment::ConfigHome() + "/LumigrabTest/" + application + ".conf";
}

QString Key(const QString& application)
{
    return "Software\\LumigrabTest\\" + application;
}

using Values = std::map<QString, QString>;

Values ReadValues(const QString& application)
{
    QSettings file(SettingsFile(application), QSettings::IniFormat);
    Values values;
    for (const QString& key : file.allKeys())
        values[key] = file.value(key).toString();
    return values;
}

void WriteValues(const QString& application, const Values& values)
{
    QFile::remove(SettingsFile(application));
    QSettings file(SettingsFile(application), QSettings::IniFormat);
    for (const auto& [key, value] : values)
        file.setValue(key, value);
}

void Show(QWidget& window)
{
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
}

// Shows a form, puts it at bounds, and destroys it.
void CloseAt(const QString& application, QRect bounds, bool saveSize = true)
{
    PlacedForm form(Key(application), saveSize);
    Show(form);
    form.setGeometry(bounds);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.geometry() == bounds; }));
}

// Position and size are always written; the size is read back only with
// SaveSize.
TEST(Placement, PlainWindowReopensWhereItWasAndWithSaveSizeAsLargeAsItWas)
{
    for (const bool saveSize : { true, false }) {
        const QString name = saveSize ? "Plain" : "NoSize";
        CloseAt(name, QRect(100, 120, 400, 300), saveSize);
        EXPECT_EQ(ReadValues(name),
            (Values { { "WindowMaximised", "false" }, { "Top", "120" }, { "Left", "100" },
                { "Height", "300" }, { "Width", "400" } }));

        PlacedForm again(Key(name), saveSize);
        Show(again);
        EXPECT_FALSE(again.isMaximized());
        EXPECT_EQ(again.geometry(), QRect(QPoint(100, 120), saveSize ? QSize(400, 300) : DesignSize));
    }
}

TEST(Placement, MaximisedWindowReopensMaximisedWithoutReadingItsBounds)
{
    {
        PlacedForm form(Key("Maximised"));
        Show(form);
        form.showMaximized();
        ASSERT_TRUE(QTest::qWaitFor([&] { return form.geometry() == form.screen()->availableGeometry(); }));
    }
    EXPECT_EQ(ReadValues("Maximised")["WindowMaximised"], "true");

    PlacedForm again(Key("Maximised"));
    Show(again);
    EXPECT_TRUE(again.isMaximized());
    again.showNormal();
    EXPECT_TRUE(QTest::qWaitFor([&] { return again.size() == DesignSize; }));
}

TEST(Placement, MissingOrUnreadableValuesPutTheWindowAt25By25)
{
    const std::vector<std::pair<Values, QSize>> cases = {
        { {}, DesignSize },
        { { { "WindowMaximised", "false" }, { "Top", "200" } }, DesignSize },
        { { { "WindowMaximised", "false" }, { "Top", "x" }, { "Left", "200" } }, DesignSize },
        // Values read before the missing one stay applied.
        { { { "WindowMaximised", "false" }, { "Top", "200" }, { "Left", "200" }, { "Height", "250" } },
            QSize(DesignSize.width(), 250) },
    };
    for (const auto& [values, size] : cases) {
        WriteValues("Missing", values);
        PlacedForm form(Key("Missing"));
        Show(form);
        EXPECT_EQ(form.geometry(), QRect(QPoint(25, 25), size)) << values.size() << " values";
    }
}

TEST(Placement, NothingIsReadOrWrittenWithoutSavePosition)
{
    WriteValues("Off", { { "WindowMaximised", "true" } });
    {
        PlacedForm form(Key("Off"), true, false);
        Show(form);
        EXPECT_FALSE(form.isMaximized());
        form.setGeometry(100, 120, 400, 300);
    }
    EXPECT_EQ(ReadValues("Off"), (Values { { "WindowMaximised", "true" } }));
}

TEST(Placement, ScreenCentredFormTakesOnlyTheSavedSize)
{
    CloseAt("Centred", QRect(10, 20, 400, 300));
    PlacedForm form(Key("Centred"));
    form.SetPosition(poScreenCenter);
    Show(form);
    EXPECT_EQ(form.size(), QSize(400, 300));
    EXPECT_EQ(form.geometry().center(), form.screen()->availableGeometry().center());
}

TEST(RegKey, LosesOneLeadingBackslash)
{
    TRTForm form;
    form.SetRegKey("\\Software\\LumigrabTest\\Backslash");
    EXPECT_EQ(form.RegKey(), "Software\\LumigrabTest\\Backslash");

    CloseAt("Backslash", QRect(30, 40, 300, 200));
    PlacedForm again("\\" + Key("Backslash"));
    Show(again);
    EXPECT_EQ(again.geometry(), QRect(30, 40, 300, 200));
}

TEST(RegKey, NamesASettingsFileAndGroup)
{
    const QString home = WidgetsEnvironment::ConfigHome();
    const std::vector<std::tuple<QString, QString, QString>> cases = {
        { "Software\\Internet\\Lumi", "/Internet/Lumi.conf", "" },
        { "software\\Org\\App\\Window\\Main", "/Org/App.conf", "Window/Main" },
        { "Org\\App", "/Org/App.conf", "" },
        { "Software\\Org", "/Org.conf", "" },
    };
    for (const auto& [key, file, group] : cases) {
        const std::unique_ptr<QSettings> settings = OpenRegKey(key);
        EXPECT_EQ(settings->fileName(), home + file) << key.toStdString();
        EXPECT_EQ(settings->group(), group) << key.toStdString();
    }
}

} // namespace
} // namespace lumigrab
