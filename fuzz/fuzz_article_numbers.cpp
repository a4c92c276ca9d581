// A LISTGROUP data block as a server sends it, with the range asked for
// taken from its first two bytes, placed near the top of 64 bits when the
// first byte is odd. Every number handed out lies in the
// range, the numbers ascend strictly, and there are no more of them than
// lines.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "news/overview.h"

using lumigrab_fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const lumigrab::TArticleNumber base = data[0] % 2 ? lumigrab::MaxArticleNumber - 300000 : 0;
    const lumigrab::TArticleNumber first = base + lumigrab::TArticleNumber(data[0]) * 1000 + 1;
    const lumigrab::TArticleNumber last = first + lumigrab::TArticleNumber(data[1]) * 1000;
    const std::string_view text(reinterpret_cast<const char*>(data) + 2, size - 2);
    const std::vector<lumigrab::TArticleNumber> numbers = lumigrab::ReadArticleNumbers(text, first, last);
    Check(numbers.size() <= size_t(std::count(text.begin(), text.end(), '\n')) + 1);
    for (size_t i = 0; i < numbers.size(); ++i) {
        Check(numbers[i] >= first && numbers[i] <= last);
        Check(i == 0 || numbers[i - 1] < numbers[i]);
    }
    return 0;
}
