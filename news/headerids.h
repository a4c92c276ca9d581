// The message-ids of article headers by their numbers, for telling a reply
// about another article from the one asked for (TmsNNTP): a walk's client
// notes the headers it holds, and the pooled connections fetching for that
// walk (news/fetchpool.h) look them up on their own threads. Every member
// may be called from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace lumigrab {

class THeaderIds {
public:
    // Notes the header's id; one that does not start with "<" cannot be
    // told apart from the server's and is not kept. A number may have
    // several ids, and an id several numbers.
    void Add(int32_t number, std::string_view id);
    // Forgets the entries of numbers below number, or of number and above.
    void ForgetBelow(int32_t number);
    void ForgetFrom(int32_t number);
    void Clear();

    // The id noted last for the number; empty when none is.
    std::string IdOf(int32_t number) const;
    // Whether id is noted for a header of another number than number.
    bool NamesOther(std::string_view id, int32_t number) const;

private:
    mutable std::mutex mutex_;
    // Ids of equal numbers in the order noted.
    std::multimap<int32_t, std::string> byNumber_;
    // Views of the strings held in byNumber_, whose nodes stay put.
    std::unordered_multimap<std::string_view, int32_t> byId_;

    void EraseFromIds(const std::multimap<int32_t, std::string>::iterator& entry);
};

} // namespace lumigrab
