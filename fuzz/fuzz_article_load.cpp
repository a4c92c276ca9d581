// Loads arbitrary bytes as a news article. The decoder must turn every
// malformed article into a recovery result; only the two codec errors it is
// documented to let through may leave LoadFromStream. Anything else escapes
// and crashes the run.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <typeinfo>

#include "base/classes.h"
#include "base/sysutils.h"
#include "message/msmsg.h"

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
    volatile size_t sink = TouchEverything(article);
    (void)sink;
    return 0;
}
