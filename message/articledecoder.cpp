#include "message/articledecoder.h"

#include <string.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <typeinfo>

#include "base/filenames.h"
#include "base/messagepump.h"
#include "message/msutils.h"
#include "mime/msmime.h"
#include "mime/msuucode.h"
#include "mime/msyenc.h"

namespace lumigrab {

namespace {

// ---------------------------------------------------------------------------
// Decoder helpers

enum class DataMode { Base64, UUEncode, QuotedPrintable, SevenBit };

DataMode DataModeFor(std::string_view transferEncoding)
{
    const std::string cte = LowerCase(transferEncoding.substr(0, MaxShortString));
    if (cte == "base64")
        return DataMode::Base64;
    if (cte.starts_with("x-uue"))
        return DataMode::UUEncode;
    if (cte == "quoted-printable")
        return DataMode::QuotedPrintable;
    return DataMode::SevenBit;
}

TAttEncoding AttEncodingFor(DataMode mode)
{
    switch (mode) {
    case DataMode::Base64:
    case DataMode::UUEncode:
        return aeBase64;
    case DataMode::QuotedPrintable:
        return aeQuotedPrintable;
    case DataMode::SevenBit:
        break;
    }
    return ae7Bit;
}

// A line that opens a block of plain text: uuencoded, or yEnc except one
// part of a multi-part post, which holds only a piece of a picture and stays
// text.
bool IsBlockBeginLine(std::string_view line)
{
    if (IsYEncBeginLine(line))
        return !IsYEncPartOfMany(line);
    return IsUUBeginLine(line);
}

bool Contains(std::string_view text, std::string_view part)
{
    return text.find(part) != std::string_view::npos;
}

std::string NumberedName(const char* prefix, const TmsAttList& attachments)
{
    return prefix + std::to_string(attachments.Count());
}

// Line decoders get room for the whole line, so long lines decode whole.
size_t RoomFor(std::string_view line)
{
    return std::max(line.size(), kShortTextMax);
}

bool IsClosingDelimiter(std::string_view line, std::string_view boundary)
{
    return line.size() == boundary.size() + 2 && line.starts_with(boundary) && line.ends_with("--");
}

// Reserves room for the bytes that textBytes of encoded text decode to;
// returns the room reserved.
size_t ReserveForEncoded(TMemoryStream& stream, size_t textBytes)
{
    const size_t room = textBytes / 4 * 3 + 64;
    stream.Reserve(room);
    return room;
}

// Releases the spare room of a stream that was reserved for more bytes than
// arrived, so that an over-estimate does not stay in memory with the item.
void ReleaseSpareRoom(TMemoryStream& stream, size_t reserved)
{
    const size_t size = stream.View().size();
    if (reserved <= size + size / 4 + 4096)
        return;
    ByteBuffer bytes = stream.TakeBuffer();
    bytes.shrink_to_fit();
    stream.AssignBuffer(std::move(bytes));
    stream.Seek(0, TSeekOrigin::End);
}

// Clean base64 lines are decoded in windows of this much text.
constexpr size_t kCleanLinesWindow = 64 * 1024;

// The bytes an attachment sink gets at once: a few windows' worth, small
// enough to stay in the cache between being decoded and being written.
constexpr size_t kSinkBufferBytes = 256 * 1024;
static_assert(kCleanLinesWindow / 4 * 3 + 1 < kSinkBufferBytes);

// Failures while an attachment is decoded (a bad character, no memory)
// become parser errors, which end in the recovery result.
template <typename Decode> auto DecodingAttachment(Decode decode) -> decltype(decode())
{
    try {
        return decode();
    } catch (const EMessageParserError&) {
        throw;
    } catch (const std::exception&) {
        throw EMessageParserError("Error decoding the attachment");
    }
}

TBase64Lines DecodeFullLines(std::string_view text, char* out)
{
    return DecodeFullUULines(text, out);
}

// text.find(part, from), without a comparison at every occurrence of the
// part's first character (a line feed, for "\nend": every line).
size_t FindText(std::string_view text, std::string_view part, size_t from)
{
    if (from > text.size())
        return std::string_view::npos;
    const void* found = ::memmem(text.data() + from, text.size() - from, part.data(), part.size());
    return found ? size_t(static_cast<const char*>(found) - text.data()) : std::string_view::npos;
}

} // namespace

// Where the decoded bytes of one attachment go: its stream, or, with a
// sink, a buffer of fixed size handed to the sink each time it fills. The
// sink's way neither holds the whole picture nor zero-fills room before
// decoding into it.
class TmsCustomDecoder::DecodedBytes {
public:
    DecodedBytes(TMemoryStream& stream, TmsAttachmentSink* sink, char* buffer)
        : stream_(stream)
        , sink_(sink)
        , buffer_(buffer)
    {
    }

