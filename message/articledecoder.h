// Article text -> message: the decoder that turns one news article into a
// message with body and attachments (articleencoder.h writes one back).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "base/classes.h"
#include "base/linestream.h"
#include "base/sysutils.h"
#include "message/msmsg.h"
#include "message/msmsgcls.h"

namespace lumigrab {

class EMessageParserError : public Exception {
public:
    using Exception::Exception;
};

// Takes the attachments of an article while it is decoded, so that a caller
// that writes them to files never holds a whole picture in memory. Every
// attachment the message receives passes through Begin, any number of
// Writes and End, in the message's order; base64, uuencoded and 7-bit
// bytes are written as they are decoded, everything else (yEnc,
// quoted-printable, the recovery's "original.eml") stays in the item's
// stream, which End finds holding the rest of the bytes. An attachment
// whose decoding fails gets Discard instead of End and never reaches the
// message. A failure raised here counts as a decoding failure; a sink that
// cannot keep bytes should note that itself and carry on.
class TmsAttachmentSink {
public:
    virtual ~TmsAttachmentSink() = default;
    // item is named and typed; no byte has come yet.
    virtual void Begin(const TmsAttItem& item) = 0;
    virtual void Write(std::string_view bytes) = 0;
    virtual void End(TmsAttItem& item) = 0;
    // Must not raise: it runs while a failure unwinds.
    virtual void Discard() noexcept = 0;
};

// Decodes plain text with uuencoded or yEnc blocks, single-part MIME and multipart
// MIME articles. Lives for one load; whatever goes wrong inside ends in a
// recovery result (error told in the body, source kept as "original.eml").
class TmsCustomDecoder {
public:
    // Takes the whole of source, from its first byte. A memory stream lends
    // its bytes for the decoder's lifetime (it looks empty meanwhile) and
    // gets them back, position included, when the decoder is destroyed;
    // other streams are copied.
    explicit TmsCustomDecoder(TStream& source);
    virtual ~TmsCustomDecoder();
    TmsCustomDecoder(const TmsCustomDecoder&) = delete;
    TmsCustomDecoder& operator=(const TmsCustomDecoder&) = delete;

    void SetMessage(TmsCustomMessage* message) { message_ = message; }
    TmsCustomMessage* Message() const { return message_; }
    // Hands the attachments to sink as they are decoded (null: into their
    // streams, whole). The sink belongs to the caller.
    void SetAttachmentSink(TmsAttachmentSink* sink) { sink_ = sink; }

    void Execute();

protected:
    // Hands the article's header block (headers_) to message_.
    virtual void ApplyHeaders() = 0;

    TmsHeaders headers_;
    TmsCustomMessage* message_ = nullptr;

private:
    struct PartDecoder;
    class DecodedBytes;
    class SinkAttachment;

    TmsAttachmentSink* sink_ = nullptr;
    // Reused for every attachment that goes to the sink.
    std::unique_ptr<char[]> sinkBuffer_;

    TLineStream lines_;
    TmsHeaders partHeaders_;
    std::string boundary_;
    bool inAlternative_ = false;
    std::string outerBoundary_;
    bool topAlternative_ = false;

    bool ReadLine();
    // Reads the next line of a part's data. Base64 lines that decode
    // without tolerance and full uuencoded lines, nearly all of them, go
    // straight into the part's stream first, many at a time.
    bool ReadDataLine(PartDecoder& part);
    // The same for the lines of a uuencoded block: full lines go straight
    // into stream first.
    bool ReadUULine(DecodedBytes& bytes);
    // Where item's decoded bytes go: the sink, when there is one.
    DecodedBytes BytesOf(TmsAttItem& item);
    // Adds a finished attachment to the message, through the sink.
    void AddAttachment(std::unique_ptr<TmsAttItem> item, SinkAttachment& begun);
    void AddAttachment(std::unique_ptr<TmsAttItem> item);
    // The text from the next line on.
    std::string_view TextAhead();
    // Goes on after taken bytes of TextAhead, decoded in one pass.
    void SkipDecodedLines(size_t taken);
    void ReadHeaders(TmsHeaders& headers);
    void DecodePlainText();
    // Decodes the blocks from the current line on; returns whether one was
    // uuencoded.
    bool DecodeBlocks();
    void DecodeYEncBlock();
    void DecodeMime();
    void DecodeSingleAttachment();
    void DecodeSingleText();
    void RestartAsPlainText();
    void DecodeMultipart();
    // Each returns whether further parts follow.
    bool DecodeFirstPart();
    bool LeaveAlternativeGroup();
    bool DecodeOnePart();
    void DecodeParts();
    void NameUnnamedPart(TmsAttItem& item);
    void DecodeBodyQuotedPrintable();
    void ReplaceBodyByBytes(std::string_view bytes);
    void RecoverFromError(const std::string& errorText);
    // Text bytes from the read position to delimiter (or to the end): the
    // size hint for an attachment's stream.
    size_t TextBytesUntil(std::string_view delimiter);
    size_t FindAhead(std::string_view delimiter, size_t from);

    // The last look-ahead, so that many small blocks before one distant
    // (or missing) delimiter do not search the same text again each time.
    std::string aheadDelimiter_;
    size_t aheadFrom_ = 0;
    size_t aheadFound_ = 0;

    std::string line_;
    std::string decoded_;
    // A base64 first part whose header block is already read.
    bool firstPartPending_ = false;
    TMemoryStream* lender_ = nullptr;
    int64_t lenderPosition_ = 0;
};

class TmsArticleDecoder : public TmsCustomDecoder {
public:
    using TmsCustomDecoder::TmsCustomDecoder;

protected:
    // Raises std::bad_cast when the message is not a TmsArticle.
    void ApplyHeaders() override;
};

} // namespace lumigrab
