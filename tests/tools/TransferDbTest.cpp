// transferdb as its users run it: a child process with its own data folder, judged by its exit
// code, its output, the files it leaves in TARGET and the rows it leaves in the database.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include "TestSupport.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// `text` holds `part`; the whole text is shown when it does not.
#define EXPECT_HAS(text, part) EXPECT_NE((text).find(part), std::string::npos) << (text)

using Commands = std::vector<std::vector<std::string>>;  // each a command and its arguments
struct Output {
    int code = -1;
    std::string out, err;
};

// The exit code, stdout and stderr of a run, each checked on its own, named by `behaviour`.
void ExpectOutput(const Output& got, const Output& want, const std::string& behaviour) {
    EXPECT_EQ(got.code, want.code) << behaviour << ": the exit code; stderr:\n" << got.err;
    EXPECT_EQ(got.out, want.out) << behaviour << ": stdout";
    EXPECT_EQ(got.err, want.err) << behaviour << ": stderr";
}

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

void WriteFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

// What a folder holds, by relative path: "-> " and a link's target, "<folder>", a file's hash.
std::map<std::string, std::string> Snapshot(const fs::path& folder) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        std::string& seen = entries[entry.path().lexically_relative(folder).string()];
        const std::string bytes = entry.is_symlink() ? "" : ReadFile(entry.path());
        seen = entry.is_symlink()     ? "-> " + fs::read_symlink(entry.path()).string()
               : entry.is_directory() ? "<folder>"
                                      : std::to_string(bytes.size()) + " bytes, hash " +
                                            std::to_string(std::hash<std::string>()(bytes));
    }
    return entries;
}

// Holds a byte of the lock file as another run of the tool would, until the result goes: 0 shared
// while it migrates or resumes, 1 while it records its task, 1024 + id while it copies that task.
std::shared_ptr<void> HoldLock(const fs::path& file, off_t byte, bool exclusive) {
    fs::create_directories(file.parent_path());
    int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    struct flock lock {};
    lock.l_type = exclusive ? F_WRLCK : F_RDLCK, lock.l_whence = SEEK_SET;
    lock.l_start = byte, lock.l_len = 1;
    EXPECT_EQ(fcntl(fd, F_OFD_SETLK, &lock), 0) << std::strerror(errno);
    return std::shared_ptr<void>(nullptr, [fd](void*) { close(fd); });
}

class TransferDbTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        root = fs::temp_directory_path() /
               ("transferdb-" + std::string(info->name()) + "-" + std::to_string(getpid()));
        fs::remove_all(root);
        fs::create_directories(root);
        source = root / "source folder";
        target = root / "target folder";
        data = root / "data";
    }
    void TearDown() override {
        // Folders a case made unreadable are removed too.
        std::system(("chmod -R u+rwx " + Quote(root)).c_str());
        fs::remove_all(root);
    }

    // Runs the tool in this test's folder, with its data folder unless `raw`, output in `name`.*
    Output Run(std::vector<std::string> arguments, bool raw = false,
               const std::string& name = "run") const {
        if (!raw) arguments.insert(arguments.end(), {"--data-dir", data.string()});
        std::string command = "cd " + Quote(root) + " && " + prefix + Quote(TRANSFERDB_PATH);
        for (const std::string& argument : arguments) command += " " + Quote(argument);
        const fs::path out = output.empty() ? root / (name + ".out") : output;
        const fs::path err = root / (name + ".err");
        int status = std::system((command + " >" + Quote(out) + " 2>" + Quote(err)).c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output.empty() ? ReadFile(out) : "",
                ReadFile(err)};
    }
    // Starts the tool beside the test.
    std::future<Output> Start(std::vector<std::string> arguments, const std::string& name) const {
        return std::async(std::launch::async, [=] { return Run(arguments, false, name); });
    }
    // Waits (a minute at most) until the run started as `name` has said `text` on stderr.
    bool Says(const std::string& name, const std::string& text) const {
        for (int i = 0; i < 6000; ++i, usleep(10000)) {
            if (ReadFile(root / (name + ".err")).find(text) != std::string::npos) return true;
        }
        return false;
    }

    // A reading command's --json output; the command must succeed.
    json Json(std::vector<std::string> arguments) const {
        arguments.push_back("--json");
        Output output = Run(arguments);
        EXPECT_EQ(output.code, 0) << output.err;
        return json::parse(output.out);
    }

    // `migrate` or `resume` of SOURCE into TARGET.
    Output Copy(const char* command, std::vector<std::string> options = {}) const {
        options.insert(options.begin(), {command, source.string(), target.string()});
        return Run(options);
    }

    // Non-ASCII names, an empty and a deep folder, a link and a larger file; counts files and link.
    int MakeTree(int notes = 30) const {
        for (int i = 0; i < notes; ++i) {
            WriteFile(source / "Documents" / ("note " + std::to_string(i) + ".txt"),
                      "note number " + std::to_string(i));
        }
        for (int i = 0; i < 8; ++i) {
            WriteFile(source / "Bilder 日本" / ("写真 " + std::to_string(i) + ".jpg"),
                      std::string(1000 + i, static_cast<char>('a' + i)));
        }
        WriteFile(source / "Bilder 日本" / "emoji 😀 file.txt", "four-byte characters");
        WriteFile(source / "Ärzte & Überweisungen" / "befund.bin", std::string(300000, '\x7f'));
        WriteFile(source / "nested" / "a" / "b" / "c" / "deep file.txt", "deep");
        WriteFile(source / "top level.txt", "top");
        fs::create_directories(source / "empty folder");
        fs::create_symlink("Documents", source / "link to Documents");
        return notes + 8 + 4 + 1;
    }

    // The failed files of a task, as paths relative to SOURCE.
    std::set<std::string> Failures(int task) const {
        std::set<std::string> paths;
        const json listed = Json({"failures", std::to_string(task)});
        for (const json& failure : listed["failures"]) {
            fs::path path = failure["sendFilePath"].get<std::string>();
            paths.insert(path.lexically_relative(source).string());
        }
        return paths;
    }

    fs::path DbFile() const { return data / "Voded" / "Corvanel" / "corvanel.db"; }
    fs::path LockFile() const { return data / "Voded" / "Corvanel" / "transferdb.lock"; }

    // The page as headless Chromium leaves it, once loaded and its script has run.
    std::string Browse(const fs::path& page, const std::string& fragment = "") const {
        const fs::path dom = root / "dom.html";
        // As root it needs no sandbox; nothing of its own reaches for the network.
        const std::string command =
            "timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic "
            "--no-first-run --disable-background-networking --disable-component-update "
            "--disable-sync --user-data-dir=" +
            Quote(root / ("profile" + fragment)) + " --dump-dom " +
            Quote("file://" + page.string() + fragment) + " >" + Quote(dom) + " 2>/dev/null";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return ReadFile(dom);
    }

    fs::path root, source, target, data;
    std::string prefix;  // put before the tool's command: another user, a memory limit
    fs::path output;     // where the tool's stdout goes instead of a file of the test's
};

