// Message -> article text: the composer that writes a message as a news
// article (articledecoder.h reads one).
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "base/classes.h"
#include "message/msmsg.h"
#include "message/msmsgcls.h"

namespace lumigrab {

// Writes a message as article text: headers, then plain text, one
// attachment, multipart/mixed or multipart/alternative, or uuencoded
// blocks. Construction doubles lone "." body lines in the message itself.
class TmsCustomEncoder {
public:
    explicit TmsCustomEncoder(TmsCustomMessage& message);
    virtual ~TmsCustomEncoder();
    TmsCustomEncoder(const TmsCustomEncoder&) = delete;
    TmsCustomEncoder& operator=(const TmsCustomEncoder&) = delete;

    void SetStream(TStream* stream) { stream_ = stream; }
    TStream* Stream() const { return stream_; }

    void Execute();

protected:
    virtual void WriteHeaders() = 0;
    // The whole text, zero bytes included, then CR LF.
    void WriteLine(std::string_view text);
    void WriteTextLines(const TStringList& lines);

    TmsCustomMessage& message_;
    TStream* stream_ = nullptr;

private:
    bool longLines_ = false;

    void WriteUUBody();
    void WriteMimeBody();
    void WritePlainText(std::string_view textType);
    void WriteTextPartHeaders(std::string_view textType);
    // The body, quoted-printable when it is Latin-1 or has long lines.
    void WriteBodyLines();
    void WriteSingleAttachment();
    void WriteMultipart(bool alternative);
    void WriteAttachmentData(TmsAttItem& item);
    // One encoded line per groupSize bytes; a final short (possibly empty)
    // group ends the data.
    template <typename Encode> void WriteGroups(std::string_view bytes, size_t groupSize, Encode encode);
    // A boundary whose delimiter occurs in none of the text that is written
    // as it stands.
    std::string NewBoundary(std::string_view outerBoundary = {}) const;
    bool TextHoldsDelimiter(std::string_view delimiter) const;
};

class TmsArticleEncoder : public TmsCustomEncoder {
public:
    explicit TmsArticleEncoder(TmsArticle& article);

protected:
    void WriteHeaders() override;

private:
    void RemoveOwnFields();
    TmsArticle& article_;
};

// Eight random digits, each from 0 to 8.
std::string MakeBoundary();

// Draws boundaries until one whose delimiter ("--" + boundary) is not in
// use and that does not begin with outerBoundary.
std::string DrawBoundary(const std::function<std::string()>& draw,
    const std::function<bool(std::string_view)>& delimiterInUse, std::string_view outerBoundary = {});

} // namespace lumigrab
