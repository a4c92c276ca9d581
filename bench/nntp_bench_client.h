// The client set-up the news benchmarks share: the server that the
// comparison scripts start (LUMIGRAB_NNTP_PORT on 127.0.0.1) and the
// groups they post.
#pragma once

#include <QCoreApplication>

#include <cstdlib>
#include <string>

#include "message/msmsg.h"
#include "news/msnntp.h"

namespace lumigrab::bench {

inline const char* const SmallGroup = "lumigrab.bench.small";
inline const char* const PictureGroup = "lumigrab.bench.pictures";

inline std::string ServerAddress()
{
    const char* port = std::getenv("LUMIGRAB_NNTP_PORT");
    return std::string("127.0.0.1:") + (port ? port : "119");
}

// The client's waits run the Qt event loop, which needs an application.
inline QCoreApplication& Application()
{
    static int argc = 1;
    static char name[] = "nntp_bench";
    static char* argv[] = { name, nullptr };
    static QCoreApplication application(argc, argv);
    return application;
}

inline void PrepareClient(TmsNNTP& client, TmsArticle& article, bool useOverview = false)
{
    Application();
    client.SetWinsockLoaded(true);
    client.Server = ServerAddress();
    client.TimeOut = 60;
    client.SetArticle(&article);
    client.UseOverview = useOverview;
}

} // namespace lumigrab::bench