TEST_F(TransferDbTest, InterruptedTwiceAndResumedTargetEqualsSourceApartFromListedFailures) {
    // Past the first batch (1,000 outcomes at the most), so that some injected failures are
    // recorded; those of the batch in progress are lost with the process, and copied again.
    int files = MakeTree(1100);
    Output first = Copy("migrate", {"--fail-every", "7", "--stop-after", "1050", "--workers", "3"});
    ASSERT_EQ(first.code, 4) << first.err;
    EXPECT_HAS(first.err, "stopping here as a crash would");
    // Whole batches only, and no outcome before its copy is in TARGET.
    TestDb db(DbFile());
    EXPECT_GE(db.Count("SELECT COUNT(1) FROM TransferFileInfo WHERE status = 0"), 1);
    Rows copied = db.Query("SELECT sendFilePath FROM TransferFileInfo WHERE status = 1");
    EXPECT_LT(copied.size(), 1050u);
    for (const auto& row : copied) {
        fs::path copy = target / fs::path(row[0]).lexically_relative(source);
        EXPECT_TRUE(fs::exists(fs::symlink_status(copy))) << copy;
    }

    json history = Json({"history"});
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0]["state"], "unfinished");
    EXPECT_EQ(history[0]["transferFileNums"], files);

    Output second = Copy("resume", {"--stop-after", "5"});
    ASSERT_EQ(second.code, 4) << second.err;
    EXPECT_HAS(second.out, "resuming task 1");

    Output third = Copy("resume");
    ASSERT_EQ(third.code, 3) << third.err;  // finished, with the injected failures
    EXPECT_HAS(third.out, "finished with failures");

    // TARGET is SOURCE but for the listed failures: whole files, links as links, nothing half-made.
    std::set<std::string> failed = Failures(1);
    EXPECT_FALSE(failed.empty());
    std::map<std::string, std::string> expected = Snapshot(source);
    for (const std::string& path : failed) {
        EXPECT_EQ(expected.count(path), 1u) << path;
        expected.erase(path);
    }
    EXPECT_EQ(Snapshot(target), expected);

    json task = Json({"show", "1"});
    EXPECT_EQ(task["history"]["state"], "finished with failures");
    EXPECT_EQ(task["completeNums"], files - static_cast<int>(failed.size()));
    EXPECT_EQ(task["completeEmptyFolderNum"], 1);
    EXPECT_EQ(task["failedFiles"], failed.size());
    ASSERT_EQ(task["applications"].size(), 3u);
    for (const json& app : task["applications"]) EXPECT_EQ(app["downStatusIndex"], 1);
    ASSERT_EQ(task["settings"].size(), 3u);
    for (const json& setting : task["settings"]) EXPECT_EQ(setting["resultType"], 1);
    EXPECT_EQ(task["bookmarks"].size(), 2u);

    // Every recorded entry carries its outcome: copied, or failed with the injected code.
    EXPECT_EQ(db.Count("SELECT COUNT(1) FROM TransferFileInfo WHERE status NOT IN (0, 1)"), 0);

    Output again = Copy("resume");
    EXPECT_EQ(again.code, 0) << again.err;
    EXPECT_HAS(again.out, "nothing to resume");
}

TEST_F(TransferDbTest, UninterruptedMigrationFinishesAndAnyNumberOfFailuresIsListed) {
    int files = MakeTree();
    prefix = "ulimit -n 48; ";  // fewer descriptors than files: none may stay open after its copy
    Output run = Copy("migrate");
    prefix.clear();
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(Snapshot(target), Snapshot(source));

    json history = Json({"history"});
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0]["state"], "finished");
    EXPECT_EQ(history[0]["completeNums"], files);
    EXPECT_TRUE(Json({"failures", "1"})["failures"].empty());
    EXPECT_HAS(Run({"failures", "1"}).out, "no failed files");

    // Failures listed in bounded memory: 100,000 took 400 MB read into the library's records.
    TestDb(DbFile()).Exec(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100000) "
        "INSERT INTO TransferFileInfo (taskID, fileName, sendFilePath, errCode, status) "
        "SELECT 1, 'f' || i, '/old pc/f' || i, 5, 0 FROM n");
#if !defined(__SANITIZE_ADDRESS__)  // which reserves far more address space than that
    prefix = "ulimit -v 131072; ";
#endif
    std::vector<std::string> arguments{"failures", "1"};
    for (long lines : {100000 + 1, 100000 * 6 + 5}) {  // a line a failure, six in JSON; and more
        Output listed = Run(arguments);
        EXPECT_EQ(listed.code, 0) << listed.err;
        EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), lines);
        arguments.push_back("--json");
    }
}

// The kernel copies the content where it can; read and write take over where it refuses or
// cannot serve. Every way gives the source's bytes, holes read as zeros.
TEST_F(TransferDbTest, EveryFileArrivesWholeHoweverItsContentIsCopied) {
    auto makeFiles = [](const fs::path& folder) {
        WriteFile(folder / "small.txt", "small");
        // Past what one call copies (64 MiB), with a hole between its two ends.
        WriteFile(folder / "large with a hole.bin", "start");
        int fd = open((folder / "large with a hole.bin").c_str(), O_WRONLY);
        EXPECT_EQ(pwrite(fd, "end", 3, (65 << 20) + 7), 3);
        close(fd);
        WriteFile(folder / "hole at the end.bin", "data");
        fs::resize_file(folder / "hole at the end.bin", 3 << 20);
    };
    makeFiles(source);
    const fs::path memory = "/dev/shm/transferdb-" + std::to_string(getpid());
    std::shared_ptr<void> removeMemory(nullptr, [&](void*) { fs::remove_all(memory); });
    struct Way {
        const char* what;
        fs::path from;
        std::string prefix;
    };
    std::vector<Way> ways{
        {"the kernel's copy", source, ""},
        {"read and write, the call refused", source, Quote(REFUSE_COPY_FILE_RANGE_PATH) + " "}};
    if (fs::is_directory("/dev/shm")) {
        makeFiles(memory);
        ways.push_back({"from another file system", memory, ""});
    }
    for (size_t k = 0; k < ways.size(); ++k) {
        const fs::path to = root / ("target " + std::to_string(k));
        prefix = ways[k].prefix;
        Output run = Run({"migrate", ways[k].from.string(), to.string()});
        EXPECT_EQ(run.code, 0) << ways[k].what << "\n" << run.err;
        EXPECT_EQ(Snapshot(to), Snapshot(ways[k].from)) << ways[k].what;
    }
    // An error of the kernel's copy itself (a disk that fails) is the file's failure; only a
    // refused call is copied by read and write instead.
    prefix = Quote(REFUSE_COPY_FILE_RANGE_PATH) + " --errno " + std::to_string(EIO) + " ";
    Output failing = Run({"migrate", source.string(), (root / "failing").string()});
    EXPECT_EQ(failing.code, 3) << "files the disk failed to copy\n" << failing.err;
    const int task = static_cast<int>(ways.size()) + 1;
    EXPECT_EQ(Failures(task).size(), 3u) << "each of them recorded as failed";
    EXPECT_EQ(Json({"failures", std::to_string(task)})["failures"][0]["errCode"], EIO)
        << "with the disk's error";
}

