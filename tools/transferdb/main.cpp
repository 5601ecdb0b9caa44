// transferdb: runs a real local migration on the DataBase library, resumes it after an
// interruption, and shows support engineers what a migration database holds.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <sstream>
#include <limits>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <CLI/CLI.hpp>
#include <sqlite3.h>

#include "Console.h"
#include "Reports.h"
#include "Library.h"
#include "Locks.h"
#include "Migration.h"
#include "Tool.h"
#include "Verify.h"

using namespace transferdb;

namespace {

const char* const kFooter = R"(
The library keeps its database in <data folder>/Voded/Corvanel/corvanel.db. The data folder is
the all-users application-data folder: on POSIX $PROGRAMDATA, else /var/lib; --data-dir DIR sets
PROGRAMDATA for this process, so that nothing needs root. On Windows the library always uses
the folder the system names (normally C:\ProgramData), and --data-dir accepts only that folder.

Exit codes: 0 done; 1 no database, unknown task, no task to resume, a database that is not
the library's layout, a run refused or overtaken by another one, or a library error; 2 bad
argument; 3 the migration ended but some files failed, or verify found copies that differ from
their source or are missing; 4 stopped by --stop-after.)";

// A whole number in [least, most], written as plain decimal digits: no sign, space, base prefix
// or fraction. The text is rewritten without leading zeros, since CLI11 would read "010" as
// octal.
CLI::Validator WholeNumber(long long least, long long most) {
    return CLI::Validator(
        [least, most](std::string& text) -> std::string {
            long long value = 0;
            bool digits =
                !text.empty() && text.size() <= 18 &&
                std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
            if (digits) value = std::stoll(text);
            if (!digits || value < least || value > most) {
                return "'" + text + "' is not a whole number from " + std::to_string(least) +
                       " to " + std::to_string(most);
            }
            text = std::to_string(value);
            return "";
        },
        "N in [" + std::to_string(least) + ", " + std::to_string(most) + "]");
}

constexpr long long kLargestCount = 1000000000;
constexpr long long kLargestTask = std::numeric_limits<int>::max();

struct Settings {
    std::string dataDir;
    bool json = false;
    int taskId = 0;
    std::string reportFile;
    int waitSeconds = 60;
    int verifyTask = 0;
    MigrationOptions migration;
    std::vector<std::string> extras;  // the positional arguments no command takes
};

void AddDataDir(CLI::App& command, Settings& settings) {
    command
        .add_option("--data-dir", settings.dataDir,
                    "the all-users data folder for this process (see below)")
        ->check(CLI::Validator(
            [](const std::string& text) {
                return text.empty() ? std::string("an empty folder name names no folder") : "";
            },
            "DIR"));
}

// SOURCE, TARGET and the options of every command that reads or writes them.
void AddFolders(CLI::App& command, Settings& settings, const char* workers) {
    command.add_option("SOURCE", settings.migration.source, "the folder to migrate")->required();
    command.add_option("TARGET", settings.migration.target, "the folder it goes to")->required();
    command.add_option("--workers", settings.migration.workers, workers)
        ->transform(WholeNumber(1, 64));
    command
        .add_option("--wait", settings.waitSeconds,
                    "give up after SECONDS waiting for another transferdb process (default 60)")
        ->transform(WholeNumber(0, kLargestCount));
}

void AddStopAfter(CLI::App& command, Settings& settings) {
    command
        .add_option("--stop-after", settings.migration.stopAfter,
                    "end the process after N entries, as a crash would")
        ->transform(WholeNumber(1, kLargestCount));
}

CLI::App* AddReading(CLI::App& app, const char* name, const char* what, Settings& settings) {
    CLI::App* command = app.add_subcommand(name, what);
    command->add_flag("--json", settings.json, "print JSON");
    AddDataDir(*command, settings);
    return command;
}

void AddTask(CLI::App& command, Settings& settings) {
    command.add_option("TASK", settings.taskId, "the task's id")
        ->required()
        ->transform(WholeNumber(1, kLargestTask));
}

// After "--" every argument is positional. CLI11 hands the arguments after it back to the main
// command, which parses them as options again, once a command has no positional left to fill;
// a last positional that takes any number keeps them in the command, to be refused here.
void KeepExtras(CLI::App& app, Settings& settings) {
    for (CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
        command->add_option("EXTRAS", settings.extras)->group("");
    }
}

// Usage lines without that hidden positional.
class Help : public CLI::Formatter {
public:
    std::string make_option_usage(const CLI::Option* option) const override {
        return option->get_group().empty() ? "" : CLI::Formatter::make_option_usage(option);
    }
    std::string make_usage(const CLI::App* app, std::string name) const override {
        std::string usage = CLI::Formatter::make_usage(app, std::move(name));
        const size_t space = usage.find(" \n");
        if (space != std::string::npos) usage.erase(space, 1);
        return usage;
    }
};

// "The following arguments were not expected: a b", as CLI11 words it, in the order given.
std::string NotExpected(const std::vector<std::string>& extras) {
    std::string message = extras.size() > 1 ? "The following arguments were not expected:"
                                            : "The following argument was not expected:";
    for (const std::string& extra : extras) message += " " + extra;
    return message;
}

// A bad command line: what is wrong, echoed printable like every other line of the tool.
int Usage(const std::string& message) {
    Console::Get().Note(message);
    Console::Get().Note("Run with --help for more information.");
    return kExitUsage;
}

