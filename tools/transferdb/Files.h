// The file system as the copy uses it: SOURCE and TARGET are opened once, and every entry is
// reached from them one folder at a time without following a link, so that a link planted in
// TARGET, or a SOURCE folder swapped for a link after the scan, fails that entry instead of
// writing or reading outside the two folders. The platform's calls live here and nowhere else.
#pragma once

#include <filesystem>
#include <memory>

namespace transferdb {

class CopyFolders {
public:
    // Opens SOURCE and TARGET (created when missing); throws ToolError when either cannot be.
    CopyFolders(const std::filesystem::path& source, const std::filesystem::path& target);
    ~CopyFolders();
    CopyFolders(const CopyFolders&) = delete;
    CopyFolders& operator=(const CopyFolders&) = delete;

    // Copies the file or link at `relative` below SOURCE to the same place below TARGET, or
    // creates the empty folder there (the whole TARGET for an empty `relative`). A file is
    // written under another name and renamed when complete, so that an interrupted run never
    // leaves a partial file under the real name. Returns 0 or the error code to record.
    // Thread-safe.
    int Copy(const std::filesystem::path& relative, bool folder) const;

    // Makes every copy finished so far durable. On Linux one syncfs of TARGET's file system
    // (a sync per file costs more than the copy of a small one); on Windows each copy was
    // flushed before Copy returned. Throws ToolError when the system reports a failure.
    void Sync() const;

private:
    struct Handles;
    std::unique_ptr<Handles> handles;
};

}  // namespace transferdb
