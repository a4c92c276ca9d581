// What a picture folder has taken in: the message-ids of the articles
// harvested into it and the names of the files each gave. The harvest asks
// it before fetching, so that Go after a restart, or a second harvest into
// the same folder, fetches nothing twice; pictures the user deleted stay
// deleted, since their articles stay recorded.
//
// The folder keeps it in the hidden file ".lumigrab-index", one line per
// article: the message-id, then the names of its files, separated by tabs,
// ended by a line feed (an article that gave no picture has a line of its
// own id alone). Lines are only ever appended, each with one write, so a
// crash loses at most the line being written; a last line without its line
// feed is such a torn line and is ignored (and cut off before the next
// line is added). Unreadable lines, and lines beyond the bounds of an id
// and of names, are ignored too. Only a regular file is read: anything
// else planted under its name (a named pipe, a device, a folder) is an
// error, and never waited on.
//
// Each picture kept also has a line of its bytes' SHA-256 digest, "sha256",
// a blank and 64 lower-case hex digits, then a tab and the file's name:
// the same picture posted again under another name, in another article,
// is not kept twice. No message-id holds a blank, so such a line never
// names an article, and an older reader passes it over as unusable.
//
// An article recorded with what it was has, just before its own line, a
// line "about", a blank and its message-id, then its group, subject,
// poster and date, each after a tab (control characters and tabs in them
// made "_", each cut to MaxFileNameBytes): where a picture came from
// (news/pictureorigin.h). It names no article either; lines written before
// there were such lines still load, and their pictures' origin is unknown.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "news/sha256.h"

namespace lumigrab {

// Longest message-id kept (the limit articles must keep to); a longer one
// is treated as none.
constexpr size_t MaxMessageIdBytes = 250;

// Whether id can be recorded and looked up: not empty, at most
// MaxMessageIdBytes, and no spaces or control characters (which no
// message-id holds, and which would break the index's lines).
bool IsUsableMessageId(std::string_view id);

// Where an article came from: the group it was walked in (or that its
// header names first, for one fetched by message-id), its subject, poster
// and date as its header gives them; empty where unknown.
struct TArticleAbout {
    std::string group;
    std::string subject;
    std::string poster;
    std::string date;

    bool operator==(const TArticleAbout&) const = default;
};

// The key of an article's about line, without its line feed and fields:
// "about " and the message-id.
std::string AboutKey(std::string_view messageId);

// The harvest's record of what it has taken, behind which the folder's
// index file sits. Everything that brings pictures into the folder (single
// articles, joined multi-part posts) records through it.
class THarvestIndex {
public:
    virtual ~THarvestIndex() = default;
    // Whether the article with this message-id has been taken.
    virtual bool Contains(std::string_view messageId) = 0;
    // Records the article with this message-id as taken, with the names of
    // the files that hold its pictures (none for an article without one);
    // a name is kept to MaxFileNameBytes, as a file's name is.
    virtual void Record(std::string_view messageId, const std::vector<std::string>& fileNames) = 0;
    // Whether a picture with these bytes was kept, whatever its name. Safe
    // on several threads at once, as pictures are saved on the pool's.
    virtual bool Kept(const TSha256Digest& /*digest*/) { return false; }
    // Records a picture kept under name (a name only: the folder's).
    virtual void RecordKept(const TSha256Digest& /*digest*/, std::string_view /*name*/) { }
    // Records what the article with this message-id was, before its
    // Record.
    virtual void RecordAbout(std::string_view /*messageId*/, const TArticleAbout& /*about*/) { }
};

// The text of a picture's digest line, without its line feed and name:
// "sha256 " and the digest in hex.
std::string DigestKey(const TSha256Digest& digest);

// A set of message-ids, kept compactly: the ids one after another in
// blocks of a megabyte, and an open-addressing table of 8 bytes per slot,
// at most half full. Ids beyond 4 GB in all are not kept.
class TMessageIdSet {
public:
    // Sizes the table for count ids at once, so that loading does not grow
    // it step by step.
    void Reserve(size_t count);
    // Adds a usable id; returns false when it was already there or is not
    // usable.
    bool Insert(std::string_view id);
    bool Contains(std::string_view id) const;
    size_t Count() const { return count_; }
    // Bytes held for the ids and the table.
    size_t MemoryBytes() const;

private:
    // Each slot: 32 bits of the id's hash (the high ones choose its place,
    // the rest spare most comparisons) and its offset + 1 in the blocks (0
    // = empty slot).
    std::vector<std::string> blocks_;
    std::vector<uint64_t> slots_;
    unsigned bits_ = 0;
    size_t count_ = 0;

