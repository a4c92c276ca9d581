#include "message/articleencoder.h"

#include <algorithm>
#include <random>
#include <stdexcept>

#include "base/filenames.h"
#include "mime/msmime.h"
#include "mime/msuucode.h"

namespace lumigrab {

namespace {

constexpr size_t kBase64Group = 57;
constexpr size_t kUUGroup = 45;

std::string LowerBare(const TmsAttItem& item)
{
    return LowerCase(BareFileName(item.FileName()));
}

std::string QuotedParam(std::string_view name, std::string_view value)
{
    std::string text(name);
    text += "=\"";
    text += value;
    text += '"';
    return text;
}

std::string TransferEncodingLine(const TmsAttItem& item)
{
    return "Content-Transfer-Encoding: " + std::string(EncodingNames[item.Encoding()]);
}

} // namespace

std::string MakeBoundary()
{
    static thread_local std::mt19937 generator { std::random_device {}() };
    std::uniform_int_distribution<int> digit(0, 8);
    std::string boundary(8, '0');
    for (char& c : boundary)
        c = char('0' + digit(generator));
    return boundary;
}

TmsCustomEncoder::TmsCustomEncoder(TmsCustomMessage& message)
    : message_(message)
{
    for (int i = 0; i < message_.Body().Count(); ++i) {
        std::string& line = message_.Body()[i];
        if (line.size() >= 256)
            longLines_ = true;
        if (line == ".")
            line = "..";
    }
}

TmsCustomEncoder::~TmsCustomEncoder() = default;

template <typename Encode>
void TmsCustomEncoder::WriteGroups(std::string_view bytes, size_t groupSize, Encode encode)
{
    std::string line;
    for (size_t offset = 0;; offset += groupSize) {
        const std::string_view group = bytes.substr(std::min(offset, bytes.size()), groupSize);
        encode(group, line);
        WriteLine(line);
        if (group.size() < groupSize)
            break;
    }
}

void TmsCustomEncoder::WriteLine(std::string_view text)
{
    // Zero bytes are written like any other: cutting the line there would
    // silently drop the rest of it.
    stream_->WriteBuffer(text.data(), text.size());
    stream_->WriteBuffer("\r\n", 2);
}

void TmsCustomEncoder::Execute()
{
    if (!stream_)
        throw std::invalid_argument("TmsCustomEncoder: no target stream");
    stream_->SetPosition(0);
    WriteHeaders();
    if (message_.Encoding() == meUU)
        WriteUUBody();
    else
        WriteMimeBody();
    // Whatever a reused target held beyond the new article is not part of it.
    if (auto* memory = dynamic_cast<TMemoryStream*>(stream_))
        memory->SetSize(memory->Position());
}

void TmsCustomEncoder::WriteMimeBody()
{
    const std::string contentType = message_.ContentType();
    if (message_.Attachments().Count() == 0) {
        // Only a type stored from outside gets here with body lines and
        // nothing to attach: the body is the text, of that type if textual.
        WritePlainText(contentType.starts_with("text/") ? contentType : "text/plain");
    } else if (contentType == "multipart/mixed") {
        WriteMultipart(false);
    } else if (contentType == "multipart/alternative") {
        WriteMultipart(true);
    } else {
        WriteSingleAttachment();
    }
}

void TmsCustomEncoder::WriteTextPartHeaders(std::string_view textType)
{
    const bool latin1 = message_.CharSet() == csISO8859;
    WriteLine("Content-Type: " + std::string(textType) + "; "
        + QuotedParam("charset", latin1 ? "iso-8859-1" : "us-ascii"));
    WriteLine(latin1 || longLines_ ? "Content-Transfer-Encoding: quoted-printable"
                                   : "Content-Transfer-Encoding: 7bit");
}

void TmsCustomEncoder::WriteBodyLines()
{
    if (message_.CharSet() != csISO8859 && !longLines_) {
        WriteTextLines(message_.Body());
        return;
    }
    TMemoryStream text;
    text.Assign(message_.Body().Text());
    TStringList encoded;
    TQuotedPrintable codec(text, encoded);
    codec.Encode();
    WriteTextLines(encoded);
}

void TmsCustomEncoder::WriteTextLines(const TStringList& lines)
{
    for (const std::string& line : lines)
        WriteLine(line);
}

void TmsCustomEncoder::WritePlainText(std::string_view textType)
{
    WriteTextPartHeaders(textType);
    WriteLine("");
    WriteBodyLines();
}

void TmsCustomEncoder::WriteAttachmentData(TmsAttItem& item)
{
    const std::string_view bytes = item.Stream.View();
    switch (item.Encoding()) {
    case aeBase64:
        WriteGroups(bytes, kBase64Group,
            [](std::string_view group, std::string& line) { EncodeBase64(group, line); });
        break;
    case aeQuotedPrintable: {
        TStringList encoded;
        item.Stream.SetPosition(0);
        TQuotedPrintable codec(item.Stream, encoded);
        codec.Encode();
        WriteTextLines(encoded);
        break;
    }
    case ae7Bit: {
        TStringList lines;
        lines.SetText(bytes);
        WriteTextLines(lines);
        break;
    }
    }
}

void TmsCustomEncoder::WriteSingleAttachment()
{
    const TmsAttList& attachments = message_.Attachments();
    TmsAttItem& item = message_.Attachments().Items(0);
    const std::string bare(BareFileName(item.FileName()));
    const bool html = attachments.Count() == 1 && LowerCase(bare) == "_htmbody.htm";
    const bool rtf = attachments.Count() == 1 && LowerCase(bare) == "_rtfbody.rtf";
    if (html)
        WriteLine("Content-Type: text/html");
    else if (rtf)
        WriteLine("Content-Type: text/rtf");
    else
        WriteLine("Content-Type: " + item.ContentType() + "; " + QuotedParam("name", bare));
    WriteLine(TransferEncodingLine(item));
    if (!html && !rtf)
        WriteLine("Content-Disposition: attachment; " + QuotedParam("filename", bare));
    WriteLine("");
    WriteAttachmentData(item);
}

void TmsCustomEncoder::WriteMultipart(bool alternative)
{
    TmsAttList& attachments = message_.Attachments();
    const bool bodyEmpty = message_.Body().Empty();
    bool htmlFirst = bodyEmpty && LowerBare(attachments.Items(0)) == "_htmbody.htm";
    bool rtfFirst = bodyEmpty && LowerBare(attachments.Items(0)) == "_rtfbody.rtf";

    std::string boundary = NewBoundary();
    WriteLine("Content-Type: " + message_.ContentType() + "; " + QuotedParam("boundary", boundary));
    WriteLine("");
    WriteLine("This is a multipart message in MIME format");
    WriteLine("");
    WriteLine("--" + boundary);

    bool altGroup = LowerBare(attachments.Items(0)).starts_with("_alt.");
    std::string outerBoundary;
    if (altGroup && !alternative) {
        outerBoundary = boundary;
        boundary = NewBoundary(outerBoundary);
        WriteLine("Content-Type:  multipart/alternative; " + QuotedParam("boundary", boundary));
        WriteLine("Content-Transfer-Encoding: 7bit");
        WriteLine("");
        WriteLine("--" + boundary);
    }
    if (!bodyEmpty) {
        WriteTextPartHeaders("text/plain");
        WriteLine("");
        WriteBodyLines();
        WriteLine("");
        WriteLine("--" + boundary);
    }
    for (int i = 0; i < attachments.Count(); ++i) {
        TmsAttItem& item = attachments.Items(i);
        if (i > 0) {
            WriteLine("");
            WriteLine("--" + boundary);
            htmlFirst = rtfFirst = false;
        }
        const bool bare = alternative || altGroup || htmlFirst || rtfFirst;
        const std::string name(BareFileName(item.FileName()));
        WriteLine("Content-Type: " + item.ContentType() + (bare ? "" : "; " + QuotedParam("name", name)));
        WriteLine(TransferEncodingLine(item));
        if (!bare)
            WriteLine("Content-Disposition: attachment; " + QuotedParam("filename", name));
        WriteLine("");
        WriteAttachmentData(item);
        WriteLine("");
        if (i == attachments.Count() - 1) {
            WriteLine("--" + boundary + "--");
        } else if (altGroup && !LowerBare(attachments.Items(i + 1)).starts_with("_alt.")) {
            altGroup = false;
            WriteLine("--" + boundary + "--");
            boundary = outerBoundary;
        }
    }
}

void TmsCustomEncoder::WriteUUBody()
{
    WriteLine("");
    WriteTextLines(message_.Body());
    TmsAttList& attachments = message_.Attachments();
    for (int i = 0; i < attachments.Count(); ++i) {
        TmsAttItem& item = attachments.Items(i);
        WriteLine("");
        WriteLine("begin 600 " + std::string(BareFileName(item.FileName())));
        WriteGroups(item.Stream.View(), kUUGroup,
            [](std::string_view group, std::string& line) { EncodeUULine(group, line); });
        WriteLine("`");
        WriteLine("end");
    }
}

bool TmsCustomEncoder::TextHoldsDelimiter(std::string_view delimiter) const
{
    for (const std::string& line : message_.Body()) {
        if (line.find(delimiter) != std::string::npos)
            return true;
    }
    const TmsAttList& attachments = message_.Attachments();
    for (int i = 0; i < attachments.Count(); ++i) {
        const TmsAttItem& item = attachments.Items(i);
        if (item.Encoding() != aeBase64 && item.Stream.View().find(delimiter) != std::string_view::npos)
            return true;
    }
    return false;
}

std::string TmsCustomEncoder::NewBoundary(std::string_view outerBoundary) const
{
    return DrawBoundary(
        MakeBoundary, [this](std::string_view delimiter) { return TextHoldsDelimiter(delimiter); },
        outerBoundary);
}

std::string DrawBoundary(const std::function<std::string()>& draw,
    const std::function<bool(std::string_view)>& delimiterInUse, std::string_view outerBoundary)
{
    // A delimiter that also occurs in the text would end a part early on
    // reading, and one that begins with the outer boundary would end the
    // enclosing list; draw again in those cases.
    for (;;) {
        std::string boundary = draw();
        if (!outerBoundary.empty() && boundary.starts_with(outerBoundary))
            continue;
        if (!delimiterInUse("--" + boundary))
            return boundary;
    }
}

TmsArticleEncoder::TmsArticleEncoder(TmsArticle& article)
    : TmsCustomEncoder(article)
    , article_(article)
{
}

void TmsArticleEncoder::WriteHeaders()
{
    const TmsMailAddress& sender = article_.Sender();
    WriteLine(("From:     " + sender.Name() + " <" + sender.Address() + ">").substr(0, MaxShortString));
    WriteLine("Newsgroups: " + article_.NewsGroups);
    RemoveOwnFields();
    WriteTextLines(article_.Headers());
    if (!article_.Subject().empty())
        WriteLine(("Subject:  " + article_.Subject()).substr(0, MaxShortString));
    if (article_.Encoding() == meMIME)
        WriteLine("Mime-Version: 1.0");
}

void TmsArticleEncoder::RemoveOwnFields()
{
    static constexpr std::string_view kOwnFields[] = { "From", "To", "CC", "BCC", "Return-Receipt-To",
        "X-Priority", "Subject", "Mime-Version", "Content-Type", "X-Encoding", "Content-Transfer-Encoding" };
    TmsHeaders& headers = article_.Headers();
    for (std::string_view field : kOwnFields)
        headers.RemoveField(field);
}

} // namespace lumigrab
