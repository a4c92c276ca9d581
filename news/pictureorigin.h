// Where a picture of a picture folder came from, read from the folder's
// index (news/harvestindex.h): the message-id of the last article recorded
// with the picture's file name, and what its about line says of it. Read
// on demand, a line at a time: the index is not held.
#pragma once

#include <optional>
#include <string>

#include "news/harvestindex.h"

namespace lumigrab {

struct TPictureOrigin {
    std::string messageId;
    // Empty fields when the article was recorded without an about line
    // (before there were any, or with nothing known).
    TArticleAbout about;
};

// nullopt when the index names no article with fileName (a picture put
// there by hand, or no index at all). Lines longer than an index line can
// be are passed over; a file that cannot be read gives nullopt. Never
// throws.
std::optional<TPictureOrigin> FindPictureOrigin(const std::string& folder, const std::string& fileName);

// The same over index text, for tests and the fuzz target.
std::optional<TPictureOrigin> FindPictureOriginInText(std::string_view text, const std::string& fileName);

} // namespace lumigrab
