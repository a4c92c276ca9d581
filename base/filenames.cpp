#include "base/filenames.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <system_error>
#include <unordered_map>

#include "base/sysutils.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace lumigrab {

namespace {

// The file operations this policy needs, one set per platform.
#ifdef _WIN32

constexpr std::string_view PlatformForbidden = "<>\"|?*";

std::wstring WidePath(const std::string& utf8)
{
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring wide(size_t(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), length);
    return wide;
}

// Exclusive creation fails on any existing entry, links included.
int OpenNewFile(const std::string& path, int& error)
{
    int file = -1;
    error = ::_wsopen_s(&file, WidePath(path).c_str(),
        _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _SH_DENYWR, _S_IREAD | _S_IWRITE);
    return error == 0 ? file : -1;
}

// 0, or the error code of the failed write.
int WriteFully(int file, std::string_view bytes)
{
    constexpr size_t Chunk = size_t(1) << 30;
    while (!bytes.empty()) {
        const int written = ::_write(file, bytes.data(), unsigned(std::min(bytes.size(), Chunk)));
        if (written < 0)
            return errno;
        bytes.remove_prefix(size_t(written));
    }
    return 0;
}

// 0, or the error code of the failed seek or write.
int WriteFullyAt(int file, uint64_t offset, std::string_view bytes)
{
    if (::_lseeki64(file, static_cast<__int64>(offset), SEEK_SET) < 0)
        return errno;
    return WriteFully(file, bytes);
}

int CloseFile(int file)
{
    return ::_close(file) == 0 ? 0 : errno;
}

void RemoveFile(const std::string& path)
{
    ::_wunlink(WidePath(path).c_str());
}

// Moving without MOVEFILE_REPLACE_EXISTING fails on any existing entry.
int MoveToNewName(const std::string& source, const std::string& target)
{
    if (::MoveFileExW(WidePath(source).c_str(), WidePath(target).c_str(), 0))
        return 0;
    return ::GetLastError() == ERROR_ALREADY_EXISTS || ::GetLastError() == ERROR_FILE_EXISTS ? EEXIST : EIO;
}

#else

constexpr std::string_view PlatformForbidden = "";

// O_EXCL alone already refuses an existing link; O_NOFOLLOW says so twice.
int OpenNewFile(const std::string& path, int& error)
{
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    error = file < 0 ? errno : 0;
    return file;
}

// 0, or the error code of the failed write.
int WriteFully(int file, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(file, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        bytes.remove_prefix(size_t(written));
    }
    return 0;
}

// 0, or the error code of the failed write.
int WriteFullyAt(int file, uint64_t offset, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = ::pwrite(file, bytes.data(), bytes.size(), off_t(offset));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        bytes.remove_prefix(size_t(written));
        offset += uint64_t(written);
    }
    return 0;
}

// Some file systems report a full disk only when the file is closed.
int CloseFile(int file)
{
    return ::close(file) == 0 ? 0 : errno;
}

void RemoveFile(const std::string& path)
{
    ::unlink(path.c_str());
}

// A hard link never replaces an existing entry and never follows one;
// rename() would do both.
int MoveToNewName(const std::string& source, const std::string& target)
{
    if (::link(source.c_str(), target.c_str()) != 0)
        return errno;
    ::unlink(source.c_str());
    return 0;
}

#endif

// A longer "extension" is part of the name, not a type to keep.
constexpr size_t MaxExtensionBytes = 32;
// Gives up on a name after this many taken numbers.
constexpr int MaxNumberTries = 1000000;
// Forgets every remembered number beyond this many names.
constexpr size_t MaxRememberedNames = 4096;

bool IsControl(char c)
{
    const auto code = static_cast<unsigned char>(c);
    return code < 32 || code == 127;
}

bool IsUtf8Continuation(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// text cut to at most bytes, never inside a UTF-8 character. A character
// has at most three continuation bytes; a longer run is no UTF-8 and is cut
// where it is.
std::string_view CutTo(std::string_view text, size_t bytes)
{
    if (text.size() <= bytes)
        return text;
    size_t end = bytes;
    while (end > 0 && bytes - end < 3 && IsUtf8Continuation(text[end]))
        --end;
    return text.substr(0, IsUtf8Continuation(text[end]) ? bytes : end);
}

struct TNameParts {
    std::string_view stem;
    // With its dot; empty when the name has none worth keeping.
    std::string_view extension;
};

TNameParts SplitExtension(std::string_view name)
{
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || name.size() - dot > MaxExtensionBytes)
        return { name, {} };
    return { name.substr(0, dot), name.substr(dot) };
}

