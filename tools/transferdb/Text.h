// Text and paths at the tool's edges: the library speaks wide strings, the file system paths,
// and the terminal and JSON UTF-8.
#pragma once

#include <filesystem>
#include <string>

namespace transferdb {

// Two verbs for text leaving the tool. Utf8: the text as it is, in UTF-8, for JSON and the
// database's own SQLite (wide text is UTF-16 on Windows, UTF-32 elsewhere; what is not a
// character becomes U+FFFD). Printable: as a terminal can show it without being steered by it:
// control characters (C0, DEL, C1) and the direction overrides become escapes (\n, \t, \x1b,
// \u202e), bytes that are not UTF-8 become \xNN, so that one name is one line. JSON escapes for
// itself.
std::string Utf8(const std::wstring& text);
std::string Utf8(const std::filesystem::path& path);
std::string Printable(const std::string& utf8);
std::string Printable(const std::wstring& text);
std::string Printable(const std::filesystem::path& path);

// A path from the wide text the library and the tree model hold, and back; false for a POSIX
// path whose bytes are not UTF-8, which the tree model does not take either.
std::filesystem::path PathFromText(const std::wstring& text);
bool TextFromPath(const std::filesystem::path& path, std::wstring& text);
// The same with each broken UTF-8 sequence as one U+FFFD, as the tree model's scan names it,
// for a name that can only be reported.
std::wstring TextFromPathLossy(const std::filesystem::path& path);

// A path from a command-line argument, which the tool takes as UTF-8 on every platform.
std::filesystem::path PathFromArgument(const std::string& argument);

// "1,234,567", "1.5 MB", "0:02:05", "2026-05-01 12:00:00" (local time).
std::string Grouped(long long number);
std::string FormatSize(long long bytes);
std::string FormatDuration(long long seconds);
std::string FormatTime(long long secondsSince1970);

// A file's error code as people read it: "injected failure" or the system's message.
std::string ErrorText(int code);

// The error code that --fail-every records for the failures it injects.
constexpr int kInjectedError = 1000000;
// The error code of a file whose size or modification time changed during its copy, twice: its
// copy would have matched neither version.
constexpr int kChangedWhileCopied = 1000001;
// The error codes that verify records for a copy that is not its source (another kind, size,
// modification time or content, or unreadable) and for one missing from TARGET. They are
// failures until a resume, which copies those entries again.
constexpr int kDiffersFromSource = 1000002;
constexpr int kMissingFromTarget = 1000003;
inline bool CopiedAgainOnResume(int code) {
    return code == kDiffersFromSource || code == kMissingFromTarget;
}

}  // namespace transferdb