    bool ToSink() const { return sink_ != nullptr; }

    // Room for size bytes and one of slack, valid until Commit.
    char* Room(size_t size)
    {
        if (!sink_) {
            before_ = size_t(stream_.Size());
            stream_.SetSize(int64_t(before_ + size + 1));
            return stream_.Memory() + before_;
        }
        if (used_ + size + 1 > kSinkBufferBytes)
            Flush();
        return buffer_ + used_;
    }

    // The first size bytes of the room hold decoded bytes.
    void Commit(size_t size)
    {
        if (sink_) {
            used_ += size;
            return;
        }
        stream_.SetSize(int64_t(before_ + size));
        stream_.Seek(0, TSeekOrigin::End);
    }

    void Append(std::string_view bytes)
    {
        if (!sink_) {
            stream_.Write(bytes.data(), bytes.size());
            return;
        }
        if (used_ + bytes.size() > kSinkBufferBytes)
            Flush();
        if (bytes.size() >= kSinkBufferBytes) {
            sink_->Write(bytes);
            return;
        }
        std::memcpy(buffer_ + used_, bytes.data(), bytes.size());
        used_ += bytes.size();
    }

    // Hands the buffered bytes to the sink.
    void Flush()
    {
        if (sink_ && used_ > 0)
            sink_->Write(std::string_view(buffer_, used_));
        used_ = 0;
    }

private:
    TMemoryStream& stream_;
    TmsAttachmentSink* sink_;
    char* buffer_;
    size_t before_ = 0;
    size_t used_ = 0;
};

// An attachment begun in the sink, which is told to discard it unless it
// ends.
class TmsCustomDecoder::SinkAttachment {
public:
    explicit SinkAttachment(TmsAttachmentSink* sink)
        : sink_(sink)
    {
    }
    ~SinkAttachment()
    {
        if (begun_)
            sink_->Discard();
    }
    SinkAttachment(const SinkAttachment&) = delete;
    SinkAttachment& operator=(const SinkAttachment&) = delete;

    void Begin(const TmsAttItem& item)
    {
        if (sink_ && !begun_) {
            sink_->Begin(item);
            begun_ = true;
        }
    }

    void End(TmsAttItem& item)
    {
        if (!sink_)
            return;
        Begin(item);
        begun_ = false;
        sink_->End(item);
    }

private:
    TmsAttachmentSink* sink_;
    bool begun_ = false;
};

namespace {

// Decodes the lines at the start of text that decode(text, out) takes in
// one pass into bytes; returns the text they took.
template <typename Bytes, typename Decode>
size_t DecodeCleanLinesInto(Bytes& bytes, std::string_view text, Decode decode)
{
    size_t consumed = 0;
    for (;;) {
        // A window at a time, so that the stream never grows far beyond
        // what arrives and the bytes are still in the cache when they are
        // checked.
        const std::string_view window = text.substr(consumed, kCleanLinesWindow);
        const TBase64Lines lines = decode(window, bytes.Room(window.size() / 4 * 3));
        bytes.Commit(lines.written);
        consumed += lines.consumed;
        if (lines.consumed == 0 || window.size() < kCleanLinesWindow)
            return consumed;
    }
}

} // namespace

// Writes the data lines of one attachment into its stream as they are read.
struct TmsCustomDecoder::PartDecoder {
    PartDecoder(TmsAttItem& item, DataMode mode, std::string& decoded, DecodedBytes bytes)
        : item(item)
        , mode(mode)
        , decoded(decoded)
        , bytes(bytes)
    {
    }

