#include "news/msnwscls.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "tests/support/test_util.h"

namespace lumigrab {
namespace {

using testing::PrintTo;
using namespace std::string_literals;

std::unique_ptr<TmsNewsgroup> Group(std::string name, int32_t last, int32_t first, char flag)
{
    auto group = std::make_unique<TmsNewsgroup>();
    group->GroupName = std::move(name);
    group->LastArticle = last;
    group->FirstArticle = first;
    group->PostingFlag = flag;
    return group;
}

std::string Saved(const TmsNewsGroupList& list)
{
    TMemoryStream stream;
    list.SaveToStream(stream);
    return std::string(stream.View());
}

void LoadText(TmsNewsGroupList& list, std::string_view text)
{
    TMemoryStream stream;
    stream.WriteString(text);
    list.LoadFromStream(stream);
}

std::vector<TmsNewsgroup> Contents(const TmsNewsGroupList& list)
{
    std::vector<TmsNewsgroup> groups;
    for (int i = 0; i < list.Count(); ++i)
        groups.push_back(list.Groups(i));
    return groups;
}

std::string TempPath(const char* name)
{
    return UniqueTempPath(std::string("lists_") + name).string();
}

TEST(NewsGroupListText, SavesLinesByteExactAndEmptyListAsNothing)
{
    TmsNewsGroupList list;
    list.Add(Group("alt.test", 120, 100, 'y'));
    EXPECT_EQ(Saved(list), "alt.test 120 100 y\r\n");
    list.Add(Group("misc.flagless", -1, -1, '\0'));
    list.Add(Group("", 0, -7, 'm'));
    EXPECT_EQ(Saved(list), "alt.test 120 100 y\r\nmisc.flagless -1 -1 \0\r\n 0 -7 m\r\n"s);

    list.Clear();
    EXPECT_EQ(Saved(list), "");
    const std::string path = TempPath("empty.dat");
    list.SaveToFile(path);
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    std::remove(path.c_str());
}

struct LineCase {
    const char* name;
    std::string line;
    std::string group;
    int32_t last;
    int32_t first;
    char flag;
};

class NewsGroupListLine : public ::testing::TestWithParam<LineCase> { };

TEST_P(NewsGroupListLine, LoadsAsOneGroup)
{
    const LineCase& c = GetParam();
    TmsNewsGroupList list;
    LoadText(list, c.line + "\r\n");
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Groups(0), *Group(c.group, c.last, c.first, c.flag));
}

// Words are picked as ExtractWord picks them, numbers read as
// ExtractWordAsInt reads them.
TEST_P(NewsGroupListLine, AgreesWithExtractWord)
{
    const std::string& line = GetParam().line;
    const TmsNewsgroup group = TmsNewsgroup::FromListLine(line);
    EXPECT_EQ(group.GroupName, ExtractWord(line, 0));
    EXPECT_EQ(group.LastArticle, ExtractWordAsInt(line, 1));
    EXPECT_EQ(group.FirstArticle, ExtractWordAsInt(line, 2));
    const std::string flag = ExtractWord(line, 3);
    EXPECT_EQ(group.PostingFlag, flag.empty() ? '\0' : flag[0]);
}

INSTANTIATE_TEST_SUITE_P(Lines, NewsGroupListLine,
    ::testing::Values(LineCase { "Full", "alt.test 120 100 y", "alt.test", 120, 100, 'y' },
        LineCase { "NameOnly", "alt.binaries.pictures", "alt.binaries.pictures", -1, -1, '\0' },
        LineCase { "SeveralBlanks", "alt.test   120  100    y", "alt.test", 120, 100, 'y' },
        LineCase { "LeadingBlank", " alt.test 120 100 y", "", -1, 120, '1' },
        LineCase { "Empty", "", "", -1, -1, '\0' }, LineCase { "NotNumbers", "g x 12x y", "g", -1, -1, 'y' },
        LineCase { "SignsAndHex", "g +5 $1F n", "g", 5, 31, 'n' },
        LineCase { "OutOfRange", "g 2147483648 -2147483648 y", "g", -1, INT32_MIN, 'y' },
        LineCase { "LongFlagWordAndExtraWords", "g 3 1 yes and more", "g", 3, 1, 'y' },
        LineCase { "TabsAreTrimmedNotSeparators", "\tg\tx 3\t 1 \t=\t", "g\tx", 3, 1, '=' },
        LineCase { "ZeroFlagIsNoFlag", "g -1 -1 \0"s, "g", -1, -1, '\0' },
        LineCase { "ZeroInName", "a\0b 9 8 y"s, "a\0b"s, 9, 8, 'y' },
        LineCase { "HighByteFlag", "g 1 1 \xE9t\xE9", "g", 1, 1, '\xE9' },
        LineCase { "TrailingBlanks", "g 1 2   ", "g", 1, 2, '\0' }),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NewsGroupListLoad, EveryLineIsAGroupWhateverTheBreak)
{
    TmsNewsGroupList list;
    LoadText(list, "a 1 1 y\r\n\r\nb 2 2 n\nc\rd 4 4 m");
    std::vector<std::string> names;
    for (const auto& group : Contents(list))
        names.push_back(group.GroupName);
    EXPECT_EQ(names, (std::vector<std::string> { "a", "", "b", "c", "d" }));
    EXPECT_EQ(list.Groups(4).PostingFlag, 'm');
}

TEST(NewsGroupListLoad, ReadsFromStartAndReplacesContent)
{
    TmsNewsGroupList list;
    list.Add(Group("old", 1, 1, 'y'));
    TMemoryStream stream;
    stream.WriteString("new 5 4 y\r\n");
    list.LoadFromStream(stream);
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Groups(0).GroupName, "new");
    LoadText(list, "");
    EXPECT_EQ(list.Count(), 0);
}