// A copy that matches neither version of a file is never recorded as copied: a file that
// changes while it is copied is copied once more, and fails with its own code when it changed
// again; nothing of it stays in TARGET.
TEST_F(TransferDbTest, AFileThatChangesWhileItIsCopiedIsNeverRecordedAsCopied) {
    WriteFile(source / "steady.txt", "steady");
    const fs::path busy = source / "busy.log";
    WriteFile(busy, "a log");
    fs::resize_file(busy, 128 << 20);  // its copy takes a few hundred reads and writes
    // Written to whenever the copy reads it, each write with a modification time of its own
    // (the system's clock can give two writes the same one).
    int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, busy.c_str(), IN_ACCESS), 0);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        int fd = open(busy.c_str(), O_WRONLY);
        char events[4096];
        for (long i = 1; !stop; ++i) {
            pollfd readable{watch, POLLIN, 0};
            if (poll(&readable, 1, 10) != 1 || read(watch, events, sizeof events) <= 0) continue;
            pwrite(fd, "written", 7, (i * 4096) % (128 << 20));
            const timespec times[2] = {{0, UTIME_OMIT}, {1000000 + i, 0}};
            futimens(fd, times);
        }
        close(fd);
        close(watch);
    });
    // Read and write, each read woken the writer: the kernel's copy reads it at one go.
    prefix = Quote(REFUSE_COPY_FILE_RANGE_PATH) + " ";
    Output run = Copy("migrate");
    stop = true;
    writer.join();
    EXPECT_EQ(run.code, 3) << run.err;
    EXPECT_HAS(run.out, "  failed: " + busy.string() +
                            " (changed while it was copied, and again while it was copied "
                            "once more)\n");
    EXPECT_EQ(Json({"failures", "1"})["failures"][0]["errCode"], 1000001);
    EXPECT_EQ(Failures(1), std::set<std::string>({"busy.log"}));
    std::map<std::string, std::string> steady = Snapshot(source);
    steady.erase("busy.log");
    EXPECT_EQ(Snapshot(target), steady);  // no temporary copy left either
}

// A folder arrives with its source's permission bits and times once its contents are in place;
// names up to the system's limit are copied (the temporary name is short whatever the name).
TEST_F(TransferDbTest, FoldersKeepTheirPermissionsAndTimesAndLongNamesArrive) {
    const std::string longName(255, 'n');
    WriteFile(source / "private" / longName, "a name of 255 bytes");
    WriteFile(source / "shared" / "read only" / "file.txt", "x");
    WriteFile(source / "shared" / "run.sh", "#!/bin/sh");
    WriteFile(source / "private" / "secret.txt", "s");
    ASSERT_EQ(chmod((source / "shared" / "run.sh").c_str(), 0751), 0);
    ASSERT_EQ(chmod((source / "private" / "secret.txt").c_str(), 0600), 0);
    fs::create_directories(source / "empty");
    const std::pair<const char*, mode_t> modes[] = {
        {"private", 0700}, {"shared", 02775}, {"shared/read only", 0555}, {"empty", 0750}};
    for (const auto& [folder, mode] : modes) ASSERT_EQ(chmod((source / folder).c_str(), mode), 0);
    long seconds = 1200000000;
    for (const char* folder : {"shared/read only", "shared", "private", "empty", ""}) {
        const timespec times[2] = {{seconds, 5}, {seconds + 1, 7}};
        ASSERT_EQ(utimensat(AT_FDCWD, (source / folder).c_str(), times, 0), 0);
        seconds += 1000;
    }
    Output run = Copy("migrate");
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(ReadFile(target / "private" / longName), "a name of 255 bytes");
    for (const auto& [file, mode] :
         {std::pair<const char*, mode_t>{"shared/run.sh", 0751}, {"private/secret.txt", 0600}}) {
        struct stat copy {};
        ASSERT_EQ(stat((target / file).c_str(), &copy), 0) << file;
        EXPECT_EQ(copy.st_mode & 07777, mode) << "file '" << file << "' keeps its mode";
    }
    for (const char* folder : {"", "private", "shared", "shared/read only", "empty"}) {
        struct stat from {
        }, to{};
        ASSERT_EQ(stat((source / folder).c_str(), &from), 0);
        ASSERT_EQ(stat((target / folder).c_str(), &to), 0) << folder;
        EXPECT_EQ(to.st_mode & 07777, from.st_mode & 07777) << "folder '" << folder << "': mode";
        EXPECT_EQ(to.st_mtim.tv_sec, from.st_mtim.tv_sec) << "folder '" << folder << "': time";
        EXPECT_EQ(to.st_mtim.tv_nsec, from.st_mtim.tv_nsec)
            << "folder '" << folder << "': time, to the nanosecond";
    }
}

// When the library refuses some outcomes, the run's own counts are not what was recorded.
TEST_F(TransferDbTest, AfterTheLibraryRefusesOutcomesTheSummarySaysWhatTheDatabaseHolds) {
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) WriteFile(source / name, name);
    ASSERT_EQ(Copy("migrate").code, 0);
    TestDb(DbFile()).Exec(
        "CREATE TRIGGER refuse BEFORE UPDATE ON TransferFileInfo WHEN NEW.fileName = 'b.txt' "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END");
    Output run = Copy("migrate");
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out.substr(run.out.find('\n') + 1),
              "task 2: the database holds 2 entries copied, 0 failed and 1 without an outcome\n");
    EXPECT_HAS(run.err,
               "transferdb: the library reported errors; the task's record may be "
               "incomplete\n");
}

TEST_F(TransferDbTest, NamesAndTextsReachTheTerminalEscapedAndWhole) {
    // Paths past the library's fixed 511-character fields; names that break lines or recolour.
    const std::string deep =
        std::string(200, 'a') + "/" + std::string(200, 'b') + "/" + std::string(150, 'c');
    source = root / "s" / deep;
    target = root / "t" / deep;
    WriteFile(source / "line\nbreak.txt", "1");
    WriteFile(source / "esc\x1b[31m.txt", "2");
    Output run = Copy("migrate", {"--fail-every", "1"});
    EXPECT_EQ(run.code, 3) << run.err;
    const std::string shown[] = {"line\\nbreak.txt", "esc\\x1b[31m.txt"};  // as printed
    std::string rows[2];  // of the table, the paths whole
    for (int i : {0, 1}) {
        const std::string path = source.string() + "/" + shown[i];
        EXPECT_HAS(run.out, "  failed: " + path + " (injected failure)\n");
        rows[i] = shown[i] + "  1000000 injected failure  " + path + "\n";
    }
    const std::string table = Run({"failures", "1"}).out;
    const std::string head = "NAME             ERROR                     PATH\n";
    EXPECT_TRUE(table == head + rows[0] + rows[1] || table == head + rows[1] + rows[0]) << table;
    const json listed = Json({"failures", "1"});  // in JSON as they are, the paths whole
    for (const json& failure : listed["failures"]) {
        EXPECT_EQ((source / failure["fileName"].get<std::string>()).string(),
                  failure["sendFilePath"]);
    }
    EXPECT_EQ(Failures(1), std::set<std::string>({"line\nbreak.txt", "esc\x1b[31m.txt"}));

    // The target, read back through the library's record, says that it was cut.
    json history = Json({"history"});
    EXPECT_EQ(history[0]["newPCModel"], target.string().substr(0, 511));
    EXPECT_EQ(history[0]["newPCModelCut"], true);
    EXPECT_HAS(Run({"history"}).out,
               target.string().substr(0, 511) + "... [cut at 511 characters]\n");
}

