#include "news/headerids.h"

#include <iterator>

namespace lumigrab {

void THeaderIds::Add(int32_t number, std::string_view id)
{
    if (!id.starts_with('<'))
        return;
    const std::lock_guard lock(mutex_);
    const auto entry = byNumber_.emplace(number, std::string(id));
    byId_.emplace(std::string_view(entry->second), number);
}

void THeaderIds::EraseFromIds(const std::multimap<int32_t, std::string>::iterator& entry)
{
    auto [first, last] = byId_.equal_range(std::string_view(entry->second));
    for (; first != last; ++first) {
        // The view must be this entry's own: another entry of the same id
        // and number keeps its string alive in a node of its own.
        if (first->second == entry->first && first->first.data() == entry->second.data()) {
            byId_.erase(first);
            return;
        }
    }
}

void THeaderIds::ForgetBelow(int32_t number)
{
    const std::lock_guard lock(mutex_);
    const auto end = byNumber_.lower_bound(number);
    for (auto entry = byNumber_.begin(); entry != end; ++entry)
        EraseFromIds(entry);
    byNumber_.erase(byNumber_.begin(), end);
}

void THeaderIds::ForgetFrom(int32_t number)
{
    const std::lock_guard lock(mutex_);
    const auto begin = byNumber_.lower_bound(number);
    for (auto entry = begin; entry != byNumber_.end(); ++entry)
        EraseFromIds(entry);
    byNumber_.erase(begin, byNumber_.end());
}

void THeaderIds::Clear()
{
    const std::lock_guard lock(mutex_);
    byId_.clear();
    byNumber_.clear();
}

std::string THeaderIds::IdOf(int32_t number) const
{
    const std::lock_guard lock(mutex_);
    const auto [first, last] = byNumber_.equal_range(number);
    return first == last ? std::string() : std::prev(last)->second;
}

bool THeaderIds::NamesOther(std::string_view id, int32_t number) const
{
    const std::lock_guard lock(mutex_);
    const auto [first, last] = byId_.equal_range(id);
    for (auto entry = first; entry != last; ++entry) {
        if (entry->second != number)
            return true;
    }
    return false;
}

} // namespace lumigrab
