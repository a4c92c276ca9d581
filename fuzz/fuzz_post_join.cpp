// Strangers' articles as the parts of one multi-part post: the input, cut
// at zero bytes into up to eight parts, is joined into a partial file, in
// part order by the joiner and shuffled through the pooled join, as parts
// come from several connections. The joiner either refuses the post with
// its own error or joins it; the file never grows beyond the size allowed,
// and it is gone once the joiner is. The pooled join, whatever the order
// the parts come in, ends as the join in order does, but for stopping
// where the parts written so far name no picture.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "base/filenames.h"
#include "fuzz_check.h"
#include "news/harvest.h"
#include "news/pooledjoin.h"
#include "news/postjoin.h"

using namespace lumigrab;

using lumigrab_fuzz::Check;

namespace {

constexpr uint64_t MaxSize = 1 << 20;

std::string PartialPath(const char* kind)
{
    return (std::filesystem::temp_directory_path()
        / ("fuzz-post-join-" + std::to_string(::getpid()) + "-" + kind + ".part"))
        .string();
}

std::vector<std::string_view> Parts(std::string_view input)
{
    std::vector<std::string_view> parts;
    while (parts.size() < 8 && !input.empty()) {
        const size_t end = std::min(input.find('\0'), input.size());
        parts.push_back(input.substr(0, end));
        input.remove_prefix(std::min(end + 1, input.size()));
    }
    return parts;
}

struct TJoined {
    bool joined = false;
    // The parts written so far name no picture: the pooled join stops
    // there, as a join on one connection does. written: how many.
    bool noPicture = false;
    int written = 0;
    // In order: the file's name after each part written.
    std::vector<std::string> names;
    std::string bytes, damage;
};

// The finished file's bytes, and what the joiner says of it.
void Take(TJoined& result, const TPostJoiner& joiner)
{
    std::error_code error;
    Check(std::filesystem::file_size(joiner.PartialPath(), error) <= MaxSize);
    std::ifstream in(joiner.PartialPath(), std::ios::binary);
    result.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    result.damage = joiner.Damage();
    result.joined = true;
}

TJoined JoinInOrder(const std::vector<std::string_view>& parts)
{
    TJoined result;
    TPostJoiner joiner(PartialPath("order"), MaxSize);
    try {
        for (size_t part = 0; part < parts.size(); ++part) {
            joiner.AddPart(int(part + 1), parts[part]);
            result.names.push_back(joiner.FileName());
        }
        joiner.Finish();
        Take(result, joiner);
    } catch (const EPostJoinError&) {
    }
    return result;
}

TJoined JoinShuffled(const std::vector<std::string_view>& parts, unsigned seed)
{
    std::vector<int> order(parts.size());
    std::iota(order.begin(), order.end(), 1);
    std::shuffle(order.begin(), order.end(), std::minstd_rand(seed));
    TJoined result;
    TPooledJoin join(std::make_unique<TPostJoiner>(PartialPath("pooled"), MaxSize), int(parts.size()));
    int written = 0;
    for (const int part : order) {
        const TPooledJoin::TProgress progress = join.Add(part, parts[size_t(part - 1)]);
        if (progress.failure) {
            try {
                std::rethrow_exception(progress.failure);
            } catch (const EPostJoinError&) {
            }
            return result;
        }
        if (progress.noPicture) {
            result.noPicture = true;
            result.written = progress.written;
            return result;
        }
        Check(progress.written >= written && progress.written <= int(parts.size()));
        written = progress.written;
        if (progress.finished)
            join.Take([&](TPostJoiner& joiner) { Take(result, joiner); });
    }
    Check(result.joined == (written == int(parts.size())));
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string_view> parts = Parts(input);
    const TJoined inOrder = JoinInOrder(parts);
    Check(!std::filesystem::exists(PartialPath("order")));
    if (parts.empty())
        return 0;
    const TJoined shuffled = JoinShuffled(parts, unsigned(std::hash<std::string_view>()(input)));
    Check(!std::filesystem::exists(PartialPath("pooled")));
    // Stopped where the parts written named no picture, which may be before
    // a part that fails.
    if (shuffled.noPicture) {
        Check(shuffled.written >= 1 && size_t(shuffled.written) <= inOrder.names.size());
        Check(!HasPictureExtension(SafeFileName(inOrder.names[size_t(shuffled.written - 1)])));
        return 0;
    }
    Check(shuffled.joined == inOrder.joined);
    Check(shuffled.bytes == inOrder.bytes && shuffled.damage == inOrder.damage);
    return 0;
}