TEST_F(TransferDbTest, EntriesTheScanCannotReadAreFailuresOfTheRun) {
    WriteFile(source / "kept.txt", "kept");
    WriteFile(source / "not text \xff.txt", "a name that is not UTF-8");
    ASSERT_EQ(mkfifo((source / "a pipe").c_str(), 0600), 0);
    // A folder that can be listed but not entered: its entries cannot be read, and it is not
    // an empty folder. Root enters it all the same, so the tool runs as another user then.
    WriteFile(source / "locked" / "inside.txt", "locked in");
    fs::permissions(source / "locked", fs::perms::owner_read | fs::perms::group_read);
    // A folder that cannot be listed at all: it fails itself, as an entry of its own.
    fs::create_directories(source / "sealed");
    fs::permissions(source / "sealed", fs::perms::none);
    if (geteuid() == 0) {
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            ASSERT_EQ(lchown(entry.path().c_str(), 65534, 65534), 0);
        }
        ASSERT_EQ(chown(root.c_str(), 65534, 65534), 0);
        prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    }
    Output run = Copy("migrate");
    prefix.clear();
    EXPECT_EQ(run.code, 3) << run.err;
    EXPECT_HAS(run.err,
               "cannot read " + (source / "a pipe").string() + ": Operation not supported\n");
    EXPECT_HAS(run.err, "cannot read " + (source / "not text \\xff.txt").string());
    EXPECT_HAS(run.err, "4 entries of SOURCE cannot be read: they count as failed\n");
    EXPECT_HAS(run.out, " 1 files (4 B) and 0 empty folders copied, 4 failed\n");
    EXPECT_EQ(Failures(1), std::set<std::string>(
                               {"a pipe", "not text \uFFFD.txt", "locked/inside.txt", "sealed"}));
    EXPECT_EQ(Snapshot(target).size(), 1u);
    EXPECT_EQ(ReadFile(target / "kept.txt"), "kept");
}

TEST_F(TransferDbTest, ResumeFinishesOnlyItsOwnTaskAndCountsWhatIsGone) {
    int files = MakeTree();
    ASSERT_EQ(Copy("migrate", {"--stop-after", "3"}).code, 4);

    {
        auto copying = HoldLock(LockFile(), 1024 + 1, true);  // task 1, copied by another process
        ExpectOutput(
            Copy("resume"),
            (Output{1, "",
                    "transferdb: task 1 is being copied by another "
                    "transferdb process; it can be resumed once that process has ended\n"}),
            "a task that another process copies is not resumed");
    }
    Output otherTarget = Run({"resume", source.string(), (root / "elsewhere").string()});
    EXPECT_EQ(otherTarget.code, 2);
    EXPECT_HAS(otherTarget.err, "not into TARGET");
    WriteFile(root / "other source" / "x.txt", "x");
    Output otherSource = Run({"resume", (root / "other source").string(), target.string()});
    EXPECT_EQ(otherSource.code, 2);
    EXPECT_HAS(otherSource.err, "did not migrate");

    // The last folder in the recorded order is gone; the crash lost the outcomes of its
    // unfinished batch, and those entries are copied again.
    const std::string gone = "Ärzte & Überweisungen";
    fs::remove_all(source / gone);
    Output resume = Copy("resume");
    ASSERT_EQ(resume.code, 0) << resume.err;
    std::smatch counts;
    ASSERT_TRUE(std::regex_search(resume.out, counts,
                                  std::regex("done: (\\d+) files, (\\d) empty folders; failed: 0; "
                                             "gone from SOURCE: 1; left to copy: (\\d+)\n")))
        << resume.out;
    EXPECT_EQ(std::stoi(counts[1]) + std::stoi(counts[2]) + std::stoi(counts[3]), files);
    // A worker may have copied the folder, or begun to, before the crash.
    std::map<std::string, std::string> copied = Snapshot(target);
    copied.erase(copied.lower_bound(gone), copied.upper_bound(gone + "/\xff"));
    EXPECT_EQ(copied, Snapshot(source));
}

TEST_F(TransferDbTest, LinksPlantedInTargetAreRefusedNeverWrittenThrough) {
    MakeTree(3);
    fs::path outside = root / "outside";
    WriteFile(outside / "kept.txt", "outside");
    std::map<std::string, std::string> before = Snapshot(outside);
    fs::create_directories(target);
    fs::create_symlink(outside, target / "Documents");                   // in a folder's place
    fs::create_symlink(outside / "kept.txt", target / "top level.txt");  // in a file's place
    ASSERT_EQ(Copy("migrate", {"--stop-after", "2"}).code, 4);
    fs::remove_all(target / "nested");  // and one between the crash and the resume
    fs::create_symlink(outside, target / "nested");

    Output resume = Copy("resume");
    EXPECT_EQ(resume.code, 3) << resume.err;
    EXPECT_EQ(Snapshot(outside), before);
    std::set<std::string> refused{"nested/a/b/c/deep file.txt"};
    for (int i = 0; i < 3; ++i) refused.insert("Documents/note " + std::to_string(i) + ".txt");
    EXPECT_EQ(Failures(1), refused);
    EXPECT_EQ(ReadFile(target / "top level.txt"), "top");  // the link replaced by the copy
}

TEST_F(TransferDbTest, HistoryKeepsTheThreeNewestButNeverPrunesARunningTask) {
    WriteFile(source / "a.txt", "a");
    for (int i = 0; i < 4; ++i) ASSERT_EQ(Copy("migrate").code, 0);
    json history = Json({"history"});
    ASSERT_EQ(history.size(), 3u);
    EXPECT_EQ(history[0]["taskID"], 4);
    EXPECT_EQ(history[2]["taskID"], 2);
    EXPECT_EQ(Run({"show", "1"}).code, 1);  // pruned with the fourth migration

    {
        // While another process migrates, its task may be older than three finished ones.
        auto running = HoldLock(LockFile(), 0, false);
        Output later = Copy("migrate");
        EXPECT_EQ(later.code, 0) << later.err;
        EXPECT_HAS(later.err,
                   "the history is not pruned while another transferdb process migrates");
        for (std::string command : {"prune", "clean"}) {
            ExpectOutput(Run({command}),
                         (Output{1, "",
                                 "transferdb: " + command +
                                     " refused: a migration or resume is running in another "
                                     "transferdb process, and its task must stay recorded; "
                                     "try again when it has ended\n"}),
                         command + " is refused while a migration runs");
        }
        EXPECT_EQ(TestDb(DbFile()).Count("SELECT COUNT(1) FROM TransferTask"), 4);
    }
    ExpectOutput(Run({"prune"}), (Output{0, "1 tasks removed, 3 kept\n", ""}),
                 "prune keeps the three newest tasks");
    ExpectOutput(Run({"clean"}), (Output{0, "3 tasks removed, 0 kept\n", ""}),
                 "clean removes every task");
    EXPECT_EQ(Json({"history"}), json::array());
    ExpectOutput(Run({"history"}), (Output{0, "no tasks recorded\n", ""}),
                 "an empty history says so");

    // A task removed by a program that takes no lock, here as soon as an outcome is recorded.
    TestDb(DbFile()).Exec(
        "CREATE TRIGGER removes AFTER UPDATE ON TransferFileInfo BEGIN "
        "DELETE FROM TransferTask WHERE taskID = NEW.taskID; END");
    Output removed = Copy("migrate");
    EXPECT_EQ(removed.code, 1);
    EXPECT_HAS(removed.err, "transferdb: task 6 was removed from the database while it ran");
}