// Fits name into MaxFileNameBytes with room for reserved more bytes,
// cutting the stem and keeping the extension.
std::string FitName(std::string_view name, size_t reserved)
{
    const TNameParts parts = SplitExtension(name);
    const size_t room = MaxFileNameBytes - reserved - parts.extension.size();
    return std::string(CutTo(parts.stem, room)) + std::string(parts.extension);
}

// The last number used per path of a name, for this run.
class TNumberMemory {
public:
    int Last(const std::string& path)
    {
        const std::lock_guard lock(mutex_);
        const auto found = last_.find(path);
        return found == last_.end() ? 0 : found->second;
    }

    // Back to previous, unless another file took a later number meanwhile.
    void GiveBack(const std::string& path, int number, int previous)
    {
        const std::lock_guard lock(mutex_);
        const auto found = last_.find(path);
        if (found != last_.end() && found->second == number)
            found->second = previous;
    }

    void Remember(const std::string& path, int number)
    {
        const std::lock_guard lock(mutex_);
        if (last_.size() >= MaxRememberedNames && last_.find(path) == last_.end())
            last_.clear();
        last_[path] = number;
    }

private:
    std::mutex mutex_;
    std::unordered_map<std::string, int> last_;
};

TNumberMemory& Numbers()
{
    static TNumberMemory memory;
    return memory;
}

[[noreturn]] void CannotCreate(const std::string& path)
{
    throw EFCreateError(Format("Cannot create file %s", path.c_str()));
}

[[noreturn]] void CannotWrite(const std::string& path, int error)
{
    const std::string message = "Cannot write " + path + ": " + SystemErrorText(error);
    if (IsDiskFullError(error))
        throw EDiskFullError(message);
    throw EInOutError(message);
}

[[noreturn]] void CannotCreate(const std::string& path, int error)
{
    if (IsDiskFullError(error))
        CannotWrite(path, error);
    throw EFCreateError("Cannot create file " + path + ": " + SystemErrorText(error));
}

// A name claimed in a folder: its path, and the remembered number it took
// (0 for the plain name) over the one before.
struct TClaimedName {
    std::string path;
    std::string plainPath;
    int previousNumber = 0;
    int number = 0;
};

// Claims folder/name, or its next free numbered variant, with claim(path),
// which answers 0 or an errno value; EEXIST moves on to the next number.
// Errors name shownPath where one is given, else the path tried.
template <typename Claim>
TClaimedName ClaimNewName(
    const std::string& folder, const std::string& name, Claim claim, const std::string& shownPath = {})
{
    const auto shown = [&shownPath](const std::string& path) { return shownPath.empty() ? path : shownPath; };
    TClaimedName claimed;
    claimed.plainPath = JoinPath(folder, name);
    int error = claim(claimed.plainPath);
    if (error == 0) {
        claimed.path = claimed.plainPath;
        return claimed;
    }
    if (error != EEXIST)
        CannotCreate(shown(claimed.plainPath), error);
    claimed.previousNumber = Numbers().Last(claimed.plainPath);
    int number = claimed.previousNumber;
    for (int tries = 0; tries < MaxNumberTries; ++tries) {
        ++number;
        std::string candidate = JoinPath(folder, NumberedFileName(name, number));
        error = claim(candidate);
        if (error == 0) {
            Numbers().Remember(claimed.plainPath, number);
            claimed.path = std::move(candidate);
            claimed.number = number;
            return claimed;
        }
        if (error != EEXIST)
            CannotCreate(shown(candidate), error);
    }
    CannotCreate(shown(claimed.plainPath));
}

} // namespace

std::string_view BareFileName(std::string_view fileName)
{
    const size_t separator = fileName.find_last_of("/\\:");
    return separator == std::string_view::npos ? fileName : fileName.substr(separator + 1);
}

std::string SafeFileName(std::string_view rawName)
{
    std::string name(BareFileName(rawName));
    for (char& c : name) {
        if (IsControl(c) || PlatformForbidden.find(c) != std::string_view::npos)
            c = '_';
    }
    if (name.size() > MaxFileNameBytes)
        name = FitName(name, 0);
    // Only dots names the folder or its parent; shortening can leave that
    // too, when the dots came first.
    if (name.find_first_not_of('.') == std::string::npos)
        return "";
    return name;
}

std::string FittedFileName(std::string_view name)
{
    return name.size() > MaxFileNameBytes ? FitName(name, 0) : std::string(name);
}

