// Joining the articles of a multi-part post into one file: yEnc parts each
// to their "=ypart" offset, uuencoded bodies one after the other from
// "begin" in the first part to "end" in the last (a later part that begins
// the same file again after an "end" goes on with it). Memory holds one
// part's bytes at a time; the file grows on disk.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/filenames.h"
#include "base/sysutils.h"

namespace lumigrab {

// The parts cannot be joined into a picture: neither yEnc nor uuencoded,
// larger than allowed, or beyond what the post announced.
class EPostJoinError : public Exception {
public:
    using Exception::Exception;
};

class TPostJoiner {
public:
    // Creates partialPath anew (whatever stands there is removed, never
    // followed or truncated); the joined file may not grow beyond maxSize
    // bytes. The file is removed again on destruction unless Finish has run
    // and the caller took it (Release).
    TPostJoiner(std::string partialPath, uint64_t maxSize);
    ~TPostJoiner();
    TPostJoiner(const TPostJoiner&) = delete;
    TPostJoiner& operator=(const TPostJoiner&) = delete;

    // Adds the article text (headers, an empty line, the body; CR LF or LF)
    // that carries part (from 1), in part order. The first part decides the
    // encoding and the file name. Raises EPostJoinError, or EInOutError
    // when the file cannot be written.
    void AddPart(int part, std::string_view articleText);
    // After the last part: closes the file and checks the whole file
    // against what yEnc announced for it. yEnc parts that overlap or leave
    // bytes out are damage whatever their CRC-32; parts that tile the file
    // in any order give its CRC-32.
    void Finish();
    // Leaves the file where it is at destruction (it was moved away).
    void Release() { released_ = true; }

    // The name the post gives its file ("=ybegin name=", the "begin" line);
    // empty before the first part.
    const std::string& FileName() const { return fileName_; }
    // What did not match, "; "-separated; empty when the parts arrived
    // whole.
    const std::string& Damage() const { return damage_; }
    const std::string& PartialPath() const { return path_; }

private:
    enum class TEncoding { Unknown, YEnc, UUEncode };

    std::string path_;
    uint64_t maxSize_;
    TPositionedFile file_;
    bool released_ = false;
    TEncoding encoding_ = TEncoding::Unknown;
    std::string fileName_;
    std::string damage_;

    // yEnc: what the parts announced for the whole file, and the bytes
    // each part wrote, with their CRC-32.
    struct TPiece {
        uint64_t begin;
        uint64_t end;
        uint32_t crc;
        int part;
    };
    std::optional<uint64_t> announcedSize_;
    std::optional<uint32_t> announcedCrc_;
    uint64_t fileEnd_ = 0;
    std::vector<TPiece> pieces_;

    // uuencode: "end" seen (until a later part begins the file again).
    bool uuEnded_ = false;

    void AddYEncPart(int part, std::string_view body);
    void AddUUPart(int part, std::string_view body);
    void WriteAt(uint64_t offset, std::string_view bytes);
    // Gaps and overlaps as damage; the CRC-32 of the whole file when the
    // pieces tile it.
    std::optional<uint32_t> CheckPieces();
    void AddDamage(const std::string& fault);
};

// True for a line of uuencoded data: a length character for 1 to 45 bytes
// and as many characters of the uuencode range as that length needs (two
// more tolerated, as some encoders pad or add a check character).
bool IsUUDataLine(std::string_view line);

} // namespace lumigrab
