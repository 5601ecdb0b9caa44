// The file system as the copy uses it: SOURCE and TARGET are opened once, and every entry is
// reached from them one folder at a time without following a link, so that a link planted in
// TARGET, or a SOURCE folder swapped for a link after the scan, fails that entry instead of
// writing or reading outside the two folders. The platform's calls live in FilesPosix.cpp and
// FilesWindows.cpp, one of which the build takes.
#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

namespace transferdb {

// What verify finds of an entry that a run recorded as copied, its copy beside its source.
enum class Difference : char {
    kSame,
    kMissing,  // nothing at its place in TARGET
    kKind,     // a file where SOURCE has a folder or a link, or the other way round
    kSize,
    kTime,        // the modification time, which the copy carries over
    kContent,     // a byte, or a link's text
    kUnreadable,  // either side could not be read or reached: the error says why
    kSourceGone,  // SOURCE no longer holds it: nothing to compare with
};

struct Comparison {
    Difference difference = Difference::kSame;
    int error = 0;        // the system's code, for kUnreadable
    bool folder = false;  // SOURCE's entry is a folder
    long long size = 0;   // SOURCE's file size
};

class SourceAndTarget {
public:
    // Opens SOURCE and TARGET (created when missing); throws ToolError when either cannot be.
    SourceAndTarget(const std::filesystem::path& source, const std::filesystem::path& target);
    ~SourceAndTarget();
    SourceAndTarget(const SourceAndTarget&) = delete;
    SourceAndTarget& operator=(const SourceAndTarget&) = delete;

    // Copies the file or link `name` of `folder` (relative, below SOURCE) to the same place
    // below TARGET, creating the folders on the way. The content goes by the system's own copy
    // where it has one, under a temporary name of its own (short, whatever the length of
    // `name`) that is renamed when the copy is complete: an interrupted run never leaves a
    // partial file under the real name, and the next copy of the entry removes what it left.
    // A file whose size or modification time changed while it was copied is copied once more,
    // then fails with kChangedWhileCopied. Returns 0 or the error code to record. Thread-safe.
    int CopyFile(const std::filesystem::path& folder, const std::filesystem::path& name) const;

    // Removes what an interrupted copy of the file at `relative` (below TARGET) left: its
    // temporary copy, if there is one.
    void RemoveTemporary(const std::filesystem::path& relative) const;

    // Creates the folder `relative` below TARGET (TARGET itself when empty), never more open
    // than its owner's access while it is filled.
    int MakeFolder(const std::filesystem::path& relative) const;

    // Gives the folder `relative` below TARGET its SOURCE folder's permission bits and times,
    // once everything in it is in place; on Windows its times, the access rules it inherited
    // standing. Returns 0 or the system's error code.
    int FinishFolder(const std::filesystem::path& relative) const;

    // Compares the entry `relative` below TARGET with the same below SOURCE: the kind, then a
    // file's size and modification time, then every byte, or a link's text. Both are reached as
    // a copy reaches them, without following a link on the way. Adds the bytes compared to
    // `bytes` as they are read. Thread-safe.
    Comparison Compare(const std::filesystem::path& relative, std::atomic<long long>& bytes) const;

    // Makes every copy finished so far durable. On Linux one syncfs of TARGET's file system
    // (a sync per file costs more than the copy of a small one); on Windows each copy was
    // flushed before CopyFile returned. Throws ToolError when the system reports a failure.
    void Sync() const;

private:
    struct Handles;
    std::unique_ptr<Handles> handles;
};

// The temporary name of a copy of `name` in its folder: ".transferdb-", 16 hexadecimal digits
// of a hash of the name, ".part"; 33 characters.
std::filesystem::path TemporaryName(const std::filesystem::path& name);

}  // namespace transferdb
