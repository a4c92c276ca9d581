#include "base/classes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace lumigrab {
namespace {

// Records its id when freed, so tests can see the order of destruction.
class Tracked {
public:
    Tracked(int id, std::vector<int>& freed)
        : id(id)
        , freed_(freed)
    {
    }
    ~Tracked() { freed_.push_back(id); }

    int id;

private:
    std::vector<int>& freed_;
};

class TrackedList : public TOwningList<Tracked> {
public:
    explicit TrackedList(std::vector<int>& freed)
        : freed_(freed)
    {
    }
    void AddIds(std::initializer_list<int> ids)
    {
        for (int id : ids)
            Add(std::make_unique<Tracked>(id, freed_));
    }
    Storage Fresh(std::initializer_list<int> ids)
    {
        Storage items;
        for (int id : ids)
            items.push_back(std::make_unique<Tracked>(id, freed_));
        return items;
    }

private:
    std::vector<int>& freed_;
};

std::vector<int> Ids(const TrackedList& list)
{
    std::vector<int> ids;
    for (const auto& item : list)
        ids.push_back(item->id);
    return ids;
}

TEST(OwningList, AddReturnsIndexAndOutsideIndexRaises)
{
    std::vector<int> freed;
    TrackedList list(freed);
    EXPECT_EQ(list.Add(std::make_unique<Tracked>(5, freed)), 0);
    EXPECT_EQ(list.Add(std::make_unique<Tracked>(6, freed)), 1);
    EXPECT_EQ(list.At(1).id, 6);
    const TrackedList& constList = list;
    for (int index : { -1, 2, 1000 }) {
        SCOPED_TRACE(index);
        try {
            constList.At(index);
            FAIL() << "no error";
        } catch (const EListError& error) {
            EXPECT_EQ(error.Message(), "List index out of bounds (" + std::to_string(index) + ")");
        }
    }
}

TEST(OwningList, ClearReplaceAndDestructionFreeLastFirst)
{
    std::vector<int> freed;
    {
        TrackedList list(freed);
        list.AddIds({ 1, 2, 3 });
        list.Clear();
        EXPECT_EQ(freed, (std::vector<int> { 3, 2, 1 }));
        EXPECT_EQ(list.Count(), 0);

        list.AddIds({ 4, 5 });
        freed.clear();
        list.Replace(list.Fresh({ 7, 8, 9 }));
        // The new items are built before the old ones go, and none of the
        // new ones is freed on the way in.
        EXPECT_EQ(freed, (std::vector<int> { 5, 4 }));
        EXPECT_EQ(Ids(list), (std::vector<int> { 7, 8, 9 }));
        freed.clear();
    }
    EXPECT_EQ(freed, (std::vector<int> { 9, 8, 7 }));
}

TEST(FileHelpers, SaveRaisesWhenTheWriteFailsAndLoadReadsBack)
{
    if (std::filesystem::exists("/dev/full")) {
        // Small enough to sit in the stdio buffer: only closing finds out.
        EXPECT_THROW(SaveFileWith("/dev/full", [](TStream& file) { file.WriteString("one"); }), EInOutError);
        TStringList lines;
        lines.Add(std::string(1 << 20, 'x'));
        EXPECT_THROW(lines.SaveToFile("/dev/full"), EStreamError);
    }

    const auto path = std::filesystem::temp_directory_path() / "lumigrab_owning_list_test.txt";
    SaveFileWith(path.string(), [](TStream& file) { file.WriteString("a\r\nb\r\n"); });
    TStringList loaded;
    LoadFileWith(path.string(), [&](TStream& file) { loaded.LoadFromStream(file); });
    EXPECT_EQ(loaded.Text(), "a\r\nb\r\n");
    std::filesystem::remove(path);
    EXPECT_THROW(LoadFileWith(path.string(), [](TStream&) {}), EFOpenError);
}

} // namespace
} // namespace lumigrab