    TmsAttItem& item;
    DataMode mode;
    std::string& decoded;
    DecodedBytes bytes;
    TStringList quotedLines;
    size_t reserved = 0;

    // Room in the item's stream; bytes for a sink need none.
    void Reserve(size_t textBytes)
    {
        if (mode == DataMode::Base64 || mode == DataMode::UUEncode) {
            reserved = ReserveForEncoded(item.Stream, textBytes);
        } else {
            reserved = textBytes;
            item.Stream.Reserve(reserved);
        }
    }

    // Base64 and uuencode data of a single-part attachment end at a lone
    // full stop.
    bool EndsSingleAttachment(std::string_view line) const
    {
        return (mode == DataMode::Base64 || mode == DataMode::UUEncode) && line == ".";
    }

    void Feed(const std::string& line)
    {
        switch (mode) {
        case DataMode::Base64:
            if (!line.empty())
                WriteDecoded([&] { DecodeBase64DataLine(line, decoded, RoomFor(line)); });
            break;
        case DataMode::UUEncode:
            if (!line.empty() && !SkippedUULine(line))
                WriteDecoded([&] { DecodeUULine(line, decoded, RoomFor(line)); });
            break;
        case DataMode::QuotedPrintable:
            quotedLines.Add(line);
            break;
        case DataMode::SevenBit:
            bytes.Append(line);
            bytes.Append("\r\n");
            break;
        }
    }

    // Decodes the clean base64 or full uuencoded lines at the start of
    // text into the stream; returns the text they took.
    size_t DecodeCleanLines(std::string_view text)
    {
        if (mode == DataMode::Base64)
            return DecodeCleanLinesInto(bytes, text,
                [](std::string_view window, char* out) { return DecodeCleanBase64Lines(window, out); });
        if (mode == DataMode::UUEncode)
            return DecodeCleanLinesInto(bytes, text, DecodeFullLines);
        return 0;
    }

    void Finish()
    {
        if (mode == DataMode::QuotedPrintable) {
            TQuotedPrintable codec(item.Stream, quotedLines);
            codec.Decode();
        }
        bytes.Flush();
        if (!bytes.ToSink())
            ReleaseSpareRoom(item.Stream, reserved);
    }

private:
    static bool SkippedUULine(const std::string& line)
    {
        return IsUUBeginLine(line) || line == "`" || line == "end";
    }

