#include "news/headerids.h"

#include <algorithm>
#include <utility>

namespace lumigrab {

void THeaderIds::Add(TArticleNumber number, std::string id)
{
    if (!id.starts_with('<'))
        return;
    const std::lock_guard lock(mutex_);
    entries_.push_back({ number, std::move(id) });
}

void THeaderIds::ForgetBelow(TArticleNumber number)
{
    const std::lock_guard lock(mutex_);
    while (!entries_.empty() && entries_.front().number < number)
        entries_.pop_front();
}

void THeaderIds::ForgetFrom(TArticleNumber number)
{
    const std::lock_guard lock(mutex_);
    while (!entries_.empty() && entries_.back().number >= number)
        entries_.pop_back();
}

void THeaderIds::Clear()
{
    const std::lock_guard lock(mutex_);
    entries_.clear();
}

std::string THeaderIds::IdOf(TArticleNumber number) const
{
    const std::lock_guard lock(mutex_);
    const auto found = std::find_if(
        entries_.rbegin(), entries_.rend(), [number](const TEntry& entry) { return entry.number == number; });
    return found == entries_.rend() ? std::string() : found->id;
}

bool THeaderIds::NamesOther(std::string_view id, TArticleNumber number) const
{
    const std::lock_guard lock(mutex_);
    return std::any_of(entries_.begin(), entries_.end(),
        [&](const TEntry& entry) { return entry.number != number && entry.id == id; });
}

} // namespace lumigrab
