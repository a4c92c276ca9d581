// Where the walk of each group stopped, per server, kept in the picture
// folder beside the folder index, so that the next walk of a group on a
// server, in this process or the next, goes on after it instead of asking
// for the whole group's overview again (for a provider's group, gigabytes
// of headers at every start).
//
// The file, ".lumigrab-walked", holds one line per server and group,
// "SERVER GROUP NUMBER" (the server as host:port, both names in lower
// case), the most recently walked last, at most MaxEntries of them: the
// oldest go. It is replaced whole at each Keep (a new file written, flushed
// and renamed over the old one), so a crash leaves the last one written.
// Lines not of that form, or longer than MaxLineBytes, are skipped; a file
// that is not a regular one (a FIFO, a folder) is refused with an error.
// Deleting the file forgets every position.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumigrab {

class TWalkPositions {
public:
    static constexpr const char* FileName = ".lumigrab-walked";
    static constexpr size_t MaxEntries = 1000;
    static constexpr size_t MaxLineBytes = 600;

    // folder: the picture folder, ending in '/'. Nothing is read yet.
    explicit TWalkPositions(std::string folder);

    // The last article walked of group on server; nullopt when none is
    // kept. Reads the file at the first call (EInOutError when it cannot).
    std::optional<uint64_t> Find(std::string_view server, std::string_view group);
    // Keeps number as the last article walked of group on server and
    // writes the file; EInOutError when it cannot be written (the old file
    // then stays as it was).
    void Keep(std::string_view server, std::string_view group, uint64_t number);

private:
    struct Entry {
        std::string server;
        std::string group;
        uint64_t number = 0;
    };
    void Load();
    void ReadLine(std::string_view line);
    void Write() const;
    Entry* FindEntry(const std::string& server, const std::string& group);

    std::string folder_;
    std::string path_;
    bool loaded_ = false;
    std::vector<Entry> entries_; // oldest first
};

} // namespace lumigrab