    template <typename Decode> void WriteDecoded(Decode decode)
    {
        decode();
        bytes.Append(decoded);
    }
};

// ---------------------------------------------------------------------------
// Decoder

TmsCustomDecoder::TmsCustomDecoder(TStream& source)
{
    // An in-memory article is borrowed rather than copied: one copy less of
    // a multi-megabyte text, given back whole by the destructor.
    if (auto* memory = dynamic_cast<TMemoryStream*>(&source)) {
        lender_ = memory;
        lenderPosition_ = memory->Position();
        lines_.AssignBuffer(memory->TakeBuffer());
    } else {
        lines_.LoadFromStream(source);
    }
    lines_.Reset();
}

TmsCustomDecoder::~TmsCustomDecoder()
{
    if (lender_) {
        lender_->AssignBuffer(lines_.TakeBuffer());
        lender_->SetPosition(lenderPosition_);
    }
}

bool TmsCustomDecoder::ReadLine()
{
    return lines_.ReadLine(line_);
}

bool TmsCustomDecoder::ReadDataLine(PartDecoder& part)
{
    SkipDecodedLines(part.DecodeCleanLines(TextAhead()));
    return ReadLine();
}

bool TmsCustomDecoder::ReadUULine(DecodedBytes& bytes)
{
    SkipDecodedLines(DecodeCleanLinesInto(bytes, TextAhead(), DecodeFullLines));
    return ReadLine();
}

TmsCustomDecoder::DecodedBytes TmsCustomDecoder::BytesOf(TmsAttItem& item)
{
    if (sink_ && !sinkBuffer_)
        sinkBuffer_.reset(new char[kSinkBufferBytes]);
    return DecodedBytes(item.Stream, sink_, sinkBuffer_.get());
}

void TmsCustomDecoder::AddAttachment(std::unique_ptr<TmsAttItem> item, SinkAttachment& begun)
{
    begun.End(*item);
    message_->Attachments().Add(std::move(item));
}

void TmsCustomDecoder::AddAttachment(std::unique_ptr<TmsAttItem> item)
{
    SinkAttachment whole(sink_);
    AddAttachment(std::move(item), whole);
}

std::string_view TmsCustomDecoder::TextAhead()
{
    const std::string_view text = lines_.View();
    return text.substr(size_t(std::min<int64_t>(lines_.NextLineStart(), int64_t(text.size()))));
}

void TmsCustomDecoder::SkipDecodedLines(size_t taken)
{
    if (taken > 0)
        lines_.SkipTo(int64_t(lines_.View().size() - TextAhead().size() + taken));
}

void TmsCustomDecoder::ReadHeaders(TmsHeaders& headers)
{
    headers.Clear();
    while (ReadLine() && !line_.empty() && line_ != TLineStream::EndMarker)
        headers.Add(line_);
    if (line_ == TLineStream::EndMarker && !lines_.Eof())
        throw EMessageParserError("Unable to retrieve headers");
}

void TmsCustomDecoder::Execute()
{
    if (!message_)
        throw std::invalid_argument("TmsCustomDecoder: no message to decode into");
    // A header block that cannot be read ends in the recovery result like
    // any other parser failure instead of escaping to the caller.
    try {
        ReadHeaders(headers_);
    } catch (const EMessageParserError& error) {
        RecoverFromError(error.Message());
        return;
    }
    ApplyHeaders();
    try {
        if (Trim(headers_.GetFieldValue("MIME-VERSION")) == "1.0")
            DecodeMime();
        else
            DecodePlainText();
    } catch (const Exception& error) {
        // Codec failures in body text (an invalid base64 character, an
        // over-long quoted-printable paragraph) are recovered like parser
        // failures: the article is kept whole and loading goes on.
        RecoverFromError(error.Message());
    }
}

// ---- non-MIME articles

void TmsCustomDecoder::DecodePlainText()
{
    TStringList& body = message_->Body();
    while (ReadLine()) {
        if (IsBlockBeginLine(line_) && DecodeBlocks())
            message_->SetEncoding(meUU);
        if (!lines_.Eof())
            body.Add(line_);
    }
}

bool TmsCustomDecoder::DecodeBlocks()
{
    TmsAttList& attachments = message_->Attachments();
    bool uuencoded = false;
    do {
        if (IsYEncBeginLine(line_)) {
            DecodeYEncBlock();
            while (ReadLine() && !IsBlockBeginLine(line_)) { }
            continue;
        }
        uuencoded = true;
        DecodingAttachment([&] {
            auto item = std::make_unique<TmsAttItem>();
            std::string name = SafeFileName(GetUUFileName(line_));
            item->SetFileName(name.empty() ? NumberedName("att.", attachments) : name);
            SinkAttachment begun(sink_);
            begun.Begin(*item);
            DecodedBytes bytes = BytesOf(*item);
            const size_t reserved
                = bytes.ToSink() ? 0 : ReserveForEncoded(item->Stream, TextBytesUntil("\nend"));
            while (ReadUULine(bytes) && line_ != "`" && !SameText(line_, "END")) {
                if (!line_.empty()) {
                    DecodeUULine(line_, decoded_, RoomFor(line_));
                    bytes.Append(decoded_);
                }
            }
            bytes.Flush();
            if (!bytes.ToSink())
                ReleaseSpareRoom(item->Stream, reserved);
            AddAttachment(std::move(item), begun);
            while (ReadLine() && !IsBlockBeginLine(line_)) { }
        });
    } while (!lines_.Eof());
    return uuencoded;
}

// The data of a yEnc block is decoded in one piece from the text itself, not
// line by line; a block that does not check out is kept and marked damaged.
void TmsCustomDecoder::DecodeYEncBlock()
{
    TmsAttList& attachments = message_->Attachments();
    DecodingAttachment([&] {
        auto item = std::make_unique<TmsAttItem>();
        const std::string_view text = lines_.View();
        const size_t from = size_t(std::min<int64_t>(lines_.NextLineStart(), int64_t(text.size())));
        const YEncBlock block = lumigrab::DecodeYEncBlock(line_, text.substr(from), item->Stream);
        const std::string name = SafeFileName(block.name);
        item->SetFileName(name.empty() ? NumberedName("att.", attachments) : name);
        item->SetDamage(YEncDamage(block));
        AddAttachment(std::move(item));
        lines_.SkipTo(int64_t(from + block.consumed));
    });
}

// ---- MIME articles

void TmsCustomDecoder::DecodeMime()
{
    const std::string contentType = headers_.GetFieldValue("Content-type");
    const std::string lowerType = LowerCase(contentType);
    if (Contains(lowerType, "multipart/alternative")) {
        topAlternative_ = true;
        DecodeMultipart();
    } else if (Contains(lowerType, "multipart")) {
        DecodeMultipart();
    } else if (!lowerType.empty() && !Contains(lowerType, "text/")) {
        DecodeSingleAttachment();
    } else if (!GetParamValue("name", contentType).empty()) {
        DecodeSingleAttachment();
    } else {
        DecodeSingleText();
    }
}

size_t TmsCustomDecoder::TextBytesUntil(std::string_view delimiter)
{
    const std::string_view text = lines_.View();
    const size_t from = size_t(std::min<int64_t>(lines_.NextLineStart(), int64_t(text.size())));
    const size_t end = delimiter.empty() ? std::string_view::npos : FindAhead(delimiter, from);
    return (end == std::string_view::npos ? text.size() : end) - from;
}

size_t TmsCustomDecoder::FindAhead(std::string_view delimiter, size_t from)
{
    // A search from an earlier position answers for every later position up
    // to what it found: nothing lies between.
    const bool reusable = delimiter == aheadDelimiter_ && from >= aheadFrom_
        && (aheadFound_ == std::string_view::npos || aheadFound_ >= from);
    if (!reusable) {
        aheadDelimiter_.assign(delimiter);
        aheadFrom_ = from;
        aheadFound_ = FindText(lines_.View(), delimiter, from);
    }
    return aheadFound_;
}

void TmsCustomDecoder::DecodeSingleAttachment()
{
    TmsAttList& attachments = message_->Attachments();
    DecodingAttachment([&] {
        auto item = std::make_unique<TmsAttItem>();
        const std::string contentType = headers_.GetFieldValue("Content-type");
        const std::string mainType = ExtractMainValue(contentType);
        item->SetFileNameAndType(SafeFileName(GetParamValue("name", contentType)), mainType);
        PartDecoder part { *item, DataModeFor(headers_.GetFieldValue("Content-Transfer-Encoding")), decoded_,
            BytesOf(*item) };
        item->SetEncoding(AttEncodingFor(part.mode));
        if (item->FileName().empty()) {
            const TAttEncoding encoding = item->Encoding();
            std::string name
                = SafeFileName(GetParamValue("filename", headers_.GetFieldValue("Content-Disposition")));
            item->SetFileName(name.empty() ? NumberedName("att.", attachments) : name);
            item->SetEncoding(encoding);
            item->SetContentType(mainType);
        }
        SinkAttachment begun(sink_);
        begun.Begin(*item);
        if (!part.bytes.ToSink())
            part.Reserve(TextBytesUntil({}));
        while (ReadDataLine(part) && !part.EndsSingleAttachment(line_))
            part.Feed(line_);
        part.Finish();
        AddAttachment(std::move(item), begun);
    });
}

void TmsCustomDecoder::DecodeSingleText()
{
    const std::string mainType = LowerCase(ExtractMainValue(headers_.GetFieldValue("Content-Type")));
    if (mainType == "text/html" || mainType == "text/rtf")
        message_->SetContentType(mainType);
    TStringList& body = message_->Body();
    body.Clear();
    const DataMode mode = DataModeFor(headers_.GetFieldValue("Content-Transfer-Encoding"));
    const bool quoted = mode == DataMode::QuotedPrintable;
    const bool base64 = mode == DataMode::Base64;
    if (quoted)
        message_->SetCharSet(csISO8859);
    if (!base64) {
        while (ReadLine()) {
            body.Add(line_);
            if (IsBlockBeginLine(line_)) {
                RestartAsPlainText();
                return;
            }
        }
    }
    if (quoted) {
        DecodeBodyQuotedPrintable();
    } else if (base64) {
        TMemoryStream bytes;
        bytes.Reserve(TextBytesUntil({}) / 4 * 3);
        while (ReadLine()) {
            if (!line_.empty()) {
                DecodeBase64DataLine(line_, decoded_, RoomFor(line_));
                bytes.Write(decoded_.data(), decoded_.size());
            }
        }
        ReplaceBodyByBytes(bytes.View());
    }
}

void TmsCustomDecoder::RestartAsPlainText()
{
    lines_.Reset();
    message_->Body().Clear();
    ReadHeaders(headers_);
    ApplyHeaders();
    headers_.RemoveField("MIME-VERSION");
    headers_.RemoveField("CONTENT-TYPE");
    headers_.RemoveField("CONTENT-TRANSFER-ENCODING");
    DecodePlainText();
}

void TmsCustomDecoder::ReplaceBodyByBytes(std::string_view bytes)
{
    message_->Body().SetText(bytes);
}

void TmsCustomDecoder::DecodeBodyQuotedPrintable()
{
    TMemoryStream bytes;
    TQuotedPrintable codec(bytes, message_->Body());
    codec.Decode();
    ReplaceBodyByBytes(bytes.View());
}

// ---- multipart articles

void TmsCustomDecoder::DecodeMultipart()
{
    boundary_ = "--" + GetParamValue("Boundary", headers_.GetFieldValue("Content-Type"));
    while (ReadLine() && line_ != boundary_) { }
    if (lines_.Eof())
        throw EMessageParserError("Cannot find boundary");
    if (DecodeFirstPart())
        DecodeParts();
}

bool TmsCustomDecoder::DecodeFirstPart()
{
    ReadHeaders(partHeaders_);
    const std::string contentType = partHeaders_.GetFieldValue("Content-Type");
    inAlternative_ = Contains(LowerCase(contentType), "multipart/alternative");
    if (inAlternative_) {
        outerBoundary_ = boundary_;
        boundary_ = "--" + GetParamValue("boundary", contentType);
        while (ReadLine() && line_ != boundary_) { }
        if (lines_.Eof())
            throw EMessageParserError("Cannot find boundary");
        ReadHeaders(partHeaders_);
    }
    const DataMode mode = DataModeFor(partHeaders_.GetFieldValue("Content-Transfer-Encoding"));
    if (mode == DataMode::Base64) {
        firstPartPending_ = true;
        return true;
    }
    TStringList& body = message_->Body();
    body.Clear();
    const bool quoted = mode == DataMode::QuotedPrintable;
    if (quoted)
        message_->SetCharSet(csISO8859);
    // A part that is also the last one ends on the closing delimiter.
    while (ReadLine() && line_ != boundary_ && !IsClosingDelimiter(line_, boundary_))
        body.Add(line_);
    if (body.Empty())
        body.Add("");
    if (quoted)
        DecodeBodyQuotedPrintable();
    if (lines_.Eof())
        throw EMessageParserError("Cannot find boundary");
    if (!IsClosingDelimiter(line_, boundary_))
        return true;
    return inAlternative_ && LeaveAlternativeGroup();
}

bool TmsCustomDecoder::LeaveAlternativeGroup()
{
    inAlternative_ = false;
    boundary_ = outerBoundary_;
    while (ReadLine() && !line_.starts_with(boundary_)) { }
    if (lines_.Eof())
        throw EMessageParserError("Cannot find closing boundary");
    return !IsClosingDelimiter(line_, boundary_);
}

void TmsCustomDecoder::DecodeParts()
{
    bool morePartsFollow = true;
    while (morePartsFollow) {
        ProcessMessagesSometimes();
        if (!firstPartPending_)
            ReadHeaders(partHeaders_);
        firstPartPending_ = false;
        morePartsFollow = DecodeOnePart();
    }
}

bool TmsCustomDecoder::DecodeOnePart()
{
    return DecodingAttachment([&] {
        auto item = std::make_unique<TmsAttItem>();
        std::string contentType = partHeaders_.GetFieldValue("Content-type");
        if (contentType.empty())
            contentType = "text/plain";
        item->SetContentType(ExtractMainValue(contentType));
        item->SetFileName(SafeFileName(GetParamValue("name", contentType)));
        PartDecoder part { *item, DataModeFor(partHeaders_.GetFieldValue("Content-Transfer-Encoding")),
            decoded_, BytesOf(*item) };
        item->SetEncoding(AttEncodingFor(part.mode));
        if (item->FileName().empty())
            NameUnnamedPart(*item);
        SinkAttachment begun(sink_);
        begun.Begin(*item);
        if (!part.bytes.ToSink())
            part.Reserve(TextBytesUntil(boundary_));
        while (ReadDataLine(part) && !line_.starts_with(boundary_))
            part.Feed(line_);
        part.Finish();
        AddAttachment(std::move(item), begun);
        const bool done = lines_.Eof() || IsClosingDelimiter(line_, boundary_);
        if (done && inAlternative_)
            return LeaveAlternativeGroup();
        return !done;
    });
}

void TmsCustomDecoder::NameUnnamedPart(TmsAttItem& item)
{
    const TAttEncoding encoding = item.Encoding();
    item.SetFileName(
        SafeFileName(GetParamValue("filename", partHeaders_.GetFieldValue("Content-Disposition"))));
    item.SetEncoding(encoding);
    if (!item.FileName().empty())
        return;
    const std::string contentType = item.ContentType();
    const char* prefix = inAlternative_ || topAlternative_ ? "_alt." : "att.";
    item.SetFileName(NumberedName(prefix, message_->Attachments()));
    item.SetEncoding(encoding);
    if (!contentType.empty())
        item.SetContentType(contentType);
}

// ---- recovery

void TmsCustomDecoder::RecoverFromError(const std::string& errorText)
{
    TStringList& body = message_->Body();
    body.Add("The following error has been occured while processing the message:");
    body.Add(errorText);
    body.Add("The original message will be stored as an attachment");
    message_->SetDecodeError(errorText);
    try {
        auto item = std::make_unique<TmsAttItem>();
        item->SetFileName("original.eml");
        item->SetEncoding(ae7Bit);
        item->SetContentType("message/rfc822");
        const std::string_view source = lines_.View();
        item->Stream.Write(source.data(), source.size());
        AddAttachment(std::move(item));
    } catch (const std::exception&) {
        // Nothing more can be saved; the body already tells what happened.
    }
}

void TmsArticleDecoder::ApplyHeaders()
{
    dynamic_cast<TmsArticle&>(*message_).SetFromHeaders(headers_);
}

} // namespace lumigrab