    size_t Home(uint32_t hash) const { return size_t(hash) >> (32 - bits_); }
    size_t Next(size_t index) const { return (index + 1) & (slots_.size() - 1); }
    // The slot holding id, or the empty slot where it belongs.
    size_t Find(std::string_view id, uint32_t hash) const;
    std::string_view IdAt(uint64_t slot) const;
    // Where id's bytes now start, or false when there is no room left.
    bool Store(std::string_view id, uint64_t& offset);
    void Resize(unsigned bits);
};

// Reads index text into ids piece by piece, as it comes from the file,
// holding no more of a line than its id. A line whose id or one of whose
// names is beyond its bound (MaxMessageIdBytes, MaxFileNameBytes) is junk:
// it is passed over to its line feed without being held, so a file of junk
// takes no more memory than a file of lines.
class TIndexReader {
public:
    // digests, when given, receives the digests of the kept pictures'
    // lines.
    explicit TIndexReader(TMessageIdSet& ids, std::set<TSha256Digest>* digests = nullptr)
        : ids_(ids)
        , digests_(digests)
    {
    }

    // Takes the next piece of the text.
    void Read(std::string_view text);
    // The length of the text read up to the end of its last complete line.
    uint64_t CompleteLength() const { return complete_; }

private:
    TMessageIdSet& ids_;
    std::set<TSha256Digest>* digests_;
    // The current line's id so far, until its tab.
    std::string id_;
    bool inNames_ = false;
    // The bytes of the current name so far.
    size_t nameBytes_ = 0;
    bool junk_ = false;
    uint64_t read_ = 0;
    uint64_t complete_ = 0;

    // Takes a piece of one line (no line feed in it).
    void TakeInLine(std::string_view piece);
    void EndLine();
};

// Reads the complete lines of index text into ids (TIndexReader); returns
// the length of the text up to the end of its last complete line.
size_t ReadIndexText(std::string_view text, TMessageIdSet& ids);

// The index of one picture folder, read at the first question and written
// by appending.
class TFolderIndex : public THarvestIndex {
public:
    static constexpr std::string_view FileName = ".lumigrab-index";

    explicit TFolderIndex(std::string folder);
    ~TFolderIndex() override;
    TFolderIndex(const TFolderIndex&) = delete;
    TFolderIndex& operator=(const TFolderIndex&) = delete;

    // An index file that cannot be read raises EInOutError "Cannot read
    // PATH: REASON" ("not a regular file" for a named pipe or a device);
    // a missing one is an empty index. Every call may come from any
    // thread.
    bool Contains(std::string_view messageId) override;
    // Appends a line; an unusable id records nothing. A line that cannot be
    // written is taken back and raises EInOutError "Cannot write PATH:
    // REASON", or EDiskFullError for a full or read-only file system.
    void Record(std::string_view messageId, const std::vector<std::string>& fileNames) override;
    bool Kept(const TSha256Digest& digest) override;
    void RecordKept(const TSha256Digest& digest, std::string_view name) override;
    void RecordAbout(std::string_view messageId, const TArticleAbout& about) override;

    const std::string& Path() const { return path_; }
    // The ids known, after loading.
    const TMessageIdSet& Ids();

private:
    std::mutex mutex_;
    std::string path_;
    TMessageIdSet ids_;
    std::set<TSha256Digest> digests_;
    bool loaded_ = false;
    // Where the complete lines read end, and how long the file was.
    int64_t completeLength_ = 0;
    int64_t loadedLength_ = 0;
    int file_ = -1;

    void Load();
    void OpenForAppend();
    void Append(const std::string& line);
};

} // namespace lumigrab
