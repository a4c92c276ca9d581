// Shared by the tests against the INN2 test server that the CTest fixture
// (tests/news/inn) starts: finding it, a client set up for it, and the
// pictures its groups must give (LUMIGRAB_INN_DIR/expected/<group>).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "message/msmsg.h"
#include "news/msnntp.h"
#include "nntp_test_support.h"
#include "transport/ktwsock.h"

namespace lumigrab::testing {

inline std::string Environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

inline std::vector<std::string> FileLines(const std::filesystem::path& file)
{
    std::vector<std::string> lines;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// A news client for the INN2 test server. The fixture passes the server's
// folder and ports through the environment; without them the test is
// skipped, or fails under LUMIGRAB_REQUIRE_INN=1.
class InnClientTest : public ::testing::Test {
protected:
    std::filesystem::path innDir = Environment("LUMIGRAB_INN_DIR");
    std::string port;
    TmsArticle article;
    TmsNNTP client;
    std::vector<std::string> errors;

    // server names the server in messages; needed lists files of the
    // server's folder that must be there besides "ready". Callers return
    // when Stopped() says so afterwards.
    void SetUpClient(
        const char* portVariable, const char* server, std::initializer_list<const char*> needed = {})
    {
        port = Environment(portVariable);
        RequireServer(innDir, port, server, needed);
        if (Stopped())
            return;
        client.SetWinsockLoaded(true);
        client.TimeOut = 30;
        client.SetArticle(&article);
        client.OnError = [this](TObject*, std::string& msg) { errors.push_back(msg); };
    }

    // Skips the test when the server of folder dir and that port is not
    // running, or fails it under LUMIGRAB_REQUIRE_INN=1.
    static void RequireServer(const std::filesystem::path& dir, const std::string& serverPort,
        const char* server, std::initializer_list<const char*> needed = {})
    {
        bool ready = !serverPort.empty() && !dir.empty() && std::filesystem::exists(dir / "ready");
        for (const char* file : needed)
            ready = ready && std::filesystem::exists(dir / file);
        if (ready)
            return;
        if (Environment("LUMIGRAB_REQUIRE_INN") == "1")
            FAIL() << "the " << server << " is not running (LUMIGRAB_REQUIRE_INN=1)";
        GTEST_SKIP() << "no " << server << " (run the tests through ctest with INN2 installed)";
    }

    bool Stopped() const { return IsSkipped() || HasFatalFailure(); }

    void TearDown() override { Winsock().SetHostResolver({}); }

    // The TLS server's certificate is for news.lumigrab.test: until the
    // test ends, names there reach it on address.
    static void ResolveTestNamesTo(const char* address)
    {
        Winsock().SetHostResolver([address](const std::string& name) {
            return name.ends_with(".lumigrab.test") ? THostLookup { 0, Winsock().inet_addr(address) }
                                                    : THostLookup { WSAHOST_NOT_FOUND, 0 };
        });
    }

    // Where the expected pictures are listed: innDir's, or another
    // instance's.
    std::filesystem::path expectedDir = innDir / "expected";

    std::filesystem::path Expected(const std::string& group) const { return expectedDir / group; }

    // The lines of the group's list beside its expected pictures: ".list"
    // the pictures in the order kept, ".damaged", ".incomplete", ...
    std::vector<std::string> ExpectedOrder(const std::string& group, const char* suffix = ".list") const
    {
        return FileLines(Expected(group).concat(suffix));
    }

    // Every expected picture is in folder with its exact bytes, and
    // nothing else is but the harvest's index.
    void ExpectExactlyThePictures(const std::filesystem::path& folder, const std::string& group) const
    {
        const std::filesystem::path expected = Expected(group);
        const std::vector<std::string> names = FolderEntries(expected);
        EXPECT_EQ(FolderEntries(folder), WithHarvestIndex(names));
        for (const std::string& name : names)
            EXPECT_EQ(ReadFileBytes(folder / name), ReadFileBytes(expected / name)) << name;
    }
};

} // namespace lumigrab::testing
