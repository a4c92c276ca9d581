// Loads arbitrary bytes as a news article. The decoder must turn every
// malformed article into a recovery result; only the two codec errors it is
// documented to let through may leave LoadFromStream. Anything else escapes
// and crashes the run. Decoded again with an attachment sink, the article
// must hand the sink exactly the attachments the message holds.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "base/classes.h"
#include "base/sysutils.h"
#include "fuzz/fuzz_check.h"
#include "message/msmsg.h"
#include "message/articledecoder.h"

namespace {

using namespace lumigrab;

bool IsPassedThroughCodecError(const Exception& error)
{
    if (typeid(error) == typeid(EInOutError))
        return error.Message() == "Invalid Character";
    return typeid(error) == typeid(Exception) && error.Message() == "Paragraph is too large";
}

// Reads every byte the article holds, so the sanitizers see each buffer.
size_t TouchEverything(TmsArticle& article)
{
    size_t sum = article.ContentType().size() + article.Subject().size();
    for (const std::string& line : article.Body())
        sum += line.size();
    for (int i = 0; i < article.Attachments().Count(); ++i) {
        const TmsAttItem& item = article.Attachments().Items(i);
        sum += item.FileName().size() + item.ContentType().size() + BareFileName(item.FileName()).size();
        for (char byte : item.Stream.View())
            sum += static_cast<unsigned char>(byte);
    }
    return sum;
}

// Collects the attachments that end, and checks the order of the calls.
class CollectingSink : public TmsAttachmentSink {
public:
    std::vector<std::string> ended;

    void Begin(const TmsAttItem&) override
    {
        lumigrab_fuzz::Check(!open_);
        open_ = true;
        bytes_.clear();
    }
    void Write(std::string_view bytes) override
    {
        lumigrab_fuzz::Check(open_);
        bytes_ += bytes;
    }
    void End(TmsAttItem& item) override
    {
        lumigrab_fuzz::Check(open_);
        open_ = false;
        ended.push_back(bytes_ + std::string(item.Stream.View()));
    }
    void Discard() noexcept override
    {
        lumigrab_fuzz::Check(open_);
        open_ = false;
    }
    bool Open() const { return open_; }

private:
    bool open_ = false;
    std::string bytes_;
};

void CheckSinkAgrees(std::string_view text, const TmsArticle& whole)
{
    TMemoryStream source;
    source.Assign(text);
    TmsArticle streamed;
    streamed.Clear();
    CollectingSink sink;
    try {
        TmsArticleDecoder decoder(source);
        decoder.SetMessage(&streamed);
        decoder.SetAttachmentSink(&sink);
        decoder.Execute();
    } catch (const Exception& error) {
        if (!IsPassedThroughCodecError(error))
            throw;
    }
    lumigrab_fuzz::Check(!sink.Open());
    const TmsAttList& expected = whole.Attachments();
    lumigrab_fuzz::Check(sink.ended.size() == size_t(expected.Count()));
    for (int i = 0; i < expected.Count(); ++i)
        lumigrab_fuzz::Check(sink.ended[size_t(i)] == expected.Items(i).Stream.View());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TMemoryStream source;
    source.Assign(std::string(reinterpret_cast<const char*>(data), size));
    TmsArticle article;
    article.Clear();
    try {
        article.LoadFromStream(source);
    } catch (const Exception& error) {
        if (!IsPassedThroughCodecError(error))
            throw;
    }
    volatile size_t sum = TouchEverything(article);
    (void)sum;
    CheckSinkAgrees(std::string_view(reinterpret_cast<const char*>(data), size), article);
    return 0;
}
