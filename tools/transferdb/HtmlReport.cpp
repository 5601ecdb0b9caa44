// report: one HTML file that a support engineer opens anywhere, offline, and hands on: the task
// at a glance, its failures grouped by cause and folder with what a user can do, the newest
// tasks and the database's check. The file is read with the tool's own SQLite, row by row; the
// page holds at most kListedFailures failures and counts the rest.
//
// Every text of the database or the file system is data, never markup: escaped in the page, and
// in the JSON element that the page's script reads through textContent. The page's
// Content-Security-Policy lets only its own script and style run, named by their hashes.
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <system_error>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include "DatabaseFile.h"
#include "Library.h"
#include "ReportAssets.h"
#include "Reports.h"
#include "Text.h"
#include "Tool.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace fs = std::filesystem;
using nlohmann::json;

namespace transferdb {
namespace {

// A report of a few MB whatever the task: the failures past either bound are counted only.
constexpr long long kListedFailures = 100000;
constexpr size_t kListedTextBytes = 8u << 20;  // the listed failures' names and folders
// Distinct error codes counted by code and given their text; a hostile file may hold millions.
constexpr size_t kNamedCodes = 1000;
constexpr size_t kCodesShown = 8;  // per cause, the most frequent
constexpr int kHistorySize = 3;    // the library keeps the three newest tasks

enum CauseId {
    kPermission,
    kInUse,
    kDiskFull,
    kPathTooLong,
    kBadName,
    kGone,
    kBehindLink,
    kNotAFile,
    kDevice,
    kNetwork,
    kOnPurpose,
    kNotTheSource,
    kOther,
    kCauseCount
};

struct Cause {
    const char* title;
    const char* advice;  // what a user can do about it
};

const Cause kCauses[kCauseCount] = {
    {"No permission",
     "The account that ran the migration was not allowed to read the file on the old PC or to "
     "write it on the new one. Give that account access to it, or migrate as an administrator, "
     "then migrate the file again."},
    {"File in use",
     "Another program had the file open and locked while it was copied. Close the programs that "
     "use it (mail, databases, virtual machines, sync tools) or restart the old PC, then migrate "
     "the file again."},
    {"The new PC's disk was full",
     "The target disk had no room left, or the user's quota on it was used up. Free space on it "
     "or choose a larger disk, then migrate these files again."},
    {"Path too long",
     "The file's full path is longer than the target allows. Move the file into a folder nearer "
     "the top, or shorten the folder names, then migrate it again."},
    {"Name not allowed on the new PC",
     "The name holds characters that the target does not allow, or bytes that are not text. "
     "Rename the file on the old PC, then migrate it again."},
    {"Gone from the old PC",
     "The file was deleted, moved or renamed on the old PC after it was selected. Nothing needs "
     "doing unless it is still wanted; then select it where it is now."},
    {"Behind a link",
     "A folder on the file's way, on the old PC or the new one, is a link. Links are never "
     "followed, so that nothing is written outside the chosen folders. Migrate the folder that "
     "the link points to on its own."},
    {"Not a regular file",
     "Pipes, sockets and devices are not copied. Nothing needs doing: the program that made it "
     "makes it again."},
    {"Disk or device error",
     "The disk or its connection failed while the file was read or written. Check the disk and "
     "its cable (chkdsk on Windows, fsck elsewhere), then migrate the file again; if it keeps "
     "failing, copy what matters first: the disk may be failing."},
    {"Network share lost",
     "The file was on a network share that went away during the copy. Reconnect to the share, "
     "then migrate the file again."},
    {"Failed on purpose",
     "transferdb migrate --fail-every made these files fail, to try how failures are handled. "
     "Nothing needs doing."},
    {"Copy not the same as on the old PC",
     "transferdb verify found that the copy on the new PC differs from the file on the old PC "
     "(its kind, size, time or content), or is missing. transferdb resume copies these files "
     "again."},
    {"Other errors",
     "The error code and its text tell what happened. If that is not clear, send this report to "
     "support."},
};

// The codes that the tool records, as this system numbers them.
struct CodeCause {
    int code;
    CauseId cause;
};
const CodeCause kCodeCauses[] = {
#if defined(_WIN32)
    // Windows error codes, and the C library's numbers that the folder scan records (its
    // std::errc values: EACCES, EILSEQ, ENOTSUP).
    {ERROR_ACCESS_DENIED, kPermission},
    {ERROR_PRIVILEGE_NOT_HELD, kPermission},
    {ERROR_WRITE_PROTECT, kPermission},
    {ERROR_NETWORK_ACCESS_DENIED, kPermission},
    {EACCES, kPermission},
    {ERROR_SHARING_VIOLATION, kInUse},
    {ERROR_LOCK_VIOLATION, kInUse},
    {ERROR_USER_MAPPED_FILE, kInUse},
    {ERROR_BUSY, kInUse},
    {ERROR_DISK_FULL, kDiskFull},
    {ERROR_HANDLE_DISK_FULL, kDiskFull},
    {1295, kDiskFull},  // ERROR_DISK_QUOTA_EXCEEDED, which mingw-w64 does not name
    {ERROR_FILE_TOO_LARGE, kDiskFull},
    {ERROR_FILENAME_EXCED_RANGE, kPathTooLong},
    {ERROR_BUFFER_OVERFLOW, kPathTooLong},  // "The file name is too long."
    {ERROR_INVALID_NAME, kBadName},
    {ERROR_BAD_PATHNAME, kBadName},
    {EILSEQ, kBadName},
    {ERROR_FILE_NOT_FOUND, kGone},
    {ERROR_PATH_NOT_FOUND, kGone},
    {ERROR_CANT_ACCESS_FILE, kBehindLink},  // what the copy records for a link on the way
    {ERROR_CANT_RESOLVE_FILENAME, kBehindLink},
    {ERROR_NOT_SUPPORTED, kNotAFile},
    {ENOTSUP, kNotAFile},
    {ERROR_CRC, kDevice},
    {ERROR_READ_FAULT, kDevice},
    {ERROR_WRITE_FAULT, kDevice},
    {ERROR_GEN_FAILURE, kDevice},
    {ERROR_NOT_READY, kDevice},
    {ERROR_SECTOR_NOT_FOUND, kDevice},
    {ERROR_IO_DEVICE, kDevice},
    {ERROR_DEVICE_NOT_CONNECTED, kDevice},
    {ERROR_SEM_TIMEOUT, kDevice},
    {ERROR_NETNAME_DELETED, kNetwork},
    {ERROR_BAD_NETPATH, kNetwork},
    {ERROR_UNEXP_NET_ERR, kNetwork},
    {ERROR_BAD_NET_NAME, kNetwork},
    {ERROR_DEV_NOT_EXIST, kNetwork},
    {ERROR_NETWORK_UNREACHABLE, kNetwork},
#else
    // errno values.
    {EACCES, kPermission},
    {EPERM, kPermission},
    {EROFS, kPermission},
    {EBUSY, kInUse},
    {ETXTBSY, kInUse},
    {ENOSPC, kDiskFull},
    {EDQUOT, kDiskFull},
    {EFBIG, kDiskFull},
    {ENAMETOOLONG, kPathTooLong},
    {EILSEQ, kBadName},
    {EINVAL, kBadName},  // a name that the target's file system refuses
    {ENOENT, kGone},
    {ELOOP, kBehindLink},  // links on the way are opened with O_NOFOLLOW
    {ENOTSUP, kNotAFile},
    {EOPNOTSUPP, kNotAFile},
    {ENXIO, kNotAFile},  // a socket
    {EIO, kDevice},
    {ENODEV, kDevice},
    {ENETDOWN, kNetwork},
    {ENETUNREACH, kNetwork},
    {EHOSTUNREACH, kNetwork},
    {EHOSTDOWN, kNetwork},
    {ECONNRESET, kNetwork},
    {ECONNABORTED, kNetwork},
    {ENOTCONN, kNetwork},
    {ETIMEDOUT, kNetwork},
    {ESTALE, kNetwork},
#endif
    {kInjectedError, kOnPurpose},
    {kDiffersFromSource, kNotTheSource},
    {kMissingFromTarget, kNotTheSource},
};

CauseId CauseOf(int code) {
    for (const CodeCause& known : kCodeCauses) {
        if (known.code == code) return known.cause;
    }
    return kOther;
}

// A task's row as the library's current layout holds it; columns an older layout lacks stay 0.
struct TaskRow {
    long long taskID = 0, startTime = 0, endTime = 0, transferFileNums = 0, completeNums = 0,
              transferSize = 0, completeSize = 0, completeEmptyFolderNum = 0, status = 0,
              transferAppNums = 0, transferSucAppNums = 0, transferSettingNums = 0,
              transferSucSettingNums = 0;
    std::string newPCModel;
};

const std::pair<const char*, long long TaskRow::*> kTaskNumbers[] = {
    {"taskid", &TaskRow::taskID},
    {"starttime", &TaskRow::startTime},
    {"endtime", &TaskRow::endTime},
    {"transferfilenums", &TaskRow::transferFileNums},
    {"completenums", &TaskRow::completeNums},
    {"transfersize", &TaskRow::transferSize},
    {"completesize", &TaskRow::completeSize},
    {"completeemptyfoldernum", &TaskRow::completeEmptyFolderNum},
    {"status", &TaskRow::status},
    {"transferappnums", &TaskRow::transferAppNums},
    {"transfersucappnums", &TaskRow::transferSucAppNums},
    {"transfersettingnums", &TaskRow::transferSettingNums},
    {"transfersucsettingnums", &TaskRow::transferSucSettingNums},
};

std::vector<TaskRow> ReadTasks(DatabaseReader& reader, const std::string& sql, long long value) {
    std::vector<TaskRow> tasks;
    reader.ForEach(sql, value, [&](sqlite3_stmt* row) {
        TaskRow task;
        for (int i = 0; i < sqlite3_column_count(row); ++i) {
            const std::string name = NameKey(sqlite3_column_name(row, i));
            if (name == "newpcmodel") task.newPCModel = ColumnText(row, i);
            for (const auto& [key, member] : kTaskNumbers) {
                if (name == key) task.*member = sqlite3_column_int64(row, i);
            }
        }
        tasks.push_back(task);
    });
    return tasks;
}

// Done of a total: files, applications, settings.
struct Tally {
    long long total = 0, done = 0, failed = 0;
};

struct Failures {
    long long total = 0;
    long long causeCount[kCauseCount] = {};
    std::map<int, long long> codeCount;  // the first kNamedCodes distinct codes
    std::vector<std::string> folders;
    std::unordered_map<std::string, int> folderIndex;
    json files = json::array();  // [folder, cause, code, name] of each listed failure
    size_t listedBytes = 0;
    long long Listed() const { return static_cast<long long>(files.size()); }
};

// A recorded path's folder and name, cut at this system's last separator.
std::pair<std::string, std::string> SplitPath(const std::string& path) {
    const char* separators = fs::path::preferred_separator == '/' ? "/" : "/\\";
    const size_t at = path.find_last_of(separators);
    if (at == std::string::npos) return {"", path};
    return {path.substr(0, at == 0 ? 1 : at), path.substr(at + 1)};
}

Failures ReadFailures(DatabaseReader& reader, int taskId) {
    Failures failures;
    // No system has a path of 32,768 characters; a longer text is a hostile file's, and is cut.
    reader.ForEach(
        "SELECT substr(fileName, 1, 32768), substr(sendFilePath, 1, 32768), errCode FROM "
        "TransferFileInfo WHERE status = 0 AND taskID = ?1",
        taskId, [&](sqlite3_stmt* row) {
            ++failures.total;
            const int code = sqlite3_column_int(row, 2);
            const CauseId cause = CauseOf(code);
            ++failures.causeCount[cause];
            auto counted = failures.codeCount.find(code);
            if (counted != failures.codeCount.end()) {
                ++counted->second;
            } else if (failures.codeCount.size() < kNamedCodes) {
                failures.codeCount[code] = 1;
            }
            if (failures.Listed() >= kListedFailures || failures.listedBytes > kListedTextBytes) {
                return;
            }
            auto [folder, name] = SplitPath(ColumnText(row, 1));
            folder = Printable(folder);
            const std::string recorded = ColumnText(row, 0);
            if (!recorded.empty()) name = recorded;
            auto [at, added] =
                failures.folderIndex.emplace(folder, static_cast<int>(failures.folders.size()));
            if (added) {
                failures.folders.push_back(folder);
                failures.listedBytes += folder.size();
            }
            name = Printable(name);
            failures.listedBytes += name.size();
            failures.files.push_back({at->second, static_cast<int>(cause), code, name});
        });
    return failures;
}

// JSON for a <script type="application/json"> element: nothing in it can end the element or
// start markup, and no line separator reaches the script that parses it.
std::string ScriptJson(const json& value) {
    const std::string text = value.dump(-1, ' ', false, json::error_handler_t::replace);
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '<') {
            out += "\\u003c";
        } else if (c == '>') {
            out += "\\u003e";
        } else if (c == '&') {
            out += "\\u0026";
        } else if (text.compare(i, 3, "\xE2\x80\xA8") == 0 ||
                   text.compare(i, 3, "\xE2\x80\xA9") == 0) {
            out += text[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

// Text of the database or the file system for the page: printable, then escaped.
std::string Html(const std::string& text) {
    std::string out;
    for (char c : Printable(text)) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string Plural(long long count, const char* one, const char* many) {
    return Grouped(count) + " " + (count == 1 ? one : many);
}

// A bar of parts, each a class and a count, as wide as the page.
std::string Bar(const std::vector<std::pair<const char*, long long>>& parts, const char* kind,
                const std::string& label) {
    long long total = 0;
    for (const auto& part : parts) total += part.second;
    std::string svg = std::string("<svg class=\"bar") + kind +
                      "\" viewBox=\"0 0 1000 10\" preserveAspectRatio=\"none\" role=\"img\" "
                      "aria-label=\"" +
                      Html(label) + "\">";
    long long start = 0;
    for (const auto& [name, count] : parts) {
        if (count <= 0 || total <= 0) continue;
        const long long x = start * 1000 / total;
        start += count;
        svg += std::string("<rect class=\"") + name + "\" x=\"" + std::to_string(x) +
               "\" width=\"" + std::to_string(start * 1000 / total - x) + "\" height=\"10\"/>";
    }
    return svg + "</svg>\n";
}

std::string SmallBar(const Tally& tally) {
    return Bar({{"copied", tally.done}, {"rest", tally.total - tally.done}}, " small",
               Grouped(tally.done) + " of " + Grouped(tally.total));
}

class Page {
public:
    Page(int taskId, const std::string& database) : taskId(taskId), database(database) {}

    std::string Write(const std::vector<TaskRow>& history, const TaskRow& task, const Tally& files,
                      const Tally items[3], const Failures& failures, const DatabaseCheck& check) {
        Head();
        const std::string state = TaskStateText(static_cast<int>(task.status));
        out += "<header><h1>Migration report: task " + std::to_string(taskId) + "</h1>\n";
        out += "<p class=\"muted\">Made " + Html(FormatTime(std::time(nullptr))) +
               " by transferdb " TRANSFERDB_VERSION " from <code>" + Html(database) +
               "</code></p></header>\n";
        Glance(task, state, files, items);
        FailureGroups(failures);
        History(history);
        Check(check);
        out += "<script type=\"application/json\" id=\"data\">" + Data(failures) + "</script>\n";
        out += std::string("<script>") + kReportScript + "</script>\n</body>\n</html>\n";
        return std::move(out);
    }

private:
    void Head() {
        out += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
        // First in the head, so that it governs every element after it.
        out += std::string(
                   "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src "
                   "'none'; script-src 'sha256-") +
               kReportScriptHash + "'; style-src 'sha256-" + kReportStyleHash +
               "'; base-uri 'none'; form-action 'none'\">\n";
        out += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
        out += "<meta name=\"referrer\" content=\"no-referrer\">\n";
        out += "<title>Migration report: task " + std::to_string(taskId) + "</title>\n";
        out += std::string("<style>") + kReportStyle + "</style>\n</head>\n<body>\n";
    }

    void Fact(const char* term, const std::string& id, const std::string& html) {
        out += std::string("<dt>") + term + "</dt><dd" + (id.empty() ? "" : " id=\"" + id + "\"") +
               ">" + html + "</dd>\n";
    }

    void Glance(const TaskRow& task, const std::string& state, const Tally& files,
                const Tally items[3]) {
        out += "<section id=\"glance\"><h2>At a glance</h2>\n<dl class=\"facts\">\n";
        Fact("State", "state", Html(state));
        Fact("Started", "", Html(FormatTime(task.startTime)));
        Fact("Last progress", "", Html(FormatTime(task.endTime)));
        Fact("Elapsed", "", Html(FormatDuration(task.endTime - task.startTime)));
        Fact("Copied to", "target", Html(task.newPCModel));
        Fact("Size copied", "",
             Html(FormatSize(task.completeSize) + " of " + FormatSize(task.transferSize)));
        out += "</dl>\n<h3>Files, links and empty folders</h3>\n";
        const long long pending = files.total - files.done - files.failed;
        out += Bar({{"copied", files.done}, {"failed", files.failed}, {"pending", pending}}, "",
                   Grouped(files.done) + " copied, " + Grouped(files.failed) + " failed, " +
                       Grouped(pending) + " not yet done");
        out += "<ul class=\"legend\">\n";
        Legend("copied", "Copied", files.done);
        Legend("failed", "Failed", files.failed);
        Legend("pending", "Not yet done", pending);
        Legend("", "In all", files.total);
        out +=
            "</ul>\n<div class=\"scroll\"><table>\n<tr><th>Item</th><th class=\"number\">Done"
            "</th><th class=\"number\">Of</th><th></th></tr>\n";
        const char* names[3] = {"Applications", "Settings", "Bookmarks"};
        const char* ids[3] = {"applications", "settings", "bookmarks"};
        for (int i = 0; i < 3; ++i) {
            out += std::string("<tr id=\"") + ids[i] + "\"><td>" + names[i] +
                   "</td><td class=\"number\">" + Grouped(items[i].done) +
                   "</td><td class=\"number\">" + Grouped(items[i].total) + "</td><td>" +
                   SmallBar(items[i]) + "</td></tr>\n";
        }
        out += "</table></div>\n</section>\n";
    }

    void Legend(const char* key, const char* what, long long count) {
        out += std::string("<li>") +
               (*key ? std::string("<span class=\"key ") + key + "\"></span>" : "") + what +
               " <b id=\"" + (*key ? key : "entries") + "\">" + Grouped(count) + "</b></li>\n";
    }

    void FailureGroups(const Failures& failures) {
        out += "<section id=\"failures\"><h2>Failed files: <span id=\"failed-total\">" +
               Grouped(failures.total) + "</span></h2>\n";
        if (failures.total == 0) {
            out += "<p>No file failed.</p>\n</section>\n";
            return;
        }
        if (failures.Listed() < failures.total) {
            out += "<p class=\"notice\" id=\"unlisted\">" +
                   Plural(failures.total - failures.Listed(), "more failed file is",
                          "more failed files are") +
                   " counted but not listed here: <code>transferdb failures " +
                   std::to_string(taskId) + " --json</code> lists them all.</p>\n";
        }
        out +=
            "<p class=\"search\" id=\"search-box\" hidden><label>Search the listed files "
            "<input type=\"search\" id=\"search\" placeholder=\"part of a name or folder\">"
            "</label></p>\n<div id=\"results\" hidden></div>\n<div id=\"groups\">\n";
        for (int cause : CausesByCount(failures)) {
            out += "<section class=\"cause\" data-cause=\"" + std::to_string(cause) + "\"><h3>" +
                   kCauses[cause].title + " <span class=\"count\">" +
                   Plural(failures.causeCount[cause], "file", "files") + "</span></h3>\n";
            out += std::string("<p class=\"advice\">") + kCauses[cause].advice + "</p>\n";
            out += "<p class=\"codes\">" + Codes(failures, static_cast<CauseId>(cause)) + "</p>\n";
            out +=
                "<div class=\"folders\"><p class=\"muted\">The folders are listed when the "
                "page's script runs.</p></div>\n</section>\n";
        }
        out += "</div>\n</section>\n";
    }

    // The causes that occur, the most frequent first.
    static std::vector<int> CausesByCount(const Failures& failures) {
        std::vector<int> causes;
        for (int cause = 0; cause < kCauseCount; ++cause) {
            if (failures.causeCount[cause] > 0) causes.push_back(cause);
        }
        std::stable_sort(causes.begin(), causes.end(), [&](int a, int b) {
            return failures.causeCount[a] > failures.causeCount[b];
        });
        return causes;
    }

    // "Error codes: 13 Permission denied (12), 1 Operation not permitted (3)".
    static std::string Codes(const Failures& failures, CauseId cause) {
        std::vector<std::pair<int, long long>> codes;
        for (const auto& [code, count] : failures.codeCount) {
            if (CauseOf(code) == cause) codes.emplace_back(code, count);
        }
        std::stable_sort(codes.begin(), codes.end(),
                         [](const auto& a, const auto& b) { return a.second > b.second; });
        std::string text = "Error codes: ";
        for (size_t i = 0; i < codes.size() && i < kCodesShown; ++i) {
            text += (i > 0 ? ", " : "") + std::to_string(codes[i].first) + " " +
                    Html(ErrorText(codes[i].first)) + " (" + Grouped(codes[i].second) + ")";
        }
        if (codes.size() > kCodesShown) text += ", and others";
        return codes.empty() ? "Error codes: many" : text;
    }

    void History(const std::vector<TaskRow>& history) {
        out +=
            "<section id=\"history\"><h2>The newest tasks</h2>\n<div class=\"scroll\"><table>"
            "\n<tr><th>Task</th><th>Started</th><th>State</th><th class=\"number\">Files</th>"
            "<th class=\"number\">Size</th><th class=\"number\">Apps</th><th class=\"number\">"
            "Settings</th><th>Copied to</th></tr>\n";
        for (const TaskRow& task : history) {
            out += "<tr><td>" + std::to_string(task.taskID) + "</td><td class=\"when\">" +
                   Html(FormatTime(task.startTime)) + "</td><td>" +
                   Html(TaskStateText(static_cast<int>(task.status))) +
                   "</td><td class=\"number\">" + Grouped(task.completeNums) + " / " +
                   Grouped(task.transferFileNums) + "</td><td class=\"number\">" +
                   Html(FormatSize(task.completeSize)) + "</td><td class=\"number\">" +
                   Grouped(task.transferSucAppNums) + " / " + Grouped(task.transferAppNums) +
                   "</td><td class=\"number\">" + Grouped(task.transferSucSettingNums) + " / " +
                   Grouped(task.transferSettingNums) + "</td><td class=\"path\">" +
                   Html(task.newPCModel) + "</td></tr>\n";
        }
        out += "</table></div>\n</section>\n";
    }

    void Check(const DatabaseCheck& check) {
        out += "<section id=\"check\"><h2>The database's check</h2>\n<dl class=\"facts\">\n";
        Fact("File", "", "<code>" + Html(database) + "</code>");
        std::string integrity =
            check.sound ? "<span class=\"good\">ok</span>" : "<span class=\"bad\">FAILED</span>";
        for (size_t i = 0; !check.sound && i < check.integrity.size(); ++i) {
            integrity += "<br>" + Html(check.integrity[i]);
        }
        Fact("Integrity", "integrity", integrity);
        std::string layout = check.missing.empty()
                                 ? "<span class=\"good\">current</span>"
                                 : "<span class=\"bad\">not current</span>; it lacks";
        for (size_t i = 0; i < check.missing.size(); ++i) {
            layout += (i > 0 ? ", " : " ") + Html(check.missing[i]);
        }
        Fact("Layout", "layout", layout);
        out += "</dl>\n</section>\n";
    }

    static std::string Data(const Failures& failures) {
        json errors = json::object();
        for (const auto& [code, count] : failures.codeCount) {
            errors[std::to_string(code)] = Printable(ErrorText(code));
        }
        json causes = json::array();
        for (const Cause& cause : kCauses) causes.push_back({{"title", cause.title}});
        return ScriptJson({{"folders", failures.folders},
                           {"causes", causes},
                           {"errors", errors},
                           {"files", failures.files}});
    }

    int taskId;
    std::string database;
    std::string out;
};

}  // namespace

int WriteReport(int taskId, const std::string& output) {
    RequireDatabase();
    DatabaseReader reader;
    RequireLibraryLayout(reader);
    reader.Exec("BEGIN");  // one snapshot for every read below
    RequireTask(reader, taskId);
    const DatabaseCheck check = CheckFile(reader);
    std::string lacks;  // the tables and columns that the reads below name
    for (const std::string& item : check.missing) {
        if (item.rfind("index ", 0) != 0) lacks += (lacks.empty() ? "" : ", ") + item;
    }
    if (!lacks.empty()) {
        throw ToolError(kExitFailure, reader.File() + " has an older layout (it lacks " + lacks +
                                          "); transferdb history brings it up to date");
    }
    const std::vector<TaskRow> task =
        ReadTasks(reader, "SELECT * FROM TransferTask WHERE taskID = ?1", taskId);
    const std::vector<TaskRow> history = ReadTasks(
        reader,
        "SELECT * FROM TransferTask ORDER BY taskID DESC LIMIT " + std::to_string(kHistorySize), 0);

    Tally files;
    reader.ForEach(
        "SELECT status, COUNT(1) FROM TransferFileInfo WHERE taskID = ?1 GROUP BY status", taskId,
        [&](sqlite3_stmt* row) {
            const long long count = sqlite3_column_int64(row, 1);
            files.total += count;
            if (sqlite3_column_type(row, 0) != SQLITE_INTEGER) return;
            if (sqlite3_column_int64(row, 0) == kFileCopied) files.done += count;
            if (sqlite3_column_int64(row, 0) == kFileFailed) files.failed += count;
        });
    Tally items[3];
    const char* const itemQueries[3] = {
        "SELECT COUNT(1), TOTAL(downStatusIndex = 1) FROM TransferAppInfo WHERE taskID = ?1",
        "SELECT COUNT(1), TOTAL(resultType = 1) FROM TransferSettingInfo WHERE taskID = ?1",
        "SELECT COUNT(1), COUNT(1) FROM TransferBookmarkInfo WHERE taskID = ?1"};
    for (int i = 0; i < 3; ++i) {
        reader.ForEach(itemQueries[i], taskId, [&](sqlite3_stmt* row) {
            items[i].total = sqlite3_column_int64(row, 0);
            items[i].done = sqlite3_column_int64(row, 1);
        });
    }
    const Failures failures = ReadFailures(reader, taskId);
    const std::string html =
        Page(taskId, reader.File()).Write(history, task[0], files, items, failures, check);

    const fs::path file = PathFromArgument(
        output.empty() ? "transferdb-task-" + std::to_string(taskId) + ".html" : output);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(html.data(), static_cast<std::streamsize>(html.size()));
    out.close();
    if (!out) {
        const int error = errno;
        std::error_code ignored;
        if (fs::is_regular_file(file, ignored)) fs::remove(file, ignored);  // no half report
        throw ToolError(kExitFailure,
                        "cannot write the report to " + Printable(file) + ": " +
                            (error != 0 ? std::generic_category().message(error) : "write failed"));
    }
    std::printf("task %d: report written to %s (%s; %s of %s failed files listed)\n", taskId,
                Printable(file).c_str(), FormatSize(static_cast<long long>(html.size())).c_str(),
                Grouped(failures.Listed()).c_str(), Grouped(failures.total).c_str());
    return kExitOk;
}

}  // namespace transferdb