std::string NumberedFileName(std::string_view safeName, int number)
{
    const std::string digits = std::to_string(number);
    const TNameParts parts = SplitExtension(safeName);
    // A name at the limit that already carries this number where it goes
    // ("x-10.jpg" cut to make room for "-10", or "10-10-10...") would come
    // back unchanged; cutting further always ends that within a character.
    for (size_t reserved = digits.size() + 1;; ++reserved) {
        std::string numbered;
        if (parts.extension.empty()) {
            numbered = digits + "-" + std::string(CutTo(safeName, MaxFileNameBytes - reserved));
        } else {
            numbered = FitName(safeName, reserved);
            numbered.insert(numbered.size() - parts.extension.size(), "-" + digits);
        }
        if (numbered != safeName || reserved >= MaxFileNameBytes - MaxExtensionBytes)
            return numbered;
    }
}

std::string JoinPath(std::string_view folder, std::string_view name)
{
    std::string path(folder);
    if (!path.empty() && path.back() != '/' && path.back() != '\\')
        path += '/';
    path += name;
    return path;
}

std::string SaveNewFile(const std::string& folder, std::string_view name, std::string_view bytes)
{
    TNewFile file(folder, name);
    file.Write(bytes);
    return file.Finish();
}

TNewFile::TNewFile(const std::string& folder, std::string_view name)
{
    const std::string safeName = SafeFileName(name);
    if (safeName.empty())
        CannotCreate(JoinPath(folder, BareFileName(name)));
    TClaimedName claimed = ClaimNewName(folder, safeName, [this](const std::string& candidate) {
        int error = 0;
        handle_ = OpenNewFile(candidate, error);
        return handle_ >= 0 ? 0 : error;
    });
    path_ = std::move(claimed.path);
    plainPath_ = std::move(claimed.plainPath);
    previousNumber_ = claimed.previousNumber;
    number_ = claimed.number;
}

TNewFile::~TNewFile()
{
    Discard();
}

void TNewFile::Write(std::string_view bytes)
{
    if (handle_ < 0)
        throw EInOutError("Cannot write " + path_ + ": the file is closed");
    if (const int error = WriteFully(handle_, bytes))
        Fail(error);
}

std::string TNewFile::Finish()
{
    if (handle_ < 0)
        throw EInOutError("Cannot write " + path_ + ": the file is closed");
    const int error = CloseFile(handle_);
    handle_ = -1;
    if (error != 0) {
        RemoveFile(path_);
        CannotWrite(path_, error);
    }
    return path_;
}

void TNewFile::Discard() noexcept
{
    if (handle_ < 0)
        return;
    CloseFile(handle_);
    handle_ = -1;
    RemoveFile(path_);
    if (number_ != 0)
        Numbers().GiveBack(plainPath_, number_, previousNumber_);
}

// A file that failed keeps its number taken, as a failed SaveNewFile
// always has; only a discarded one never counted.
void TNewFile::Fail(int error)
{
    CloseFile(handle_);
    handle_ = -1;
    RemoveFile(path_);
    CannotWrite(path_, error);
}

TPositionedFile::TPositionedFile(std::string path)
    : path_(std::move(path))
{
    RemoveFile(path_);
    int error = 0;
    handle_ = OpenNewFile(path_, error);
    if (handle_ < 0)
        CannotCreate(path_, error);
}

TPositionedFile::~TPositionedFile()
{
    if (handle_ >= 0)
        CloseFile(handle_);
}

void TPositionedFile::WriteAt(uint64_t offset, std::string_view bytes)
{
    if (handle_ < 0)
        throw EInOutError("Cannot write " + path_ + ": the file is closed");
    if (const int error = WriteFullyAt(handle_, offset, bytes))
        CannotWrite(path_, error);
    end_ = std::max(end_, offset + bytes.size());
}

// Where it fails (no such call, a file system without it, no room), the
// blocks are found as the bytes arrive, as without it; what a failed call
// did take is given back on closing all the same.
void TPositionedFile::Reserve(uint64_t size) noexcept
{
#ifdef __linux__
    if (handle_ < 0 || size <= reserved_)
        return;
    ::fallocate(handle_, FALLOC_FL_KEEP_SIZE, 0, off_t(size));
    reserved_ = size;
#else
    (void)size;
#endif
}

void TPositionedFile::Close()
{
    if (handle_ < 0)
        return;
#ifdef __linux__
    // Blocks reserved beyond the last byte would stay with the file.
    if (reserved_ > end_)
        ::ftruncate(handle_, off_t(end_));
#endif
    const int error = CloseFile(handle_);
    handle_ = -1;
    if (error != 0)
        CannotWrite(path_, error);
}

void TPositionedFile::Remove() noexcept
{
    if (handle_ >= 0)
        CloseFile(handle_);
    handle_ = -1;
    RemoveFile(path_);
}

