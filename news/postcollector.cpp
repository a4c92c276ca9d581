#include "news/postcollector.h"

#include <algorithm>

#include "message/msmsgcls.h"

namespace lumigrab {

namespace {

// Fixed-width lengths and numbers: no two different triples give the same
// bytes.
void AddNumber(TSha256& digest, uint64_t number)
{
    char bytes[8];
    for (size_t i = 0; i < sizeof bytes; ++i)
        bytes[i] = char(number >> (8 * i));
    digest.Update(std::string_view(bytes, sizeof bytes));
}

void AddText(TSha256& digest, std::string_view text)
{
    AddNumber(digest, text.size());
    digest.Update(text);
}

TPostKey PostKey(std::string_view subjectWithoutMarker, std::string_view from, int total)
{
    TSha256 digest;
    AddText(digest, subjectWithoutMarker);
    AddText(digest, from);
    AddNumber(digest, uint64_t(int64_t(total)));
    return digest.Finish();
}

} // namespace

bool TPost::Complete() const
{
    return std::none_of(
        articles.begin(), articles.end(), [](const auto& numbers) { return numbers.empty(); });
}

std::vector<int> TPost::MissingParts() const
{
    std::vector<int> missing;
    for (size_t index = 0; index < articles.size(); ++index) {
        if (articles[index].empty())
            missing.push_back(int(index) + 1);
    }
    return missing;
}

std::string TPost::IncompleteReport() const
{
    std::string parts;
    for (const int part : MissingParts())
        parts += (parts.empty() ? "" : ", ") + std::to_string(part);
    return "Incomplete: " + name + ", parts " + parts + " of " + std::to_string(total) + " missing";
}

TPostCollector::TPostCollector(size_t maxTrackedPosts)
    : maxPosts_(std::max<size_t>(maxTrackedPosts, 1))
{
}

TPostCollector::TAdded TPostCollector::Add(
    const TPartMarker& marker, const std::string& from, TArticleNumber number, int64_t bytes)
{
    ForgetForeseen(number);
    TAdded added;
    const TKey key = PostKey(marker.subject, from, marker.total);
    const auto found = index_.find(key);
    const bool isNew = found == index_.end();
    TPost& post = isNew ? NewPost(marker, key, added.dropped) : *found->second;
    added.post = &post;
    if (post.state == TPost::TState::Refused) {
        added.what = isNew ? TAdded::TWhat::Refused : TAdded::TWhat::Noted;
        return added;
    }
    if (post.state == TPost::TState::Joined || marker.part < 1 || marker.part > post.total)
        return added;
    std::vector<TArticleNumber>& numbers = post.articles[size_t(marker.part - 1)];
    if (std::find(numbers.begin(), numbers.end(), number) != numbers.end())
        return added;
    const bool wasComplete = post.Complete();
    if (numbers.empty())
        post.bytes += bytes;
    numbers.push_back(number);
    if (!wasComplete && post.Complete())
        added.what = TAdded::TWhat::Complete;
    return added;
}

TPost& TPostCollector::NewPost(const TPartMarker& marker, const TKey& key, std::optional<TPost>& dropped)
{
    if (posts_.size() >= maxPosts_)
        dropped = MakeRoom();
    TPost& post = posts_.emplace_back();
    post.id = nextId_++;
    post.key = key;
    post.subject = marker.subject.substr(0, MaxShortString);
    post.quoted = marker.subject.find('"') != std::string::npos;
    post.total = marker.total;
    post.name = PostDisplayName(marker.subject);
    index_[key] = std::prev(posts_.end());
    if (marker.total > MaxPostParts)
        SetState(post, TPost::TState::Refused);
    else
        post.articles.resize(size_t(std::max(marker.total, 0)));
    return post;
}

void TPostCollector::SetState(TPost& post, TPost::TState state)
{
    post.state = state;
    const auto tracked = index_.find(post.key);
    if (tracked == index_.end() || tracked->second->id != post.id)
        return;
    if (state == TPost::TState::Joined || state == TPost::TState::Refused)
        settled_.emplace(post.id, tracked->second);
    else
        settled_.erase(post.id);
}

// Joining posts, which are never dropped, are few (those on the pool's
// connections): the oldest waiting post is near the front.
std::optional<TPost> TPostCollector::MakeRoom()
{
    const bool quiet = !settled_.empty();
    auto victim = quiet ? settled_.begin()->second
                        : std::find_if(posts_.begin(), posts_.end(),
                            [](const TPost& post) { return post.state == TPost::TState::Waiting; });
    if (victim == posts_.end())
        return std::nullopt;
    index_.erase(victim->key);
    settled_.erase(victim->id);
    std::optional<TPost> dropped;
    if (!quiet)
        dropped = std::move(*victim);
    posts_.erase(victim);
    return dropped;
}

std::vector<TArticleNumber> TPostCollector::Foresee(
    const TPartMarker& marker, const std::string& from, TArticleNumber number)
{
    if (!foreseenPosts_.empty() && number <= foreseenPosts_.rbegin()->first)
        ForgetForeseen(MaxArticleNumber);
    if (marker.total < 2 || marker.total > MaxPostParts || marker.part < 1 || marker.part > marker.total)
        return {};
    const TKey key = PostKey(marker.subject, from, marker.total);
    const auto found = index_.find(key);
    const TPost* post = found == index_.end() ? nullptr : &*found->second;
    if (post && post->state != TPost::TState::Waiting)
        return {};
    std::vector<TArticleNumber> firsts = FirstArticles(post, key, marker.total);
    const bool wasComplete = std::find(firsts.begin(), firsts.end(), NoArticle) == firsts.end();
    if (post) {
        const std::vector<TArticleNumber>& numbers = post->articles[size_t(marker.part - 1)];
        if (std::find(numbers.begin(), numbers.end(), number) != numbers.end())
            return {};
    }
    foreseen_[key][number] = marker.part;
    foreseenPosts_.emplace(number, key);
    TArticleNumber& first = firsts[size_t(marker.part - 1)];
    if (first == NoArticle)
        first = number;
    if (wasComplete || std::find(firsts.begin(), firsts.end(), NoArticle) != firsts.end())
        return {};
    return firsts;
}

std::vector<TArticleNumber> TPostCollector::FirstArticles(const TPost* post, const TKey& key, int total) const
{
    std::vector<TArticleNumber> firsts(size_t(total), NoArticle);
    if (post) {
        for (size_t index = 0; index < post->articles.size() && index < firsts.size(); ++index) {
            if (!post->articles[index].empty())
                firsts[index] = post->articles[index].front();
        }
    }
    const auto found = foreseen_.find(key);
    if (found == foreseen_.end())
        return firsts;
    // Ascending numbers: the first one seen of each part comes first.
    for (const auto& [number, part] : found->second) {
        if (firsts[size_t(part - 1)] == NoArticle)
            firsts[size_t(part - 1)] = number;
    }
    return firsts;
}

void TPostCollector::ForgetForeseen(TArticleNumber number)
{
    while (!foreseenPosts_.empty() && foreseenPosts_.begin()->first <= number) {
        const auto [foreseenNumber, key] = *foreseenPosts_.begin();
        const auto post = foreseen_.find(key);
        post->second.erase(foreseenNumber);
        if (post->second.empty())
            foreseen_.erase(post);
        foreseenPosts_.erase(foreseenPosts_.begin());
    }
}

void TPostCollector::ForgetArticle(TPost& post, int part)
{
    if (part < 1 || size_t(part) > post.articles.size() || post.articles[size_t(part - 1)].empty())
        return;
    auto& numbers = post.articles[size_t(part - 1)];
    numbers.erase(numbers.begin());
}

std::vector<TPost*> TPostCollector::Waiting()
{
    std::vector<TPost*> waiting;
    for (TPost& post : posts_) {
        if (post.state == TPost::TState::Waiting)
            waiting.push_back(&post);
    }
    return waiting;
}

} // namespace lumigrab
