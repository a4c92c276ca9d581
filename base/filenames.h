// Files named by strangers: the names that attachments of news articles
// carry, and the creation of their files. Every writer of such files (the
// article's SaveAttachment, the picture harvest, lumigrab-decode and the
// window) goes through here, so they all follow one policy:
//
// - Only the bare name counts: what follows the last '/', '\' or ':'. A
//   file can therefore only land in the folder it is saved into. A name of
//   nothing but dots is no name at all.
// - Control characters (codes below 32, and 127) become '_': they would
//   reach terminals and listings raw, and a tab would break tab-separated
//   output.
// - A name has at most 255 bytes. A longer one loses bytes at the end of
//   its stem, never its extension (".jpg"), and never half a UTF-8
//   character.
// - A file is only ever created new: an existing file is never replaced
//   and a symbolic link is never followed. A taken name is numbered in
//   front of its extension: "a.jpg", then "a-1.jpg", "a-2.jpg", ...; a
//   name without an extension gets the number in front, so that its ending
//   stays: "xjpg", then "1-xjpg". Numbered names keep within 255 bytes the
//   same way.
// - The last number given to a name in a folder is remembered for the run,
//   so the next copy of that name does not test every taken number again.
// - A file that cannot be written completely is removed again. Every
//   failure names the system's reason ("No space left on device").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/sysutils.h"

namespace lumigrab {

// A file that cannot be written because its file system is full, the
// user's quota is used up or the file system is read-only: no later file
// in that folder can be written either.
class EDiskFullError : public EInOutError {
public:
    using EInOutError::EInOutError;
};

// Whether the system error code (errno) says the file system takes no more:
// ENOSPC, EDQUOT or EROFS.
bool IsDiskFullError(int error);

// The error text of a system error code.
std::string SystemErrorText(int error);

// Longest name of one folder entry, in bytes.
constexpr size_t MaxFileNameBytes = 255;

// The name part of a file name: the text after the last '/', '\' or ':'.
std::string_view BareFileName(std::string_view fileName);

// The name a file from a stranger gets (see above); empty when nothing
// usable is left.
std::string SafeFileName(std::string_view rawName);

// name within MaxFileNameBytes, cut as above (its stem loses bytes at the
// end, its extension stays); otherwise unchanged.
std::string FittedFileName(std::string_view name);

// The variant of a safe name that carries number (from 1).
std::string NumberedFileName(std::string_view safeName, int number);

// folder and name joined by one separator; name alone when folder is empty.
std::string JoinPath(std::string_view folder, std::string_view name);

// Writes bytes into a new file in folder named after name (see above) and
// returns its path. A name with nothing usable raises EFCreateError "Cannot
// create file %s"; a file that cannot be created raises EFCreateError
// "Cannot create file PATH: REASON"; a file that cannot be written
// completely is removed and raises EInOutError "Cannot write PATH: REASON".
// Where the reason is a full or read-only file system (IsDiskFullError),
// either raises EDiskFullError "Cannot write PATH: REASON" instead.
std::string SaveNewFile(const std::string& folder, std::string_view name, std::string_view bytes);

// A new file written piece by piece, for bytes that arrive while they are
// decoded: created, named and failing exactly as SaveNewFile, which it
// serves. A file that cannot be written completely is removed. A file
// discarded unfinished is removed and gives a numbered name it took back,
// so that the next file of that name gets the number it would have got had
// this one never been begun.
class TNewFile {
public:
    // Creates the file; raises as SaveNewFile does.
    TNewFile(const std::string& folder, std::string_view name);
    // Discards an unfinished file.
    ~TNewFile();
    TNewFile(const TNewFile&) = delete;
    TNewFile& operator=(const TNewFile&) = delete;

    const std::string& Path() const { return path_; }

    // Appends bytes. A failure removes the file and raises as SaveNewFile
    // does; the file is then discarded.
    void Write(std::string_view bytes);
    // Closes the file (a full disk may only show here) and returns its
    // path; raises and removes the file as Write does.
    std::string Finish();
    // Removes the file and gives its name back. Does nothing once the file
    // is finished or discarded.
    void Discard() noexcept;

private:
    [[noreturn]] void Fail(int error);

    int handle_ = -1;
    std::string path_;
    // The name's remembered number before this file took one, and the one
    // it took (0: the plain name).
    std::string plainPath_;
    int previousNumber_ = 0;
    int number_ = 0;
};

// A file of the program's own naming, made anew and written at any offset:
// the file a multi-part post grows in as its parts arrive. Whatever stands
// at its path (a file left behind, a symbolic link) is removed first, never
// followed or truncated; should another entry appear there meanwhile, the
// file is not created.
class TPositionedFile {
public:
    // Raises EFCreateError "Cannot create file PATH: REASON", or
    // EDiskFullError as SaveNewFile does.
    explicit TPositionedFile(std::string path);
    // Closes the file, which stays.
    ~TPositionedFile();
    TPositionedFile(const TPositionedFile&) = delete;
    TPositionedFile& operator=(const TPositionedFile&) = delete;

    const std::string& Path() const { return path_; }

    // Writes bytes at offset, the file growing as needed; raises
    // EInOutError (EDiskFullError) "Cannot write PATH: REASON".
    void WriteAt(uint64_t offset, std::string_view bytes);
    // Reserves the blocks for the file's first size bytes at once, where
    // the system can, without changing the file's size: a file written out
    // of order is not scattered over the disk, and writing it costs less.
    // Closing gives back what the written bytes did not take.
    void Reserve(uint64_t size) noexcept;
    // Closes the file (a full disk may only show here); raises as WriteAt.
    // Does nothing when it is closed.
    void Close();
    // Closes and removes the file.
    void Remove() noexcept;

private:
    int handle_ = -1;
    std::string path_;
    uint64_t reserved_ = 0;
    // Where the last byte written ends.
    uint64_t end_ = 0;
};

// The hidden name SaveWholeFile writes a file under before the file takes
// its own; when it is taken (several files written at once) a numbered
// variant, ".lumigrab-saving-1.part", as for any name.
constexpr std::string_view UnfinishedFileName = ".lumigrab-saving.part";

// Saves bytes as SaveNewFile does, but writes them under a hidden name in
// folder (UnfinishedFileName) and gives the file its own name, by a link,
// only once every byte is written and the file closed. A writer killed
// meanwhile leaves no file cut short under a picture's name, only the
// hidden one, which RemoveUnfinishedFiles takes away. Errors name the path
// the file would have had, folder/name, never the hidden one.
std::string SaveWholeFile(const std::string& folder, std::string_view name, std::string_view bytes);

// Removes from folder the hidden files that writers killed inside
// SaveWholeFile left behind (regular files and links of UnfinishedFileName
// or a numbered variant of it); nothing else. A missing folder is no error.
void RemoveUnfinishedFiles(const std::string& folder);

// The path of a regular file in folder, named as SaveNewFile would name
// name or any numbered variant of that name, that holds exactly bytes;
// empty when there is none. Links are not followed. Sizes are compared
// before any byte is read. Variants are tried from 1 up to the first free
// number after the last one given to that name in this run.
std::string FindSameFile(const std::string& folder, std::string_view name, std::string_view bytes);
// Moves the finished file source (on the same file system) into folder
// under a name made from name as SaveNewFile does, never replacing an
// entry, and returns its new path. A name with nothing usable, or a move
// that fails, raises EFCreateError "Cannot create file %s"; source then
// stays where it was.
std::string MoveNewFile(const std::string& source, const std::string& folder, std::string_view name);

} // namespace lumigrab
