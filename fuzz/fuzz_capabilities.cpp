// A CAPABILITIES answer as a server sends it: the reply line, then its data
// block. What it offers is one of the two overview guesses and never an
// overview format; LISTGROUP ranges need a server of version 2, and a server
// that lists READER needs no MODE READER. Keywords are read in any case, so
// the answer in capitals offers the same.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/sysutils.h"
#include "fuzz_check.h"
#include "news/nntpsession.h"

using lumigrab::TAnswer;
using lumigrab::TOverviewSupport;
using lumigrab::TServerOffer;
using lumigrab_fuzz::Check;

namespace {

bool SameOffer(const TServerOffer& a, const TServerOffer& b)
{
    return a.overview == b.overview && a.pipelining == b.pipelining
        && a.listsOverviewFormat == b.listsOverviewFormat && a.listGroupRanges == b.listGroupRanges
        && a.offersReaderMode == b.offersReaderMode;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const size_t end = text.find('\n');
    TAnswer answer { std::string(text.substr(0, end)), {} };
    if (end != std::string_view::npos)
        answer.data = std::string(text.substr(end + 1));
    const TServerOffer offer = lumigrab::OfferOfCapabilities(answer);
    Check(offer.overview == TOverviewSupport::TryOver || offer.overview == TOverviewSupport::TryXOver);
    Check(!offer.overviewFormat);
    Check(!offer.listGroupRanges || offer.pipelining);
    Check(!(offer.listGroupRanges && offer.offersReaderMode));
    if (!answer.reply.starts_with("101")) {
        TServerOffer nothing;
        nothing.overview = TOverviewSupport::TryXOver;
        Check(SameOffer(offer, nothing));
    }
    const TAnswer capitals { lumigrab::UpperCase(answer.reply), lumigrab::UpperCase(answer.data) };
    Check(SameOffer(lumigrab::OfferOfCapabilities(capitals), offer));
    return 0;
}
