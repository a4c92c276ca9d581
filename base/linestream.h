// A memory stream that can also be read line by line, as the article
// decoder walks an article's text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/classes.h"

namespace lumigrab {

// Lines are taken in blocks that are cut after their last line feed, so a
// line never straddles two blocks. Line breaks are CR LF, LF or CR. Zero
// bytes are ordinary line content: articles are binary-safe bytes, and
// cutting a line at a zero byte would silently lose the rest of the block.
//
// Write the text first (as into any memory stream), then call Reset (or set
// the position to 0) before the first ReadLine. Writing while reading is not
// supported: reading moves the position to the end of the current block.
class TLineStream : public TMemoryStream {
public:
    // Four bytes of value 255; returned in place of a line once the text is
    // exhausted, and on every call after that.
    inline static const std::string EndMarker { "\xFF\xFF\xFF\xFF" };

    // Bytes taken per block. A longer line makes its block grow until the
    // line fits, so no line is too long to read.
    static constexpr size_t BlockSize = 16384;

    // Assigns the next line without its line break into line (reusing its
    // capacity) and returns true; at the end of the text assigns EndMarker,
    // sets Eof and returns false. A final line without a line break is
    // returned like any other.
    bool ReadLine(std::string& line);

    // Back to the start: the next ReadLine returns the first line again.
    void Reset();

    // Goes on at offset, the start of a line: for readers that took a
    // stretch of the text (View) in one piece instead of line by line.
    void SkipTo(int64_t offset);

    // True once ReadLine has returned the end marker.
    bool Eof() const { return eof_; }

    // Offset of the text where the next ReadLine begins; unlike Position,
    // which is already at the end of the current block.
    int64_t NextLineStart() { return cursor_ < blockEnd_ ? int64_t(cursor_) : Position(); }

private:
    void FillBlock();
    size_t CutAfterLastLineFeed(std::string_view data, size_t start, size_t end) const;
    void ReturnEndMarker(std::string& line);

    // The current block is data[cursor_, blockEnd_); cursor_ is where the
    // next line starts. nextLineFeed_ caches the scan for the next LF.
    size_t cursor_ = 0;
    size_t blockEnd_ = 0;
    size_t nextLineFeed_ = 0;
    bool lastBlock_ = false;
    bool eof_ = false;
};

} // namespace lumigrab