TEST_F(TransferDbTest, RunsStartingTogetherTakeTheirOwnTasksAndReadOnlyWhatTheyScanned) {
    MakeTree(3);
    fs::path second = root / "second";
    WriteFile(second / "b.txt", "b");
    WriteFile(root / "outside" / "note 0.txt", "outside SOURCE");
    std::future<Output> firstRun, secondRun;
    {
        // Both scan, then wait for the lock under which a third run records its task.
        auto recording = HoldLock(LockFile(), 1, true);
        firstRun = Start({"migrate", source.string(), target.string()}, "first");
        secondRun =
            Start({"migrate", second.string(), (root / "second target").string()}, "second");
        const char* waiting = "waiting for another transferdb process to record its task";
        ASSERT_TRUE(Says("first", waiting));
        ASSERT_TRUE(Says("second", waiting));
        // Scanned, a SOURCE folder becomes a link to a folder outside SOURCE.
        fs::rename(source / "Documents", root / "Documents");
        fs::create_symlink(root / "outside", source / "Documents");
    }
    Output first = firstRun.get();
    Output secondOutput = secondRun.get();
    EXPECT_EQ(first.code, 3) << first.err;
    EXPECT_EQ(secondOutput.code, 0) << secondOutput.err;

    TestDb db(DbFile());
    std::string firstId =
        db.Scalar("SELECT taskID FROM TransferTask WHERE newPCModel = '" + target.string() + "'");
    std::string secondId = db.Scalar("SELECT taskID FROM TransferTask WHERE newPCModel = '" +
                                     (root / "second target").string() + "'");
    EXPECT_EQ(std::set<std::string>({firstId, secondId}), std::set<std::string>({"1", "2"}));
    EXPECT_EQ(db.Count("SELECT COUNT(1) FROM TransferFileInfo WHERE taskID = " + secondId), 1);
    std::set<std::string> refused;
    for (int i = 0; i < 3; ++i) refused.insert("Documents/note " + std::to_string(i) + ".txt");
    EXPECT_EQ(Failures(std::stoi(firstId)), refused);
    EXPECT_FALSE(fs::exists(target / "Documents"));
}

// What a support engineer reads of a task: every line of show and history.
TEST_F(TransferDbTest, ShowAndHistoryPrintTheTaskItsCountersAndItsItems) {
    for (const char* name : {"a.txt", "bb.txt", "ccc.txt"}) WriteFile(source / name, name);
    fs::create_directories(source / "empty");
    ASSERT_EQ(Copy("migrate", {"--fail-every", "3"}).code, 3);
    const std::string time = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d";
    const std::string shown = Run({"show", "1"}).out;
    const struct {
        std::string line;  // a regular expression for a whole line
        const char* behaviour;
    } lines[] = {
        {"task 1: finished with failures", "the task's state"},
        {"  started        " + time, "when it started"},
        {"  last progress  " + time, "when it last recorded progress"},
        {"  elapsed        \\d+:\\d\\d:\\d\\d", "how long it took"},
        {"  target         " + target.string(), "where it copied to"},
        {"  files          2 of 3 copied \\(11 B\\)", "the files copied of those selected"},
        {"  empty folders  1", "the empty folders copied"},
        {"  failed files   1", "the failed files"},
        {"applications \\(3\\)", "the applications' heading"},
        {"  Text Editor   download 1  install 0", "an application in its table"},
        {"settings \\(3\\)", "the settings' heading"},
        {"  Mouse pointer speed  result 1", "a setting in its table"},
        {"bookmarks \\(2\\)", "the bookmarks' heading"},
        {"  Web browser \\(work profile\\)", "a browser"},
    };
    for (const auto& expected : lines) {
        EXPECT_TRUE(std::regex_search(shown, std::regex("(^|\n)" + expected.line + "\n")))
            << expected.behaviour << "\n"
            << shown;
    }
    const std::string history = Run({"history"}).out;
    EXPECT_TRUE(std::regex_match(
        history, std::regex("TASK  STARTED +ELAPSED  FILES  SIZE  APPS  SETTINGS  STATUS +TARGET\n"
                            "1     " +
                            time +
                            "  \\d+:\\d\\d:\\d\\d  2/3    11 B  3/3   3/3       "
                            "finished with failures  " +
                            target.string() + "\n")))
        << "the history's table, its columns aligned\n"
        << history;
}

TEST_F(TransferDbTest, CheckReportsAnOlderLayoutAndHostileTablesAreReadInBoundsOrRefused) {
    WriteFile(source / "a.txt", "a");
    ASSERT_EQ(Copy("migrate").code, 0);
    json current = Json({"check"});
    EXPECT_EQ(current["integrityOk"], true);
    EXPECT_EQ(current["layoutCurrent"], true);
    EXPECT_EQ(current["database"], DbFile().string());

    // A count of rows taken from the file sizes what `show` reads: beyond 10,000 it shows a part.
    // The run recorded three applications and three settings.
    TestDb(DbFile()).Exec(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n LIMIT 9998) INSERT INTO "
        "TransferAppInfo (taskID, appName, downStatusIndex, installStatusIndex, appIconPath) "
        "SELECT 1, 'app ' || i, 1, 2, '' FROM n");
    json many = Json({"show", "1"});
    EXPECT_EQ(many["applications"].size(), 10000u);
    EXPECT_EQ(many["applications"][9999]["appName"], "app 9997");
    EXPECT_EQ(many["applicationsCut"], true);
    EXPECT_FALSE(many.contains("settingsCut"));
    const Output shown = Run({"show", "1"});
    EXPECT_EQ(shown.code, 0) << shown.err;
    EXPECT_HAS(shown.out, "applications (10001, the first 10000 shown)\n");
    EXPECT_HAS(shown.out, "settings (3)\n");

    {
        TestDb db(DbFile());
        db.Exec("DROP INDEX fileIndex");
        db.Exec("ALTER TABLE TransferTask DROP COLUMN newPCModel");
    }
    for (int run = 0; run < 2; ++run) {  // the check itself changes nothing
        json older = Json({"check"});
        EXPECT_EQ(older["integrityOk"], true);
        EXPECT_EQ(older["layoutCurrent"], false);
        EXPECT_EQ(older["missing"], json({"TransferTask.newPCModel", "index fileIndex"}));
    }
    ExpectOutput(Run({"report", "1"}),
                 (Output{1, "",
                         "transferdb: " + DbFile().string() +
                             " has an older layout (it lacks TransferTask.newPCModel); transferdb "
                             "history brings it up to date\n"}),
                 "report refuses a layout it cannot read");

    // A view in a table's place could be endless: nothing reads it, nor lets the library do so.
    TestDb(DbFile()).Exec(
        "ALTER TABLE TransferFileInfo RENAME TO Kept; CREATE VIEW TransferFileInfo AS "
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT 1 AS taskID, "
        "'' AS fileName, '' AS sendFilePath, 0 AS errCode, '' AS targetPath, 0 AS status FROM n");
    // clang-format off
    const Commands reading{{"show", "1"}, {"failures", "1"}, {"report", "1"}, {"history"},
                           {"migrate", source, target}};
    // clang-format on
    for (const auto& command : reading) {
        ExpectOutput(Run(command),
                     (Output{1, "",
                             "transferdb: refusing to read " + DbFile().string() +
                                 ": TransferFileInfo is a view, not the library's table "
                                 "(transferdb check shows its layout)\n"}),
                     "a view in a table's place is refused by " + command[0]);
    }
    const Output checked = Run({"check", "--json"});  // shown, and refused as the others do
    EXPECT_EQ(checked.code, 1);
    EXPECT_EQ(
        json::parse(checked.out)["missing"],
        json({"table TransferFileInfo is a view", "TransferTask.newPCModel", "index fileIndex"}));

    // A virtual table in a table's place is refused as a view is; its module need not exist to
    // be named.
    {
        TestDb db(DbFile());
        db.Exec("DROP VIEW TransferFileInfo; ALTER TABLE Kept RENAME TO TransferFileInfo");
        db.Exec("PRAGMA writable_schema = ON");
        db.Exec(
            "UPDATE sqlite_master SET sql = 'CREATE VIRTUAL TABLE TransferBookmarkInfo USING "
            "elsewhere(taskID, browserName)' WHERE name = 'TransferBookmarkInfo'");
    }
    ExpectOutput(Run({"show", "1"}),
                 (Output{1, "",
                         "transferdb: refusing to read " + DbFile().string() +
                             ": TransferBookmarkInfo is a virtual table, not the library's table "
                             "(transferdb check shows its layout)\n"}),
                 "a virtual table in a table's place is refused");

    for (const char* end : {"-wal", "-shm"}) fs::remove(DbFile().string() + end);
    WriteFile(DbFile(), std::string(8192, 'x'));
    Output broken = Run({"check"});
    EXPECT_EQ(broken.code, 1);
    EXPECT_HAS(broken.err, "not a readable database");
}

