// lumigrab-decode: decodes one saved news article into its attachments.
//
//     lumigrab-decode [--body] ARTICLE_FILE [FOLDER]
//     lumigrab-decode --help | --version
//
// Every attachment is written into a new file in FOLDER (default: the
// current folder) and reported as "name<TAB>content type<TAB>size". Names
// follow base/filenames.h: no file already there is replaced, a taken name
// is numbered ("a.jpg" -> "a-1.jpg"). Control characters are never printed
// raw; they appear as \xHH. A damaged attachment (a yEnc block cut off,
// or of another size or CRC-32 than it announced) is written all the same
// and reported on standard error with what did not match. An attachment
// that decodes to nothing (a base64 part without one character of its
// alphabet) gives no file and is reported there too. Exit status: 0 when
// the article was read (a recovery result and damaged attachments count),
// 1 when the article cannot be read or decoded, FOLDER cannot be written
// into, an attachment cannot be written, or the article's attachments all
// decode to nothing, 2 on wrong usage. --help and --version print on
// standard output and exit with 0.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/classes.h"
#include "base/filenames.h"
#include "base/sysutils.h"
#include "message/msmsg.h"
#include "message/articledecoder.h"

namespace lumigrab {
namespace {

constexpr int ExitOk = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

constexpr const char* ProgramName = "lumigrab-decode";

void ReportError(std::string_view text)
{
    std::fprintf(stderr, "%s: %s\n", ProgramName, PrintableText(text).c_str());
}

struct Options {
    bool printBody = false;
    std::string articleFile;
    std::string folder = ".";
};

void PrintUsage(std::FILE* out)
{
    std::fprintf(out,
        "usage: %s [--body] ARTICLE_FILE [FOLDER]\n"
        "Decodes a saved news article (headers, empty line, body) and writes its\n"
        "attachments into FOLDER (default: the current folder), one line each:\n"
        "file name, content type and size in bytes, separated by tabs.\n"
        "  --body     print the article's body text first\n"
        "  --help     show this text\n"
        "  --version  show the version\n",
        ProgramName);
}

enum class ParseResult { Run, Help, Version, Usage };

ParseResult ParseArguments(int argc, char** argv, Options& options)
{
    std::vector<std::string_view> positional;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-')
            positional.push_back(arg);
        else if (arg == "--")
            optionsEnded = true;
        else if (arg == "--help" || arg == "-h")
            return ParseResult::Help;
        else if (arg == "--version")
            return ParseResult::Version;
        else if (arg == "--body")
            options.printBody = true;
        else {
            ReportError("unknown option '" + std::string(arg) + "'");
            return ParseResult::Usage;
        }
    }
    if (positional.empty() || positional.size() > 2)
        return ParseResult::Usage;
    options.articleFile = positional[0];
    if (positional.size() == 2)
        options.folder = positional[1];
    return ParseResult::Run;
}

// A folder opens like a file and then fails obscurely on reading, so the
// article file is checked first for a clear reason. The decoder sizes its
// copy of the text once and reads the file straight into it.
void CheckArticleFile(const std::string& fileName)
{
    struct stat info { };
    const char* reason = nullptr;
    if (::stat(fileName.c_str(), &info) != 0)
        reason = std::strerror(errno);
    else if (S_ISDIR(info.st_mode))
        reason = std::strerror(EISDIR);
    else if (!S_ISREG(info.st_mode))
        reason = "not a regular file";
    if (reason)
        throw EFOpenError(Format("cannot read %s: %s", fileName.c_str(), reason));
}

// Checked before the article is decoded, so that the error names the
// folder the user gave rather than a file inside it.
void CheckFolder(const std::string& folder)
{
    struct stat info { };
    int error = 0;
    if (::stat(folder.c_str(), &info) != 0)
        error = errno;
    else if (!S_ISDIR(info.st_mode))
        error = ENOTDIR;
    else if (::access(folder.c_str(), W_OK | X_OK) != 0)
        error = errno;
    if (error != 0)
        throw EFCreateError(Format("Cannot write into %s: %s", folder.c_str(), std::strerror(error)));
}

void WriteOut(std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void PrintBody(const TStringList& body)
{
    for (const std::string& line : body) {
        WriteOut(PrintableText(line, true));
        WriteOut("\n");
    }
}

// Writes each attachment into its file while the article is decoded, so
// that no picture is held whole. One that fails does not stop the others;
// its error is kept for the report.
class TFolderSink : public TmsAttachmentSink {
public:
    struct TSaved {
        std::string path;
        std::string contentType;
        std::string damage;
        size_t size = 0;
        std::string error; // the file could not be written
        // No byte decoded: no file was written.
        bool empty = false;
    };

    explicit TFolderSink(std::string folder)
        : folder_(std::move(folder))
    {
    }

    const std::vector<TSaved>& Saved() const { return saved_; }

    // An attachment is written under a hidden name and takes its own name
    // only once it is whole: a decode cut short (killed, a full disk) never
    // leaves a picture cut short under a picture's name.
    void Begin(const TmsAttItem& item) override
    {
        current_ = {};
        name_ = item.FileName();
        try {
            file_ = std::make_unique<TNewFile>(folder_, UnfinishedName);
        } catch (const Exception& e) {
            current_.error = e.Message();
        }
    }

    void Write(std::string_view bytes) override
    {
        current_.size += bytes.size();
        Keep(bytes);
    }

    void End(TmsAttItem& item) override
    {
        Write(item.Stream.View());
        if (current_.size == 0 && current_.error.empty()) {
            current_.empty = true;
            current_.path = SafeFileName(name_);
            if (current_.path.empty())
                current_.path = BareFileName(name_);
            file_.reset();
        }
        if (file_) {
            current_.path = Name(*file_);
            file_.reset();
        }
        current_.contentType = item.ContentType();
        current_.damage = item.Damage();
        saved_.push_back(std::move(current_));
    }

    void Discard() noexcept override { file_.reset(); }

private:
    static constexpr const char* UnfinishedName = ".lumigrab-decoding.part";

    // Finishes file and moves it to its own name; empty on failure, with
    // the error kept.
    std::string Name(TNewFile& file)
    {
        std::string unfinished;
        try {
            unfinished = file.Finish();
            return MoveNewFile(unfinished, folder_, name_);
        } catch (const Exception& e) {
            current_.error = e.Message();
            if (!unfinished.empty())
                std::remove(unfinished.c_str());
            return {};
        }
    }

    void Keep(std::string_view bytes)
    {
        if (!file_ || bytes.empty())
            return;
        try {
            file_->Write(bytes);
        } catch (const Exception& e) {
            current_.error = e.Message();
            file_.reset();
        }
    }

    std::string folder_;
    std::unique_ptr<TNewFile> file_;
    std::string name_;
    TSaved current_;
    std::vector<TSaved> saved_;
};

// Lists what was saved, in the article's order; returns whether all was,
// and, when attachments decoded to nothing, whether any other was kept.
bool ReportSaved(const std::vector<TFolderSink::TSaved>& saved)
{
    bool allSaved = true;
    bool anyKept = false;
    bool anyEmpty = false;
    for (const TFolderSink::TSaved& item : saved) {
        if (!item.error.empty()) {
            ReportError(item.error);
            allSaved = false;
            continue;
        }
        if (item.empty) {
            ReportError(item.path + " is damaged beyond decoding: it decodes to nothing, no file written");
            anyEmpty = true;
            continue;
        }
        anyKept = true;
        const std::string name = PrintableText(BareFileName(item.path));
        WriteOut(name + "\t" + PrintableText(item.contentType) + "\t" + std::to_string(item.size) + "\n");
        if (!item.damage.empty())
            std::fprintf(stderr, "%s: %s is damaged: %s\n", ProgramName, name.c_str(),
                PrintableText(item.damage).c_str());
    }
    return allSaved && (anyKept || !anyEmpty);
}

int Run(const Options& options)
{
    TmsArticle article;
    article.Clear();
    TFolderSink sink(options.folder);
    try {
        CheckArticleFile(options.articleFile);
        CheckFolder(options.folder);
        TFileStream source(options.articleFile, TFileStream::Mode::OpenRead);
        TmsArticleDecoder decoder(source);
        decoder.SetMessage(&article);
        decoder.SetAttachmentSink(&sink);
        decoder.Execute();
    } catch (const EFOpenError& e) {
        ReportError(e.Message());
        return ExitFailure;
    } catch (const EFCreateError& e) {
        ReportError(e.Message());
        return ExitFailure;
    } catch (const Exception& e) {
        ReportError("cannot decode " + options.articleFile + ": " + e.Message());
        return ExitFailure;
    }

    if (options.printBody)
        PrintBody(article.Body());
    const bool saved = ReportSaved(sink.Saved());
    if (std::fflush(stdout) != 0) {
        std::fprintf(stderr, "%s: cannot write to standard output\n", ProgramName);
        return ExitFailure;
    }
    return saved ? ExitOk : ExitFailure;
}

} // namespace
} // namespace lumigrab

int main(int argc, char** argv)
{
    using namespace lumigrab;
    Options options;
    switch (ParseArguments(argc, argv, options)) {
    case ParseResult::Help:
        PrintUsage(stdout);
        return ExitOk;
    case ParseResult::Version:
        std::printf("%s %s\n", ProgramName, LUMIGRAB_VERSION);
        return ExitOk;
    case ParseResult::Usage:
        PrintUsage(stderr);
        return ExitUsage;
    case ParseResult::Run:
        break;
    }
    try {
        return Run(options);
    } catch (const std::exception& e) {
        ReportError(e.what());
        return ExitFailure;
    }
}
