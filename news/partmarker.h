// The part marker of a subject: "(k/N)" or "[k/N]", by which the articles
// of a multi-part post say which piece of the post they carry.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lumigrab {

struct TPartMarker {
    int part = 0;
    int total = 0;
    // The subject with the marker taken out: the same for every part of a
    // post.
    std::string subject;
};

// The last "(k/N)" or "[k/N]" in subject, k and N decimal numbers of at
// most nine digits each; none when there is no such marker. "(0/N)"
// (a description before the parts) and "(1/1)" are read as they stand;
// callers decide what they mean.
std::optional<TPartMarker> ReadPartMarker(std::string_view subject);

// The name a post goes by in reports: the first double-quoted text of the
// subject ("harbour.jpg" in "\"harbour.jpg\" yEnc (1/5)"), else the subject
// without its marker, trimmed; cut to MaxFileNameBytes as a file name is
// (FittedFileName), so that a long name keeps its extension.
std::string PostDisplayName(std::string_view subjectWithoutMarker);

} // namespace lumigrab