TEST_F(TransferDbTest, NoDatabaseUnknownTasksAndBadArgumentsAreRefused) {
    WriteFile(source / "a.txt", "a");
    // clang-format off
    for (const auto& command : Commands{{"history"}, {"show", "1"}, {"failures", "1"}, {"check"},
                                        {"report", "1"}, {"prune"}, {"clean"},
                                        {"resume", source, target}}) {
        // clang-format on
        Output output = Run(command);
        EXPECT_EQ(output.code, 1) << command[0];
        EXPECT_HAS(output.err, "no migration database at " + DbFile().string());
        EXPECT_TRUE(output.out.empty()) << output.out;
    }
    EXPECT_FALSE(fs::exists(DbFile()));
    ASSERT_EQ(Copy("migrate").code, 0);
    for (const char* command : {"show", "failures", "report"}) {
        Output unknown = Run({command, "9"});
        EXPECT_EQ(unknown.code, 1);
        EXPECT_HAS(unknown.err, "unknown task 9 (the newest tasks: 1)");
    }

    // Each with the first line the user reads.
    const std::string dataDir = "--data-dir=" + data.string();
    std::vector<std::pair<std::vector<std::string>, std::string>> bad{
        {{"show", "abc"}, "TASK: 'abc' is not a whole number from 1 to 2147483647"},
        {{"show", "0"}, "TASK: '0' is not a whole number"},
        {{"show", " 1"}, "TASK: ' 1' is not a whole number"},
        {{"show", "4294967297"}, "TASK: '4294967297' is not a whole number"},
        {{"show", "1", "2", "3"}, "The following arguments were not expected: 2 3"},
        {{"frobnicate"}, "The following argument was not expected: frobnicate"},
        {{"--frobnicate"}, "The following argument was not expected: --frobnicate"},
        {{},
         "A subcommand (migrate, resume, verify, history, show, failures, check, report, prune or "
         "clean) "
         "is required"},
        // After "--" every argument is positional, an option's name too.
        {{"history", "--", "--data-dir", "D"},
         "The following arguments were not expected: --data-dir D"},
        {{"show", "--", "1", "--json"}, "The following argument was not expected: --json"},
        {{"history", "--data-dir", ""}, "--data-dir: an empty folder name names no folder"},
        {{"migrate", (root / "missing").string(), target.string()}, "transferdb: SOURCE "},
        {{"migrate", source.string(), (source / "inside").string()},
         "transferdb: SOURCE and TARGET must not lie inside each other"},
        {{"migrate", source.string(), (source / "a.txt").string()}, "transferdb: TARGET "},
        {{"migrate", source.string(), target.string(), "--fail-every", "-1"},
         "--fail-every: '-1' is not a whole number from 1 to 1000000000"},
        {{"migrate", source.string(), target.string(), "--workers", "0"},
         "--workers: '0' is not a whole number from 1 to 64"},
        {{"migrate", source.string(), target.string(), "--workers"},
         "--workers: 1 required INT:N in [1, 64] missing"},
        {{"resume", source.string(), target.string(), "--wait", "1s"},
         "--wait: '1s' is not a whole number from 0 to 1000000000"},
        {{"migrate", source.string(), target.string(), "--stop-after", "1000000001"},
         "--stop-after: '1000000001' is not a whole number from 1 to 1000000000\n"},
    };
    for (auto [arguments, message] : bad) {
        arguments.insert(arguments.begin(), dataDir);
        Output output = Run(arguments, true);
        EXPECT_EQ(output.code, 2) << output.err;
        EXPECT_EQ(output.err.rfind(message, 0), 0u) << output.err;
    }
    const Output help = Run({"show", "--help"}, true);
    EXPECT_EQ(
        help.out.rfind("a task's counters and items\nUsage: transferdb show [OPTIONS] TASK\n\n", 0),
        0u)
        << "the usage names what the command takes, and nothing it keeps to refuse\n"
        << help.out;
    // After "--" every argument is a folder, even one that looks like an option.
    fs::create_directories(root / "-x");
    Output dashes = Run({"migrate", dataDir, "--", "-x", "--target"}, true);
    EXPECT_EQ(dashes.code, 0) << dashes.err;
    EXPECT_EQ(Json({"history"})[0]["newPCModel"], (root / "--target").string());
    EXPECT_EQ(Json({"history"}).size(), 2u);  // none of the refused ones recorded a task
}

TEST_F(TransferDbTest, OutputThatCannotBeWrittenFailsTheCommand) {
    ExpectOutput(Run({"--version"}, true),
                 (Output{0,
                         std::string("transferdb " DATABASE_VERSION " (SQLite ") +
                             sqlite3_libversion() + ")\n",
                         ""}),
                 "--version names the version and its SQLite");
    WriteFile(source / "a.txt", "a");
    ASSERT_EQ(Copy("migrate", {"--fail-every", "1"}).code, 3);
    output = "/dev/full";
    for (const auto& command :
         Commands{{"failures", "1"}, {"history"}, {"check", "--json"}, {"--version"}}) {
        ExpectOutput(
            Run(command),
            (Output{1, "", "transferdb: cannot write the output: No space left on device\n"}),
            "output that cannot be written fails " + command[0]);
    }
    output.clear();
    ExpectOutput(Run({"report", "1", "-o", "/dev/full"}),
                 (Output{1, "",
                         "transferdb: cannot write the report to /dev/full: No space left on "
                         "device\n"}),
                 "a report that cannot be written fails");
}

TEST_F(TransferDbTest, ARunWaitsForAnotherProcessOnlyAsLongAsItIsTold) {
    WriteFile(source / "a.txt", "a");
    const struct {
        off_t byte;
        std::string waitingFor;
    } held[] = {{0, "a prune or clean in another transferdb process to end"},
                {1, "another transferdb process to record its task"}};
    for (const auto& lock : held) {
        auto holding = HoldLock(LockFile(), lock.byte, true);
        ExpectOutput(Copy("migrate", {"--wait", "1"}),
                     (Output{1, "",
                             "transferdb: waiting for " + lock.waitingFor +
                                 "\ntransferdb: gave up after 1 s waiting for " + lock.waitingFor +
                                 ": it holds " + LockFile().string() +
                                 " (a stopped process holds it until it ends; --wait SECONDS "
                                 "waits longer)\n"}),
                     "a run gives up waiting for " + lock.waitingFor);
    }
    EXPECT_EQ(TestDb(DbFile()).Count("SELECT COUNT(1) FROM TransferTask"), 0);
}

