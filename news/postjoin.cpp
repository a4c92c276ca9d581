#include "news/postjoin.h"

#include <algorithm>

#include "base/classes.h"
#include "base/textline.h"
#include "mime/mscrc32.h"
#include "mime/msuucode.h"
#include "mime/msyenc.h"

namespace lumigrab {

namespace {

constexpr size_t MaxUUBytesPerLine = 45;

// The body: what follows the first empty line.
std::string_view BodyOf(std::string_view article)
{
    for (size_t at = 0; at < article.size();) {
        const TTextLine line = LineAt(article, at);
        if (line.text.empty())
            return article.substr(line.next);
        at = line.next;
    }
    return {};
}

std::string PartFault(int part, const std::string& fault)
{
    return "part " + std::to_string(part) + ": " + fault;
}

} // namespace

bool IsUUDataLine(std::string_view line)
{
    if (line.empty() || line[0] < ' ' || line[0] > '`')
        return false;
    const size_t count = size_t(line[0] - ' ') & 63;
    if (count == 0 || count > MaxUUBytesPerLine)
        return false;
    const size_t characters = line.size() - 1;
    const size_t least = (count * 4 + 2) / 3;
    const size_t padded = (count + 2) / 3 * 4;
    if (characters < least || characters > padded + 2)
        return false;
    for (const char c : line) {
        if (c < ' ' || c > '`')
            return false;
    }
    return true;
}

TPostJoiner::TPostJoiner(std::string partialPath, uint64_t maxSize)
    : path_(std::move(partialPath))
    , maxSize_(maxSize)
    , file_(path_)
{
}

TPostJoiner::~TPostJoiner()
{
    if (!released_)
        file_.Remove();
}

void TPostJoiner::AddPart(int part, std::string_view articleText)
{
    const std::string_view body = BodyOf(articleText);
    if (encoding_ == TEncoding::Unknown) {
        for (size_t at = 0; at < body.size() && encoding_ == TEncoding::Unknown;) {
            const TTextLine line = LineAt(body, at);
            if (IsYEncBeginLine(line.text))
                encoding_ = TEncoding::YEnc;
            else if (IsUUBeginLine(line.text))
                encoding_ = TEncoding::UUEncode;
            at = line.next;
        }
        if (encoding_ == TEncoding::Unknown)
            throw EPostJoinError("Part " + std::to_string(part) + " is neither yEnc nor uuencoded");
    }
    if (encoding_ == TEncoding::YEnc)
        AddYEncPart(part, body);
    else
        AddUUPart(part, body);
}

void TPostJoiner::AddYEncPart(int part, std::string_view body)
{
    size_t at = 0;
    TTextLine begin { {}, 0 };
    while (at < body.size()) {
        begin = LineAt(body, at);
        if (IsYEncBeginLine(begin.text))
            break;
        at = begin.next;
    }
    if (at >= body.size()) {
        AddDamage(PartFault(part, "no =ybegin line"));
        return;
    }
    const YEncBlock first = ReadYEncBegin(begin.text);
    if (first.size && !announcedSize_ && *first.size > maxSize_)
        throw EPostJoinError(Format("%s is larger than the %llu bytes allowed", first.name.c_str(),
            static_cast<unsigned long long>(maxSize_)));
    // The whole file's blocks at once, as the first part tells its size.
    if (first.size && !announcedSize_)
        file_.Reserve(*first.size);
    // Each piece goes to its place in the file as it is decoded, straight
    // from the decoder's buffer: gathering pieces into larger writes would
    // cost a copy of every byte, more than the calls it saves.
    uint64_t offset = fileEnd_;
    const YEncBlock block = DecodeYEncBlock(
        begin.text, body.substr(begin.next), [&](const YEncBlock& sofar, std::string_view bytes) {
            if (sofar.decodedSize == 0 && sofar.partBegin && *sofar.partBegin > 0)
                offset = *sofar.partBegin - 1;
            const uint64_t at = offset + sofar.decodedSize;
            if (at > maxSize_ || bytes.size() > maxSize_ - at)
                throw EPostJoinError(PartFault(part, "lies beyond the size allowed"));
            WriteAt(at, bytes);
        });
    if (fileName_.empty())
        fileName_ = block.name;
    if (block.size && !announcedSize_)
        announcedSize_ = block.size;
    if (block.crc32)
        announcedCrc_ = block.crc32;
    if (const std::string fault = YEncPartDamage(block); !fault.empty())
        AddDamage(PartFault(part, fault));
    if (block.partBegin && *block.partBegin > 0)
        offset = *block.partBegin - 1;
    const uint64_t end = offset + block.decodedSize;
    if (announcedSize_ && end > *announcedSize_)
        AddDamage(PartFault(part, "lies beyond the announced size"));
    if (block.decodedSize > 0)
        pieces_.push_back({ offset, end, block.decodedCrc32, part });
}

// Some posters end every part as a file of its own: a later part that
// begins the same name again after the "end" goes on with the file. Data
// after the "end" that does not is damage; another name's "begin" is
// another file, not this one.
void TPostJoiner::AddUUPart(int part, std::string_view body)
{
    std::string decoded;
    std::string line;
    const bool afterEnd = uuEnded_;
    bool inData = !uuEnded_ && (part > 1 || !fileName_.empty());
    for (size_t at = 0; at < body.size();) {
        const TTextLine current = LineAt(body, at);
        at = current.next;
        if (inData && current.text == "end") {
            uuEnded_ = true;
            break;
        }
        if (inData) {
            if (IsUUDataLine(current.text)) {
                DecodeUULine(current.text, line, MaxUUBytesPerLine);
                decoded += line;
            }
        } else if (IsUUBeginLine(current.text)) {
            const std::string name = GetUUFileName(current.text);
            if (!fileName_.empty() && name != fileName_)
                break;
            fileName_ = name;
            uuEnded_ = false;
            inData = true;
        } else if (afterEnd && IsUUDataLine(current.text)) {
            AddDamage(PartFault(part, "uuencoded data after the end line"));
            break;
        }
    }
    if (fileEnd_ + decoded.size() > maxSize_)
        throw EPostJoinError(PartFault(part, "lies beyond the size allowed"));
    WriteAt(fileEnd_, decoded);
}

void TPostJoiner::WriteAt(uint64_t offset, std::string_view bytes)
{
    if (bytes.empty())
        return;
    file_.WriteAt(offset, bytes);
    fileEnd_ = std::max(fileEnd_, offset + bytes.size());
}

void TPostJoiner::Finish()
{
    file_.Close();
    if (encoding_ == TEncoding::UUEncode && !uuEnded_)
        AddDamage("no end line");
    if (encoding_ != TEncoding::YEnc)
        return;
    if (announcedSize_ && *announcedSize_ != fileEnd_)
        AddDamage(Format("size %llu announced, %llu decoded",
            static_cast<unsigned long long>(*announcedSize_), static_cast<unsigned long long>(fileEnd_)));
    const std::optional<uint32_t> crc = CheckPieces();
    if (announcedCrc_ && crc && *announcedCrc_ != *crc)
        AddDamage(Format("CRC-32 %08x announced, %08x computed", *announcedCrc_, *crc));
}

std::optional<uint32_t> TPostJoiner::CheckPieces()
{
    std::stable_sort(pieces_.begin(), pieces_.end(),
        [](const TPiece& a, const TPiece& b) { return a.begin < b.begin; });
    uint32_t crc = 0;
    bool tiled = true;
    uint64_t covered = 0;
    int coveredBy = 0;
    for (const TPiece& piece : pieces_) {
        if (piece.begin > covered)
            AddDamage(Format("bytes %llu to %llu missing", static_cast<unsigned long long>(covered + 1),
                static_cast<unsigned long long>(piece.begin)));
        else if (piece.begin < covered)
            AddDamage(PartFault(piece.part,
                Format("overlaps part %d at bytes %llu to %llu", coveredBy,
                    static_cast<unsigned long long>(piece.begin + 1),
                    static_cast<unsigned long long>(std::min(covered, piece.end)))));
        tiled = tiled && piece.begin == covered;
        crc = Crc32Combine(crc, piece.crc, piece.end - piece.begin);
        if (piece.end > covered) {
            covered = piece.end;
            coveredBy = piece.part;
        }
    }
    return tiled ? std::optional(crc) : std::nullopt;
}

void TPostJoiner::AddDamage(const std::string& fault)
{
    damage_ += (damage_.empty() ? "" : "; ") + fault;
}

} // namespace lumigrab