// Output that could not be written (a full disk, a file system gone) ends the command as a
// failure: what reads it would take a part for the whole.
int Finish(int code) {
    const int error = std::fflush(stdout) != 0 ? errno : 0;
    if (error == 0 && !std::ferror(stdout)) return code;
    Console::Get().Note("transferdb: cannot write the output: " +
                        (error != 0 ? std::generic_category().message(error) : "write failed"));
    return kExitFailure;
}

int Run(int argc, char** argv) {
    CLI::App app{"A local migration on the DataBase library, and a view of its database",
                 "transferdb"};
    app.footer(kFooter);
    app.formatter(std::make_shared<Help>());
    app.set_version_flag("--version", std::string("transferdb ") + TRANSFERDB_VERSION +
                                          " (SQLite " + sqlite3_libversion() + ")");
    Settings settings;
    AddDataDir(app, settings);

    CLI::App* migrate = app.add_subcommand("migrate", "migrate SOURCE into TARGET as a new task");
    AddFolders(*migrate, settings, "copying threads");
    AddStopAfter(*migrate, settings);
    migrate
        ->add_option("--fail-every", settings.migration.failEvery, "fail every Nth file on purpose")
        ->transform(WholeNumber(1, kLargestCount));
    AddDataDir(*migrate, settings);
    CLI::App* resume =
        app.add_subcommand("resume", "finish the newest task, interrupted while migrating");
    AddFolders(*resume, settings, "copying threads");
    AddStopAfter(*resume, settings);
    AddDataDir(*resume, settings);
    CLI::App* verify = app.add_subcommand(
        "verify", "compare what a task copied with SOURCE; mark what differs to be copied again");
    AddFolders(*verify, settings, "comparing threads");
    verify->add_option("--task", settings.verifyTask, "the task to verify (default: the newest)")
        ->transform(WholeNumber(1, kLargestTask));
    verify->add_flag("--json", settings.json, "print JSON");
    AddDataDir(*verify, settings);
    CLI::App* history = AddReading(app, "history", "the three newest tasks", settings);
    CLI::App* show = AddReading(app, "show", "a task's counters and items", settings);
    AddTask(*show, settings);
    CLI::App* failures = AddReading(app, "failures", "a task's failed files", settings);
    AddTask(*failures, settings);
    CLI::App* check = AddReading(
        app, "check", "the database's integrity and whether its layout is current", settings);
    CLI::App* report = app.add_subcommand(
        "report", "a task, its failures and the database's check in one HTML file");
    AddTask(*report, settings);
    report->add_option("-o,--output", settings.reportFile,
                       "the file to write (default: transferdb-task-TASK.html here)");
    AddDataDir(*report, settings);
    CLI::App* prune = app.add_subcommand("prune", "keep only the three newest tasks");
    AddDataDir(*prune, settings);
    CLI::App* clean = app.add_subcommand("clean", "remove every task");
    AddDataDir(*clean, settings);
    KeepExtras(app, settings);

    std::vector<std::string> arguments = Utf8Arguments(argc, argv);
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
    try {
        app.parse(static_cast<int>(pointers.size()), pointers.data());
        if (app.get_subcommands().empty()) {
            throw CLI::RequiredError(
                "A subcommand (migrate, resume, verify, history, show, failures, "
                "check, report, prune or clean)");
        }
        if (!settings.extras.empty()) return Usage(NotExpected(settings.extras));
    } catch (const CLI::Success& done) {  // --help, --help-all, --version
        std::ostringstream text;  // printed as every other output, so that Finish sees its errors
        const int code = app.exit(done, text);
        std::fputs(text.str().c_str(), stdout);
        return code == 0 ? kExitOk : kExitUsage;
    } catch (const CLI::ParseError& error) {
        std::string message = error.what();
        if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
            // CLI11 2.1 lists the arguments last first; in the order given they are found. The
            // "--" that ends the options is none of them.
            std::vector<std::string> extras = app.remaining(true);
            extras.erase(std::remove(extras.begin(), extras.end(), "--"), extras.end());
            message = NotExpected(extras);
        }
        return Usage(message);
    }

    try {
        LockFile::WaitAtMost(settings.waitSeconds);
        UseDataFolder(settings.dataDir, migrate->parsed());
        if (migrate->parsed()) return Migrate(settings.migration);
        if (resume->parsed()) return Resume(settings.migration);
        if (verify->parsed()) {
            return Verify({settings.migration.source, settings.migration.target,
                           settings.verifyTask, settings.migration.workers, settings.json});
        }
        if (history->parsed()) return ShowHistory(settings.json);
        if (show->parsed()) return ShowTask(settings.taskId, settings.json);
        if (failures->parsed()) return ShowFailures(settings.taskId, settings.json);
        if (check->parsed()) return CheckDatabase(settings.json);
        if (report->parsed()) return WriteReport(settings.taskId, settings.reportFile);
        if (prune->parsed()) return PruneHistory();
        if (clean->parsed()) return CleanHistory();
    } catch (const ToolError& error) {
        std::fflush(stdout);
        Console::Get().Note(std::string("transferdb: ") + error.what());
        return error.exitCode;
    } catch (const std::exception& error) {
        std::fflush(stdout);
        Console::Get().Note(std::string("transferdb: ") + error.what());
        return kExitFailure;
    }
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) { return Finish(Run(argc, argv)); }