TEST_F(TransferDbTest, ReportShowsTheTaskAndItsFailuresByCauseAndFolderAndRunsNothingItReads) {
    // Texts that would be markup, or end the page's script, were they not shown as text.
    const std::string image = "<img src=x onerror=document.title=1>.txt";
    const std::string script = "</script><script>document.title=2</script>";
    for (int i = 0; i < 6; ++i) {
        WriteFile(source / "Documents" / ("note " + std::to_string(i) + ".txt"), "n");
    }
    target = root / "<b onmouseover=document.title=3>target";
    ASSERT_EQ(Copy("migrate", {"--fail-every", "3"}).code, 3);  // 2 of 6 failed
    TestDb(DbFile()).Exec(
        "INSERT INTO TransferFileInfo (taskID, fileName, sendFilePath, errCode, status) VALUES "
        "(1, '" +
        image + "', '/old pc/Music/" + image +
        "', 13, 0), "
        "(1, '" +
        script +
        "', '/old pc/Music/x', 1, 0), (1, 'full.txt', '/old pc/full.txt', 28, "
        "0), (1, 'later.txt', '/old pc/later.txt', 0, -1)");
    const fs::path page = root / "report.html";
    const Output written = Run({"report", "1", "-o", page.string()});
    EXPECT_EQ(written.code, 0) << written.err;
    EXPECT_HAS(written.out, "; 5 of 5 failed files listed)\n");

    const std::string dom = Browse(page);
    for (const std::string& part :
         {std::string("<title>Migration report: task 1</title>"),
          std::string("<dd id=\"target\">") + root.string() +
              "/&lt;b onmouseover=document.title=3&gt;target</dd>",
          std::string("<b id=\"copied\">4</b>"), std::string("<b id=\"failed\">5</b>"),
          std::string("<b id=\"pending\">1</b>"), std::string("<b id=\"entries\">10</b>"),
          // The causes, the most frequent first; each with its folders, drawn by the script.
          std::string("<h3>No permission <span class=\"count\">2 files</span></h3>"),
          std::string("<summary><span class=\"folder\">/old pc/Music</span><span "
                      "class=\"count\">2 files</span></summary>"),
          std::string("<h3>Failed on purpose <span class=\"count\">2 files</span></h3>"),
          std::string("<h3>The new PC's disk was full <span class=\"count\">1 file</span>")}) {
        EXPECT_HAS(dom, part);
    }
    EXPECT_EQ(dom.find("and others"), std::string::npos) << "every cause's codes are named";
    EXPECT_LT(dom.find("No permission"), dom.find("Failed on purpose"));
    EXPECT_LT(dom.find("Failed on purpose"), dom.find("disk was full"));

    // The search filters the listed files by name or folder, whatever the case.
    const std::string found = Browse(page, "#search=OLD%20PC%2Fmusic");
    EXPECT_HAS(found, "<p id=\"matches\">2 listed files of 5 match</p>");
    EXPECT_HAS(found, "<span class=\"name\">&lt;img src=x onerror=document.title=1&gt;.txt</span>");
    EXPECT_HAS(found,
               "<span class=\"name\">&lt;/script&gt;&lt;script&gt;document.title=2&lt;/"
               "script&gt;</span>");
    for (const std::string& shown : {dom, found}) {
        EXPECT_HAS(shown, "<title>Migration report: task 1</title>");  // no script set it
        EXPECT_EQ(shown.find("<img"), std::string::npos);
        EXPECT_EQ(shown.find("<b onmouseover"), std::string::npos);
    }
}

TEST_F(TransferDbTest, ReportListsAHundredThousandFailuresInAFewMegabytesAndCountsTheRest) {
    WriteFile(source / "a.txt", "a");
    ASSERT_EQ(Copy("migrate").code, 0);
    TestDb(DbFile()).Exec(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100001) "
        "INSERT INTO TransferFileInfo (taskID, fileName, sendFilePath, errCode, status) "
        "SELECT 1, 'file ' || i || '.txt', '/old pc/folder ' || (i % 500) || '/file ' || i || "
        "'.txt', 13, 0 FROM n");
    const fs::path page = root / "report.html";
    const Output written = Run({"report", "1", "-o", page.string()});
    EXPECT_EQ(written.code, 0) << written.err;
    EXPECT_HAS(written.out, "; 100,000 of 100,001 failed files listed)\n");
    EXPECT_LT(fs::file_size(page), 4u << 20);

    const std::string dom = Browse(page, "#search=.TXT");
    EXPECT_HAS(dom, "<h3>No permission <span class=\"count\">100,001 files</span></h3>");
    EXPECT_HAS(dom,
               "1 more failed file is counted but not listed here: <code>transferdb "
               "failures 1 --json</code> lists them all.");
    EXPECT_HAS(dom, "<p id=\"matches\">100,000 listed files of 100,000 match</p>");
}

}  // namespace

