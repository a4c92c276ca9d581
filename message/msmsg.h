// A mail message and its Usenet form, the news article.
//
// A message holds sender, subject, raw header lines, body text and
// attachments, and derives its MIME content type from what it holds. The
// article adds newsgroups, message id and path, and reads and writes
// itself as article text through the decoder (articledecoder.h) and the
// composer (articleencoder.h).
#pragma once

#include <string>
#include <string_view>

#include "base/classes.h"
#include "base/filenames.h"
#include "base/sysutils.h"
#include "message/msmsgcls.h"

namespace lumigrab {

class EMessageError : public Exception {
public:
    using Exception::Exception;
};

class TmsCustomMessage : public TComponent {
public:
    explicit TmsCustomMessage(TComponent* owner = nullptr);
    ~TmsCustomMessage() override;
    TmsCustomMessage(const TmsCustomMessage&) = delete;
    TmsCustomMessage& operator=(const TmsCustomMessage&) = delete;

    const char* ClassName() const override { return "TmsCustomMessage"; }

    TmsMailAddress& Sender() { return sender_; }
    const TmsMailAddress& Sender() const { return sender_; }

    const std::string& Subject() const { return subject_; }
    // Cut to 255 characters.
    void SetSubject(std::string_view subject);

    TMsgEncoding Encoding() const { return encoding_; }
    void SetEncoding(TMsgEncoding encoding) { encoding_ = encoding; }

    TCharSet CharSet() const { return charSet_; }
    void SetCharSet(TCharSet charSet) { charSet_ = charSet; }

    TmsHeaders& Headers() { return headers_; }
    const TmsHeaders& Headers() const { return headers_; }
    void SetHeaders(const TStringList& lines) { headers_.Assign(lines); }

    // The error that decoding ended in: the recovery result, with the error
    // told at the end of Body and the source kept as "original.eml". Empty
    // when the text decoded as it should.
    const std::string& DecodeError() const { return decodeError_; }
    void SetDecodeError(std::string_view error) { decodeError_ = error; }

    TStringList& Body() { return body_; }
    const TStringList& Body() const { return body_; }
    void SetBody(const TStringList& lines) { body_.Assign(lines); }

    TmsAttList& Attachments() { return attachments_; }
    const TmsAttList& Attachments() const { return attachments_; }
    // Replaces the attachments. At design time only names, types and
    // encodings are taken (the bytes come from the files on AfterLoad); at
    // run time the items are deep-copied, bytes included, so every item is
    // owned by exactly one list.
    void SetAttachments(const TmsAttList& value);

    // The content type this message carries, derived from its encoding,
    // body and attachments; also becomes the stored type.
    const std::string& ContentType();
    // The content type derived without storing it.
    std::string ComputeContentType() const;
    // Stores the type lower-cased, cut to 255 characters.
    void SetContentType(std::string_view contentType);
    const std::string& StoredContentType() const { return contentType_; }

    // Files deleted when the message is destroyed.
    TStringList& TempFiles() { return tempFiles_; }

    virtual void Validate() const;
    virtual void SaveToStream(TStream& stream) = 0;
    virtual void LoadFromStream(TStream& stream) = 0;
    virtual void Clear();
    virtual void SetFromHeaders(const TmsHeaders& headerList) = 0;

    // Writes attachment index into a new file in folder and returns its
    // path. The file name follows the policy of base/filenames.h: the bare,
    // safe name of the attachment, numbered when it is taken; no existing
    // file is replaced and no link followed.
    std::string SaveAttachment(int index, const std::string& folder) const;

    void CopyFrom(const TPersistent& source) override;
    void AfterLoad() override;

private:
    TmsMailAddress sender_;
    std::string subject_;
    TMsgEncoding encoding_ = meMIME;
    TCharSet charSet_ = csUSASCII;
    TmsHeaders headers_;
    TStringList body_;
    TmsAttList attachments_;
    std::string contentType_ = "text/plain";
    TStringList tempFiles_;
    std::string decodeError_;
};

class TmsArticle : public TmsCustomMessage {
public:
    using TmsCustomMessage::TmsCustomMessage;

    std::string NewsGroups;
    std::string MessageID;
    std::string Path;

    const char* ClassName() const override { return "TmsArticle"; }

    void Validate() const override;
    // Decodes article text; expects an empty article (call Clear first).
    void LoadFromStream(TStream& stream) override;
    void SaveToStream(TStream& stream) override;
    void Clear() override;
    void SetFromHeaders(const TmsHeaders& headerList) override;
    void CopyFrom(const TPersistent& source) override;
};

} // namespace lumigrab
