#include "message/msmsg.h"

#include <cstdio>

#include "message/articledecoder.h"
#include "message/articleencoder.h"
#include "message/msutils.h"

namespace lumigrab {

namespace {

std::string LowerBareName(const TmsAttItem& item)
{
    return LowerCase(BareFileName(item.FileName()));
}

bool AllAlternatives(const TmsAttList& attachments)
{
    for (int i = 0; i < attachments.Count(); ++i) {
        if (!LowerBareName(attachments.Items(i)).starts_with("_alt."))
            return false;
    }
    return attachments.Count() > 0;
}

} // namespace

TmsCustomMessage::TmsCustomMessage(TComponent* owner)
    : TComponent(owner)
{
}

TmsCustomMessage::~TmsCustomMessage()
{
    // A file that is missing or locked must not keep the others alive.
    for (const std::string& fileName : tempFiles_)
        std::remove(fileName.c_str());
}

void TmsCustomMessage::SetSubject(std::string_view subject)
{
    subject_ = subject.substr(0, MaxShortString);
}

void TmsCustomMessage::SetContentType(std::string_view contentType)
{
    contentType_ = LowerCase(contentType.substr(0, MaxShortString));
}

std::string TmsCustomMessage::ComputeContentType() const
{
    if (encoding_ == meUU)
        return "";
    const int count = attachments_.Count();
    if (AllAlternatives(attachments_))
        return "multipart/alternative";
    if (body_.Empty()) {
        if (count == 1) {
            const std::string name = LowerBareName(attachments_.Items(0));
            if (name == "_rtfbody.rtf")
                return "text/rtf";
            if (name == "_htmbody.htm")
                return "text/html";
            return attachments_.Items(0).ContentType();
        }
        return count > 1 ? "multipart/mixed" : "text/plain";
    }
    if (count > 0)
        return "multipart/mixed";
    return contentType_.empty() ? "text/plain" : contentType_;
}

const std::string& TmsCustomMessage::ContentType()
{
    contentType_ = ComputeContentType();
    return contentType_;
}

void TmsCustomMessage::SetAttachments(const TmsAttList& value)
{
    if (&value != &attachments_) {
        if (Designing()) {
            attachments_.Clear();
            for (int i = 0; i < value.Count(); ++i) {
                const TmsAttItem& source = value.Items(i);
                auto item = std::make_unique<TmsAttItem>();
                item->SetFileName(source.FileName());
                item->SetContentType(source.ContentType());
                item->SetEncoding(source.Encoding());
                attachments_.Add(std::move(item));
            }
        } else {
            attachments_.CopyFrom(value);
        }
    }
    contentType_ = attachments_.Count() > 0 ? "multipart/mixed" : "text/plain";
}

void TmsCustomMessage::Clear()
{
    body_.Clear();
    attachments_.Clear();
    sender_.Clear();
    headers_.Clear();
    subject_.clear();
    encoding_ = meMIME;
    charSet_ = csUSASCII;
    contentType_.clear();
    decodeError_.clear();
}

void TmsCustomMessage::Validate() const
{
    if (sender_.Address().empty())
        throw EMessageError("The address of sender is required");
}

std::string TmsCustomMessage::SaveAttachment(int index, const std::string& folder) const
{
    const TmsAttItem& item = attachments_.Items(index);
    return SaveNewFile(folder, item.FileName(), item.Stream.View());
}

void TmsCustomMessage::CopyFrom(const TPersistent& source)
{
    const auto& message = SourceAs<TmsCustomMessage>(source);
    if (&message == this)
        return;
    sender_.CopyFrom(message.sender_);
    subject_ = message.subject_;
    encoding_ = message.encoding_;
    charSet_ = message.charSet_;
    headers_.Assign(message.headers_);
    body_.Assign(message.body_);
    attachments_.CopyFrom(message.attachments_);
    contentType_ = message.ComputeContentType();
    decodeError_ = message.decodeError_;
    Tag = message.Tag;
}

void TmsCustomMessage::AfterLoad()
{
    TComponent::AfterLoad();
    if (Designing())
        return;
    for (int i = 0; i < attachments_.Count(); ++i) {
        TmsAttItem& item = attachments_.Items(i);
        item.Stream.LoadFromFile(item.FileName());
    }
}

void TmsArticle::Clear()
{
    NewsGroups.clear();
    TmsCustomMessage::Clear();
}

void TmsArticle::CopyFrom(const TPersistent& source)
{
    if (const auto* article = dynamic_cast<const TmsArticle*>(&source))
        NewsGroups = article->NewsGroups;
    TmsCustomMessage::CopyFrom(source);
}

void TmsArticle::Validate() const
{
    TmsCustomMessage::Validate();
    if (NewsGroups.empty())
        throw EMessageError("Newsgroup header is required");
    if (Subject().empty())
        throw EMessageError("Subject header is required");
}

void TmsArticle::SetFromHeaders(const TmsHeaders& headerList)
{
    ParseAddress(headerList.GetFieldValue("FROM"), Sender());
    Path = headerList.GetFieldValue("PATH");
    NewsGroups = headerList.GetFieldValue("NEWSGROUPS");
    MessageID = headerList.GetFieldValue("MESSAGE-ID");
    const std::string subject = headerList.GetFieldValue("Subject");
    if (!subject.empty())
        SetSubject(subject);
    SetHeaders(headerList);
}

void TmsArticle::LoadFromStream(TStream& stream)
{
    TmsArticleDecoder decoder(stream);
    decoder.SetMessage(this);
    decoder.Execute();
}

void TmsArticle::SaveToStream(TStream& stream)
{
    TmsArticleEncoder encoder(*this);
    encoder.SetStream(&stream);
    encoder.Execute();
}

} // namespace lumigrab
