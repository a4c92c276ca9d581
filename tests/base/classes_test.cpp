#include "base/classes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "tests/support/test_util.h"

using namespace lumigrab;

TEST(StringListTest, SplitsAtEveryLineBreakStyleWithoutTrailingEmptyLine)
{
    TStringList list;
    list.SetText("a\r\nb\nc\rd\r\n\r\ne\n");
    std::vector<std::string> expected { "a", "b", "c", "d", "", "e" };
    EXPECT_EQ(list.Lines(), expected);
    EXPECT_EQ(list.Text(), "a\r\nb\r\nc\r\nd\r\n\r\ne\r\n");
}

TEST(StringListTest, KeepsZeroBytesAndOutOfRangeIndexRaises)
{
    TStringList list;
    list.SetText(std::string("x\0y\n", 4));
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list[0], std::string("x\0y", 3));
    ExpectIndexError([&] { (void)list[1]; }, 1);
}

TEST(MemoryStreamTest, OverwritesInsideAndGrowsAtTheEnd)
{
    TMemoryStream stream;
    stream.WriteString("hello world");
    stream.SetPosition(6);
    stream.WriteString("there!");
    EXPECT_EQ(stream.View(), "hello there!");
    stream.SetPosition(0);
    char buffer[5];
    EXPECT_EQ(stream.Read(buffer, 5), 5u);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    stream.SetPosition(100);
    EXPECT_EQ(stream.Read(buffer, 5), 0u);
}

TEST(FileStreamTest, MissingFileAndUncreatableFileRaiseTheirTexts)
{
    EXPECT_THROW(TFileStream("/nonexistent/dir/x", TFileStream::Mode::OpenRead), EFOpenError);
    ExpectRaises<EFCreateError>([] { TFileStream("/nonexistent/dir/x", TFileStream::Mode::Create); },
        "Cannot create file /nonexistent/dir/x");
}

TEST(FileStreamTest, RoundTripsBinaryBytes)
{
    const auto path = UniqueTempPath("classes_test.bin");
    TMemoryStream out;
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += char(i);
    out.WriteString(bytes);
    out.SaveToFile(path.string());
    TMemoryStream in;
    in.LoadFromFile(path.string());
    EXPECT_EQ(in.View(), bytes);
    std::filesystem::remove(path);
}

TEST(BulkMemoryTest, LargeStreamsKeepEveryByteAcrossGrowthAndHandOver)
{
    // Grows past the bulk threshold through many writes, then hands the
    // buffer to another stream and back.
    TMemoryStream stream;
    std::string chunk(4099, '\0');
    for (size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = char(i * 7);
    for (int i = 0; i < 800; ++i)
        stream.WriteString(chunk);
    ASSERT_EQ(stream.Size(), int64_t(800 * chunk.size()));
    TMemoryStream other;
    other.AssignBuffer(stream.TakeBuffer());
    EXPECT_EQ(stream.Size(), 0);
    for (int i = 0; i < 800; i += 97)
        ASSERT_EQ(other.View().substr(size_t(i) * chunk.size(), chunk.size()), chunk) << i;
}

#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
TEST(BulkMemoryTest, LargeBlocksStartOnHugePageBoundaries)
{
    const size_t size = (size_t(5) << 20) + 123;
    void* block = AllocateBulk(size);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % (size_t(2) << 20), 0u);
    std::memset(block, 0xAB, size);
    ReleaseBulk(block, size);
}
#endif

namespace {

// Records what it hears in a log shared with the test.
class TRecorder : public TComponent {
public:
    TRecorder(std::string name, std::vector<std::string>& log, TComponent* owner = nullptr)
        : TComponent(owner)
        , log_(log)
    {
        Name = std::move(name);
    }
    ~TRecorder() override { log_.push_back("free " + Name); }
    const char* ClassName() const override { return "TRecorder"; }

    TRecorder* Partner = nullptr;
    void SetPartner(TRecorder* partner) { ReferTo(Partner, partner); }

protected:
    void ComponentRemoved(TComponent* component) override
    {
        if (component == Partner)
            Partner = nullptr;
        log_.push_back(Name + " heard");
        TComponent::ComponentRemoved(component);
    }

private:
    std::vector<std::string>& log_;
};

} // namespace

TEST(ComponentTest, OwnerFreesWhatItStillOwnsLastFirst)
{
    std::vector<std::string> log;
    {
        TRecorder owner("owner", log);
        new TRecorder("a", log, &owner);
        auto* b = new TRecorder("b", log, &owner);
        new TRecorder("c", log, &owner);
        ASSERT_EQ(owner.ComponentCount(), 3);
        delete b;
        ASSERT_EQ(owner.ComponentCount(), 2);
        EXPECT_EQ(owner.Components(1).Name, "c");
        EXPECT_EQ(owner.Components(0).Owner(), &owner);
        ExpectIndexError([&] { owner.Components(2); }, 2);
    }
    // The owner hears of each component that goes while it is whole.
    const std::vector<std::string> expected { "free b", "owner heard", "free owner", "free c", "free a" };
    EXPECT_EQ(log, expected);
}

TEST(ComponentTest, ReferencesAreClearedWhicheverSideGoesFirst)
{
    std::vector<std::string> log;
    TRecorder holder("holder", log);
    auto target = std::make_unique<TRecorder>("target", log);
    holder.SetPartner(target.get());
    holder.SetPartner(target.get());
    target.reset();
    EXPECT_EQ(holder.Partner, nullptr);
    EXPECT_EQ(log, (std::vector<std::string> { "free target", "holder heard" }));

    log.clear();
    TRecorder survivor("survivor", log);
    {
        TRecorder gone("gone", log);
        gone.SetPartner(&survivor);
    }
    EXPECT_EQ(log, (std::vector<std::string> { "free gone", "survivor heard" }));
}
