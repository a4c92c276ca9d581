#include "news/pooledjoin.h"

#include "base/filenames.h"
#include "news/harvest.h"

namespace lumigrab {

TPooledJoin::TPooledJoin(std::unique_ptr<TPostJoiner> joiner, int total)
    : joiner_(std::move(joiner))
    , total_(total)
{
}

TPooledJoin::TProgress TPooledJoin::Add(int part, std::string_view articleText)
{
    const std::lock_guard lock(lock_);
    if (!joiner_ || part < next_ || part > total_)
        return {};
    TProgress progress;
    try {
        if (part == next_)
            WriteInTurn(part, articleText);
        else
            early_.emplace(part, std::string(articleText));
        if (next_ > total_)
            joiner_->Finish();
    } catch (...) {
        joiner_.reset();
        early_.clear();
        progress.failure = std::current_exception();
        return progress;
    }
    progress.written = next_ - 1;
    progress.finished = next_ > total_;
    // As a join on one connection: the first part decides.
    if (progress.written >= 1 && !HasPictureExtension(SafeFileName(joiner_->FileName()))) {
        progress.noPicture = true;
        joiner_.reset();
        early_.clear();
    }
    return progress;
}

void TPooledJoin::WriteInTurn(int part, std::string_view articleText)
{
    joiner_->AddPart(part, articleText);
    ++next_;
    for (auto waiting = early_.find(next_); waiting != early_.end(); waiting = early_.find(next_)) {
        joiner_->AddPart(next_, waiting->second);
        early_.erase(waiting);
        ++next_;
    }
}

void TPooledJoin::End()
{
    const std::lock_guard lock(lock_);
    joiner_.reset();
    early_.clear();
}

} // namespace lumigrab
