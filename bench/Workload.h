// What the benchmarks work on: a user's folder tree of a given number of files, the document
// cache's records of those files, and states of the databases that the library itself wrote,
// kept as snapshots so that every case starts the library and its baseline from the same pages.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "DataBaseManager.h"
#include "Harness.h"

namespace bench {

DataBaseManager& Manager();

// The tree of a user's folder with `files` files: one top folder below the root, 100 folders,
// 10 subfolders in each, the files spread evenly over those, their names in several scripts.
// With `selected`, every file is selected and carries a target path (the tree a migration
// records); without, nothing is (the fresh tree of a resume). Returns the files in the order
// they were added.
std::vector<DirTreeNode*> BuildTree(DirectoryTreeManager& tree, size_t files, bool selected);

// The document-cache records of the same files, all still to be sent (result 0).
std::vector<CacheNode> CacheRecords(size_t files);

// File `i` of the tree of `files` files: its name and its path (its node's sendFilePath).
struct FileEntry {
    std::wstring name;
    std::wstring path;
};
FileEntry FileAt(size_t i, size_t files);

// `count` failures spread evenly over the tree's files, from file `offset` on, each with an
// error code of its own.
std::vector<SendFailedFileInfo> Failures(size_t files, size_t count, size_t offset);

// Snapshots of the migration database, made by the library on first use:
// the schema with three tasks, the newest of which has no files yet;
std::string TasksSnapshot();
// the same with the tree's `files` files recorded for the newest task, `failures` of them
// failed (spread evenly, from the first file on).
std::string FilesSnapshot(size_t files, size_t failures = 0);
// The id of the newest task.
int NewestTaskId();

// Snapshots of the document cache: empty, and with the records of `files` files.
std::string EmptyCacheSnapshot();
std::string CacheSnapshot(size_t files);

// Puts a snapshot in place as one side's migration database or document cache.
void Restore(Side side, const std::string& snapshot);
void RestoreCache(Side side, const std::string& snapshot);

}  // namespace bench