namespace {

enum class TSameness { Missing, Different, Same };

// Whether path is a regular file (not a link) holding exactly bytes.
TSameness Compare(const std::string& path, std::string_view bytes)
{
    std::error_code error;
    const auto status = std::filesystem::symlink_status(path, error);
    if (status.type() == std::filesystem::file_type::not_found)
        return TSameness::Missing;
    if (error || !std::filesystem::is_regular_file(status))
        return TSameness::Different;
    if (std::filesystem::file_size(path, error) != bytes.size() || error)
        return TSameness::Different;
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    std::array<char, 65536> buffer;
    while (!bytes.empty()) {
        const size_t wanted = std::min(buffer.size(), bytes.size());
        if (!file.read(buffer.data(), std::streamsize(wanted))
            || std::string_view(buffer.data(), wanted) != bytes.substr(0, wanted))
            return TSameness::Different;
        bytes.remove_prefix(wanted);
    }
    return TSameness::Same;
}

} // namespace

std::string FindSameFile(const std::string& folder, std::string_view name, std::string_view bytes)
{
    const std::string safeName = SafeFileName(name);
    if (safeName.empty())
        return "";
    const std::string path = JoinPath(folder, safeName);
    if (Compare(path, bytes) == TSameness::Same)
        return path;
    // A gap the user left by deleting a copy does not hide later copies
    // numbered in this run.
    const int lastGiven = Numbers().Last(path);
    for (int number = 1; number <= MaxNumberTries; ++number) {
        std::string candidate = JoinPath(folder, NumberedFileName(safeName, number));
        const TSameness sameness = Compare(candidate, bytes);
        if (sameness == TSameness::Same)
            return candidate;
        if (sameness == TSameness::Missing && number > lastGiven)
            break;
    }
    return "";
}

bool IsDiskFullError(int error)
{
#ifdef EDQUOT
    if (error == EDQUOT)
        return true;
#endif
    return error == ENOSPC || error == EROFS;
}

std::string SystemErrorText(int error)
{
    return std::generic_category().message(error);
}

namespace {

// The name of a file UnfinishedFileName or one of its numbered variants.
bool IsUnfinishedFileName(std::string_view name)
{
    const TNameParts parts = SplitExtension(UnfinishedFileName);
    if (name == UnfinishedFileName)
        return true;
    if (!name.starts_with(parts.stem) || !name.ends_with(parts.extension))
        return false;
    name.remove_prefix(parts.stem.size());
    name.remove_suffix(parts.extension.size());
    return name.size() > 1 && name.front() == '-'
        && name.find_first_not_of("0123456789", 1) == std::string_view::npos;
}

} // namespace

std::string SaveWholeFile(const std::string& folder, std::string_view name, std::string_view bytes)
{
    const std::string safeName = SafeFileName(name);
    if (safeName.empty())
        CannotCreate(JoinPath(folder, BareFileName(name)));
    const std::string shownPath = JoinPath(folder, safeName);
    int handle = -1;
    const std::string hidden = ClaimNewName(
        folder, std::string(UnfinishedFileName),
        [&handle](const std::string& candidate) {
            int error = 0;
            handle = OpenNewFile(candidate, error);
            return handle >= 0 ? 0 : error;
        },
        shownPath)
                                   .path;
    const int writeError = WriteFully(handle, bytes);
    const int closeError = CloseFile(handle);
    if (writeError != 0 || closeError != 0) {
        RemoveFile(hidden);
        CannotWrite(shownPath, writeError != 0 ? writeError : closeError);
    }
    try {
        return ClaimNewName(folder, safeName, [&hidden](const std::string& candidate) {
            return MoveToNewName(hidden, candidate);
        }).path;
    } catch (...) {
        RemoveFile(hidden);
        throw;
    }
}

void RemoveUnfinishedFiles(const std::string& folder)
{
    namespace fs = std::filesystem;
    std::error_code error;
    for (fs::directory_iterator entry(fs::path(folder), error), end; !error && entry != end;
         entry.increment(error)) {
        std::error_code unused;
        const fs::file_type type = entry->symlink_status(unused).type();
        if ((type == fs::file_type::regular || type == fs::file_type::symlink)
            && IsUnfinishedFileName(entry->path().filename().string()))
            RemoveFile(entry->path().string());
    }
}

std::string MoveNewFile(const std::string& source, const std::string& folder, std::string_view name)
{
    const std::string safeName = SafeFileName(name);
    if (safeName.empty())
        CannotCreate(JoinPath(folder, BareFileName(name)));
    return ClaimNewName(folder, safeName, [&source](const std::string& candidate) {
        return MoveToNewName(source, candidate);
    }).path;
}

} // namespace lumigrab
