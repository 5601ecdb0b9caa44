// transferdb: runs a real local migration on the DataBase library, resumes it after an
// interruption, and shows support engineers what a migration database holds.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "Console.h"
#include "Reports.h"
#include "Library.h"
#include "Migration.h"
#include "Tool.h"

using namespace transferdb;

namespace {

const char* const kFooter = R"(
The library keeps its database in <data folder>/Voded/Corvanel/corvanel.db. The data folder is
the all-users application-data folder: on POSIX $PROGRAMDATA, else /var/lib; --data-dir DIR sets
PROGRAMDATA for this process, so that nothing needs root. On Windows the library always uses
the folder the system names (normally C:\ProgramData), and --data-dir accepts only that folder.

Exit codes: 0 done; 1 no database, unknown task, no task to resume, or a library error;
2 bad argument; 3 the migration ended but some files failed; 4 stopped by --stop-after.)";

// A whole number from 1 up, with a message that says so.
const CLI::Validator kPositive(
    [](std::string& text) -> std::string {
        size_t used = 0;
        long value = 0;
        try {
            value = std::stol(text, &used);
        } catch (const std::exception&) {
        }
        if (used != text.size() || value < 1 || value > 1000000000) {
            return "'" + text + "' is not a whole number from 1 to 1000000000";
        }
        return "";
    },
    "N>=1");

struct Settings {
    std::string dataDir;
    bool json = false;
    int taskId = 0;
    MigrationOptions migration;
};

void AddDataDir(CLI::App& command, Settings& settings) {
    command.add_option("--data-dir", settings.dataDir,
                       "the all-users data folder for this process (see below)");
}

void AddFolders(CLI::App& command, Settings& settings) {
    command.add_option("SOURCE", settings.migration.source, "the folder to migrate")->required();
    command.add_option("TARGET", settings.migration.target, "the folder it goes to")->required();
    command.add_option("--workers", settings.migration.workers, "copying threads")
        ->check(CLI::Range(1, 64));
    command
        .add_option("--stop-after", settings.migration.stopAfter,
                    "end the process after N entries, as a crash would")
        ->check(kPositive);
}

CLI::App* AddReading(CLI::App& app, const char* name, const char* what, Settings& settings) {
    CLI::App* command = app.add_subcommand(name, what);
    command->add_flag("--json", settings.json, "print JSON");
    AddDataDir(*command, settings);
    return command;
}

void AddTask(CLI::App& command, Settings& settings) {
    command.add_option("TASK", settings.taskId, "the task's id")->required()->check(kPositive);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"A local migration on the DataBase library, and a view of its database",
                 "transferdb"};
    app.footer(kFooter);
    app.require_subcommand(1);
    Settings settings;
    AddDataDir(app, settings);

    CLI::App* migrate = app.add_subcommand("migrate", "migrate SOURCE into TARGET as a new task");
    AddFolders(*migrate, settings);
    migrate
        ->add_option("--fail-every", settings.migration.failEvery, "fail every Nth file on purpose")
        ->check(kPositive);
    AddDataDir(*migrate, settings);
    CLI::App* resume =
        app.add_subcommand("resume", "finish the newest task, interrupted while migrating");
    AddFolders(*resume, settings);
    AddDataDir(*resume, settings);
    CLI::App* history = AddReading(app, "history", "the three newest tasks", settings);
    CLI::App* show = AddReading(app, "show", "a task's counters and items", settings);
    AddTask(*show, settings);
    CLI::App* failures = AddReading(app, "failures", "a task's failed files", settings);
    AddTask(*failures, settings);
    CLI::App* check = AddReading(
        app, "check", "the database's integrity and whether its layout is current", settings);
    CLI::App* prune = app.add_subcommand("prune", "keep only the three newest tasks");
    AddDataDir(*prune, settings);
    CLI::App* clean = app.add_subcommand("clean", "remove every task");
    AddDataDir(*clean, settings);

    std::vector<std::string> arguments = Utf8Arguments(argc, argv);
    arguments.erase(arguments.begin());                // the program's name
    std::reverse(arguments.begin(), arguments.end());  // CLI11 takes them last first
    try {
        app.parse(arguments);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? kExitOk : kExitUsage;
    }

    try {
        UseDataFolder(settings.dataDir, migrate->parsed());
        if (migrate->parsed()) return Migrate(settings.migration);
        if (resume->parsed()) return Resume(settings.migration);
        if (history->parsed()) return ShowHistory(settings.json);
        if (show->parsed()) return ShowTask(settings.taskId, settings.json);
        if (failures->parsed()) return ShowFailures(settings.taskId, settings.json);
        if (check->parsed()) return CheckDatabase(settings.json);
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
