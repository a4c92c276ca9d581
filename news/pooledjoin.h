// The join of a multi-part post whose parts arrive on several connections'
// threads at once, in any order.
//
// Who writes the partial file: whichever thread holds the post's lock. A
// part that arrives in its turn is decoded and written at once by the
// thread that brought it; a part ahead of its turn waits here as text
// until the parts before it are written, and is then written by the thread
// that wrote the last of those. One lock per post rather than handing the
// decoded bytes to the owner's thread keeps decoding and writing off that
// thread (the window's) and needs no second copy of each part; the joiner
// keeps its part order, on which uuencoded bodies and the whole file's
// CRC-32 depend. How many parts may wait is up to the caller, which hands
// out only a window of parts at a time.
#pragma once

#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "news/postjoin.h"

namespace lumigrab {

class TPooledJoin {
public:
    // Takes over joiner, which joins a post of total parts.
    TPooledJoin(std::unique_ptr<TPostJoiner> joiner, int total);

    // What a part did to the join.
    struct TProgress {
        // Parts written so far, from part 1 on; 0 once the join has ended
        // (the part was dropped).
        int written = 0;
        // Every part is written and the file finished.
        bool finished = false;
        // The first part names a file that is no picture: nothing more is
        // written.
        bool noPicture = false;
        // Why the join failed (EPostJoinError, EInOutError, ...): the
        // partial file is gone and later parts are dropped.
        std::exception_ptr failure;
    };

    // Adds the article text of part (1 to total), on any thread.
    TProgress Add(int part, std::string_view articleText);

    // Runs use with the joiner once every part is in (finished), under the
    // lock; then ends the join.
    template <typename Use> auto Take(Use use)
    {
        const std::lock_guard lock(lock_);
        struct TEnd {
            std::unique_ptr<TPostJoiner>& joiner;
            ~TEnd() { joiner.reset(); }
        } end { joiner_ };
        return use(*joiner_);
    }

    // Ends the join: the partial file is removed, parts still on their way
    // are dropped when they come.
    void End();

private:
    std::mutex lock_;
    std::unique_ptr<TPostJoiner> joiner_;
    const int total_;
    int next_ = 1;
    std::map<int, std::string> early_;

    // Writes part and the waiting parts that follow it; under the lock.
    void WriteInTurn(int part, std::string_view articleText);
};

} // namespace lumigrab