namespace {

// A copy changed after the migration, in each way verify tells apart; what verify records for
// it, and how it says so.
struct Damage {
    const char* entry;  // below SOURCE
    std::function<void(const fs::path& copy, const fs::path& source)> damage;
    const char* difference;  // as in JSON
    int recordedCode;        // 0: not marked
    const char* behaviour;
};

TEST_F(TransferDbTest, VerifyFindsEveryCopyThatIsNotItsSourceAndResumeCopiesThemAgain) {
    MakeTree(6);
    ASSERT_EQ(Copy("migrate").code, 0);
    const std::vector<Damage> damages{
        {"Documents/note 0.txt",
         [](const fs::path& copy, const fs::path& source) {
             WriteFile(copy, "note number X");  // the same size and time, another byte
             fs::last_write_time(copy, fs::last_write_time(source));
         },
         "content", 1000002, "a changed byte is found by the content"},
        {"Documents/note 1.txt",
         [](const fs::path& copy, const fs::path&) { fs::resize_file(copy, 3); }, "size", 1000002,
         "a truncated copy is found by its size"},
        {"Documents/note 2.txt", [](const fs::path& copy, const fs::path&) { fs::remove(copy); },
         "missing", 1000003, "a deleted copy is missing"},
        {"Documents/note 3.txt",
         [](const fs::path& copy, const fs::path&) {
             fs::last_write_time(copy, fs::last_write_time(copy) - std::chrono::hours(1));
         },
         "time", 1000002, "a copy touched since is found by its modification time"},
        {"empty folder", [](const fs::path& copy, const fs::path&) { fs::remove(copy); }, "missing",
         1000003, "an empty folder gone from TARGET is missing"},
        {"link to Documents",
         [](const fs::path& copy, const fs::path&) {
             fs::remove(copy);
             WriteFile(copy, "Documents");
         },
         "kind", 1000002, "a file in a link's place is another kind of entry"},
        {"nested/a/b/c/deep file.txt",
         [](const fs::path& copy, const fs::path&) {
             fs::remove_all(copy.parent_path().parent_path());
         },
         "missing", 1000003, "a copy whose folders are gone is missing"},
        {"top level.txt", [](const fs::path&, const fs::path& source) { fs::remove(source); },
         "sourceGone", 1, "a source deleted since is not compared, and stays copied"},
        {"Documents/note 4.txt",
         [](const fs::path& copy, const fs::path&) {
             struct stat from {};
             stat(copy.c_str(), &from);
             const timespec times[2] = {{0, UTIME_OMIT},
                                        {from.st_mtim.tv_sec, from.st_mtim.tv_nsec / 1000 * 1000}};
             utimensat(AT_FDCWD, copy.c_str(), times, 0);
         },
         "", 1, "a time cut to a coarser clock (microseconds) is the source's"},
    };
    for (const Damage& damage : damages)
        damage.damage(target / damage.entry, source / damage.entry);

    const std::map<std::string, std::string> damaged = Snapshot(target);
    const Output run = Run({"verify", source.string(), target.string(), "--json"});
    EXPECT_EQ(Snapshot(target), damaged) << "verify changes nothing in TARGET";
    EXPECT_EQ(run.code, 3) << "some copies differ\n" << run.err;
    const json found = json::parse(run.out);
    std::map<std::string, std::string> differences;
    for (const json& item : found["mismatches"]) {
        differences[fs::path(item["sendFilePath"].get<std::string>()).lexically_relative(source)] =
            item["difference"];
    }
    for (const json& path : found["goneFromSource"]) {
        differences[fs::path(path.get<std::string>()).lexically_relative(source)] = "sourceGone";
    }
    TestDb db(DbFile());
    for (const Damage& damage : damages) {
        EXPECT_EQ(differences[damage.entry], damage.difference) << damage.behaviour;
        EXPECT_EQ(db.Scalar("SELECT status * 10000000 + errCode FROM TransferFileInfo WHERE "
                            "sendFilePath = '" +
                            (source / damage.entry).string() + "'"),
                  std::to_string(damage.recordedCode == 1 ? 10000000 : damage.recordedCode))
            << damage.behaviour << ": its row";
    }
    const auto differing = std::count_if(damages.begin(), damages.end(),
                                         [](const Damage& d) { return *d.difference != '\0'; });
    EXPECT_EQ(differences.size(), damages.size()) << "every other copy is its source";
    EXPECT_EQ(found["same"], found["compared"].get<int>() - static_cast<int>(differing))
        << "the count of copies that are their source";
    EXPECT_EQ(found["resumable"], true) << "the newest task is left to a resume";
    const json task = Json({"show", "1"});
    EXPECT_EQ(task["history"]["state"], "unfinished") << "the task waits for a resume";
    EXPECT_EQ(task["completeEmptyFolderNum"], 0) << "the missing folder is no longer counted";
    EXPECT_EQ(task["failedFiles"], 7) << "the marked copies count as failures until then";

    const Output resume = Copy("resume");
    EXPECT_EQ(resume.code, 0) << "resume copies the marked entries again\n" << resume.err;
    EXPECT_HAS(resume.out, "failed: 0; gone from SOURCE: 1; left to copy: 7\n");
    EXPECT_HAS(resume.out, "  to copy again, found different or missing by verify: 7\n");
    std::map<std::string, std::string> copied = Snapshot(target);
    EXPECT_EQ(copied.erase("top level.txt"), 1u) << "a copy whose source is gone stays";
    EXPECT_EQ(copied, Snapshot(source)) << "TARGET is SOURCE again";
    const Output again = Run({"verify", source.string(), target.string()});
    EXPECT_EQ(again.code, 0) << "nothing differs after the resume\n" << again.out;
    EXPECT_HAS(again.out,
               "task 1: 19 of 20 entries are their source; 0 differ or are missing, "
               "1 gone from SOURCE\n");
    EXPECT_HAS(again.out,
               "  gone from SOURCE, not compared: " + (source / "top level.txt").string());
}

TEST_F(TransferDbTest, VerifyComparesOnlyTheTaskItIsGivenAndRefusesWhatItCannotCompare) {
    WriteFile(source / "a.txt", "a");
    EXPECT_EQ(Run({"verify", source.string(), target.string()}).code, 2) << "TARGET must exist";
    ASSERT_EQ(Copy("migrate").code, 0);
    const fs::path second = root / "second target";
    ASSERT_EQ(Run({"migrate", source.string(), second.string()}).code, 0);
    WriteFile(target / "a.txt", "b");

    const struct {
        std::vector<std::string> arguments;
        int code;
        std::string said;  // the start of stderr, or a line of stdout for exit 3
        const char* behaviour;
    } rows[] = {
        {{"verify", source.string(), second.string()},
         0,
         "task 2: 1 of 1 entries are their source; 0 differ or are missing, 0 gone from SOURCE\n",
         "the newest task by default"},
        {{"verify", source.string(), target.string()},
         2,
         "transferdb: task 2 migrated into " + second.string() + ", not into TARGET " +
             target.string() + "\n",
         "TARGET must be the task's"},
        {{"verify", (root / "data").string(), second.string()},
         2,
         "transferdb: task 2 did not migrate SOURCE " + (root / "data").string() +
             ": it recorded " + (source / "a.txt").string() + "\n",
         "SOURCE must be the task's"},
        {{"verify", source.string(), target.string(), "--task", "9"},
         1,
         "transferdb: unknown task 9 (the newest tasks: 2, 1)\n",
         "an unknown task"},
        {{"verify", source.string(), target.string(), "--task", "1"},
         3,
         "they are marked failed; only the newest task resumes: transferdb migrate SOURCE "
         "TARGET copies SOURCE again as a new task\n",
         "an older task is marked, and left finished with failures"},
    };
    for (const auto& row : rows) {
        const Output output = Run(row.arguments);
        EXPECT_EQ(output.code, row.code) << row.behaviour << "\n" << output.err;
        if (row.code == 3 || row.code == 0) {
            EXPECT_HAS(output.out, row.said) << row.behaviour;
        } else {
            EXPECT_EQ(output.err, row.said) << row.behaviour;
        }
    }
    const json history = Json({"history"});
    EXPECT_EQ(history[1]["state"], "finished with failures") << "the older task after verify";
    EXPECT_EQ(history[0]["state"], "finished") << "the newest task, whose copies are whole";

    auto copying = HoldLock(LockFile(), 1024 + 2, true);
    const Output busy = Run({"verify", source.string(), second.string()});
    EXPECT_EQ(busy.code, 1) << "a task being copied is not verified";
    EXPECT_EQ(busy.err,
              "transferdb: task 2 is being copied by another transferdb process; verify it once "
              "that process has ended\n");
}

// On a terminal the progress is one line redrawn in place; elsewhere no escape reaches the file.
TEST_F(TransferDbTest, ProgressIsOneLineRedrawnOnATerminalAndPlainElsewhere) {
    MakeTree(4100);  // past the entries queued ahead of the copies and the comparisons
    const Output plain = Copy("migrate");
    ASSERT_EQ(plain.code, 0) << plain.err;
    EXPECT_EQ(plain.err.find('\r'), std::string::npos) << "no redrawing into a file";
    EXPECT_EQ(plain.err.find('\x1b'), std::string::npos) << "no escape into a file";

    // `script` gives a run a terminal; what the terminal received is its output.
    const auto onTerminal = [&](const std::string& arguments, int code) {
        const fs::path screen = root / "screen";
        const std::string command =
            "script -qec " +
            Quote(Quote(TRANSFERDB_PATH) + " " + arguments + " --data-dir " + Quote(data)) +
            " /dev/null > " + Quote(screen) + " 2>&1";
        EXPECT_EQ(WEXITSTATUS(std::system(command.c_str())), code) << command;
        return ReadFile(screen);
    };
    const std::string stopped = onTerminal(
        "migrate " + Quote(source) + " " + Quote(root / "stopped") + " --stop-after 3000", 4);
    EXPECT_HAS(stopped, "\r0 of 4,113 files, 0 B of ") << "migrate draws its line too";
    EXPECT_HAS(stopped, "\r\x1b[Ktransferdb: --stop-after 3000: stopping here")
        << "a note clears the line before it is written";
    const std::string shown =
        onTerminal("verify " + Quote(source) + " " + Quote(target) + " --task 1", 0);
    EXPECT_HAS(shown, "\r0 of 4,114 files, 0 B of ") << "the line drawn as the run starts";
    EXPECT_HAS(shown, "\r4,114 of 4,114 files, ") << "and redrawn in place with the last figures";
    EXPECT_HAS(shown, "(100%)") << "the share done";
    EXPECT_HAS(shown, "\x1b[K\r\n") << "the line ended once done";
    EXPECT_HAS(shown, "task 1: 4,114 of 4,114 entries are their source") << "then the result";
}

}  // namespace
