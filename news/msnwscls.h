// The NNTP client's lists: the server's newsgroups (with a text form for
// streams and files) and the headers taken during a header walk.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/classes.h"
#include "message/msmsgcls.h"
#include "news/articlenumber.h"

namespace lumigrab {

// One newsgroup as a line of the LIST reply describes it.
class TmsNewsgroup {
public:
    int32_t FirstArticle = -1;
    int32_t LastArticle = -1;
    // First character of the flag word; the character 0 when there is none.
    char PostingFlag = '\0';
    std::string GroupName;

    // Reads a LIST line: name, last, first, flag. Numbers that are missing
    // or not integers give -1; no line is rejected.
    static TmsNewsgroup FromListLine(std::string_view line);

    bool operator==(const TmsNewsgroup&) const = default;
};

// The server's newsgroups in the order added; owns its groups.
//
// Text form: per group "name last first flag" and CR LF; a group without a
// flag is written with a zero byte in the flag position. Loading reads past
// zero bytes, so a saved list always loads back complete.
class TmsNewsGroupList : public TPersistent, public TOwningList<TmsNewsgroup> {
public:
    const char* ClassName() const override { return "TmsNewsGroupList"; }

    // Index outside 0..Count-1 raises "List index out of bounds (%d)".
    TmsNewsgroup& Groups(int index) { return At(index); }
    const TmsNewsgroup& Groups(int index) const { return At(index); }

    // Replaces the content with the groups of the stream's whole text, one
    // per line (CR LF, LF or CR), empty lines included.
    void LoadFromStream(TStream& stream);
    // Writes the text form from position 0; the stream is not truncated.
    void SaveToStream(TStream& stream) const;
    void LoadFromFile(const std::string& fileName);
    // Creates (or replaces) the file.
    void SaveToFile(const std::string& fileName) const;
};

// The headers of one article: its raw header lines plus the article number
// that the HEAD reply reported.
class TmsNgInfoItem : public TmsHeaders {
public:
    TArticleNumber Number = NoArticle;
};

// Article headers in the order taken; owns its items.
//
// With a Retention of K, only the last K entries are kept: older ones are
// freed as new ones arrive, so a walk over a group of millions holds a few
// entries rather than all of them. Indexes and Count go on counting every
// entry added; Entries of a freed index raises the list's index error.
// Retention 0 keeps every entry.
class TmsNgInfoList : public TPersistent {
public:
    TmsNgInfoList() = default;
    TmsNgInfoList(const TmsNgInfoList&) = delete;
    TmsNgInfoList& operator=(const TmsNgInfoList&) = delete;
    ~TmsNgInfoList() override { Clear(); }

    const char* ClassName() const override { return "TmsNgInfoList"; }

    // Entries added since the last Clear, freed ones included.
    int Count() const { return freed_ + int(items_.size()); }
    // Index of the oldest entry still kept; Count when none is.
    int FirstKept() const { return freed_; }
    // Index outside FirstKept..Count-1 raises "List index out of bounds (%d)".
    TmsNgInfoItem& Entries(int index);
    const TmsNgInfoItem& Entries(int index) const;
    // The newest kept entry of that article number; nullptr when none is.
    const TmsNgInfoItem* Find(TArticleNumber number) const;
    // Takes ownership; returns the new entry's index.
    int Add(std::unique_ptr<TmsNgInfoItem> item);
    // Frees every entry, the last first; Count starts again at 0.
    void Clear();

    int Retention() const { return retention_; }
    // Frees the entries beyond the last retention ones at once.
    void SetRetention(int retention);

private:
    std::deque<std::unique_ptr<TmsNgInfoItem>> items_;
    // Entries freed from the front since the last Clear.
    int freed_ = 0;
    int retention_ = 0;

    void FreeBeyondRetention();
};

} // namespace lumigrab