// A flagless group is saved with a zero byte; the groups after it must load,
// from a stream as from a file.
TEST(NewsGroupListRoundTrip, MixedFlagsLoadBackComplete)
{
    TmsNewsGroupList list;
    list.Add(Group("", -1, 3, 'm'));
    list.Add(Group("alt.pictures.c", INT32_MAX, INT32_MIN, '\xFF'));
    std::mt19937 random(7);
    for (int i = 0; i < 500; ++i)
        list.Add(Group("alt.group." + std::to_string(i), int32_t(random()), -int32_t(random() % 1000),
            i % 3 ? "ymn"[i % 3] : '\0'));
    TMemoryStream stream;
    list.SaveToStream(stream);
    TmsNewsGroupList loaded;
    loaded.LoadFromStream(stream);
    EXPECT_EQ(Contents(loaded), Contents(list));

    const std::string path = TempPath("roundtrip.dat");
    list.SaveToFile(path);
    TmsNewsGroupList fromFile;
    fromFile.LoadFromFile(path);
    std::remove(path.c_str());
    EXPECT_EQ(Contents(fromFile), Contents(list));
}

TEST(NewsGroupListFiles, MissingFileRaisesOpenError)
{
    TmsNewsGroupList list;
    list.Add(Group("kept", 1, 1, 'y'));
    const std::string path = TempPath("does_not_exist/none.dat");
    ExpectRaises<EFOpenError>([&] { list.LoadFromFile(path); }, "Cannot open file " + path);
    EXPECT_EQ(list.Count(), 1);
    ExpectRaises<EFCreateError>([&] { list.SaveToFile(path); }, "Cannot create file " + path);
}

TEST(Lists, IndexOutsideRaisesListError)
{
    TmsNewsGroupList groups;
    TmsNgInfoList infos;
    for (int index : { -1, 0, 1 })
        ExpectIndexError([&] { groups.Groups(index); }, index);
    EXPECT_EQ(groups.Add(Group("g", 1, 1, 'y')), 0);
    EXPECT_EQ(infos.Add(std::make_unique<TmsNgInfoItem>()), 0);
    EXPECT_EQ(infos.Add(std::make_unique<TmsNgInfoItem>()), 1);
    for (int index : { -1, 2 })
        ExpectIndexError([&] { infos.Entries(index); }, index);
    const TmsNewsGroupList& constGroups = groups;
    ExpectIndexError([&] { constGroups.Groups(1); }, 1);
}

class RecordingItem : public TmsNgInfoItem {
public:
    RecordingItem(int id, std::vector<int>& freed)
        : id_(id)
        , freed_(freed)
    {
    }
    ~RecordingItem() override { freed_.push_back(id_); }

private:
    int id_;
    std::vector<int>& freed_;
};

TEST(NgInfoList, KeepsOrderAndFreesLastFirst)
{
    std::vector<int> freed;
    {
        TmsNgInfoList list;
        for (int id = 0; id < 3; ++id) {
            auto item = std::make_unique<RecordingItem>(id, freed);
            item->Number = 1000 + id;
            item->Add("Lines: " + std::to_string(id));
            list.Add(std::move(item));
        }
        EXPECT_EQ(list.Entries(2).Number, 1002);
        EXPECT_EQ(list.Entries(1)[0], "Lines: 1");
        list.Clear();
        EXPECT_EQ(list.Count(), 0);
        EXPECT_EQ(freed, (std::vector<int> { 2, 1, 0 }));
        list.Add(std::make_unique<RecordingItem>(7, freed));
        list.Add(std::make_unique<RecordingItem>(8, freed));
    }
    EXPECT_EQ(freed, (std::vector<int> { 2, 1, 0, 8, 7 }));
}

// Older entries are freed as new ones come; indexes go on counting all.
TEST(NgInfoList, RetentionFreesOlderEntriesAndKeepsCounting)
{
    std::vector<int> freed;
    TmsNgInfoList list;
    const auto add = [&](int id) {
        auto item = std::make_unique<RecordingItem>(id, freed);
        item->Number = 100 + id;
        return list.Add(std::move(item));
    };
    for (int id = 0; id < 4; ++id)
        EXPECT_EQ(add(id), id);
    // Shrinking frees at once, the oldest first.
    list.SetRetention(2);
    EXPECT_EQ(freed, (std::vector<int> { 0, 1 }));
    EXPECT_EQ(add(4), 4);
    EXPECT_EQ(freed, (std::vector<int> { 0, 1, 2 }));
    EXPECT_EQ(list.Count(), 5);
    EXPECT_EQ(list.FirstKept(), 3);
    EXPECT_EQ(list.Entries(3).Number, 103);
    EXPECT_EQ(list.Entries(4).Number, 104);
    for (int index : { -1, 0, 2, 5 })
        ExpectIndexError([&] { list.Entries(index); }, index);
    ASSERT_NE(list.Find(104), nullptr);
    EXPECT_EQ(list.Find(104)->Number, 104);
    EXPECT_EQ(list.Find(101), nullptr);
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(add(5), 0);
    EXPECT_EQ(list.Entries(0).Number, 105);
}

} // namespace
} // namespace lumigrab
