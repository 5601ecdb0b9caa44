// transferdb: runs a real local migration on the DataBase library, resumes it after an
// interruption, and shows support engineers what a migration database holds.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <limits>
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

Exit codes: 0 done; 1 no database, unknown task, no task to resume, a database that is not
the library's layout, a run refused or overtaken by another one, or a library error; 2 bad
argument; 3 the migration ended but some files failed; 4 stopped by --stop-after.)";

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
    MigrationOptions migration;
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

void AddFolders(CLI::App& command, Settings& settings) {
    command.add_option("SOURCE", settings.migration.source, "the folder to migrate")->required();
    command.add_option("TARGET", settings.migration.target, "the folder it goes to")->required();
    command.add_option("--workers", settings.migration.workers, "copying threads")
        ->transform(WholeNumber(1, 64));
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

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"A local migration on the DataBase library, and a view of its database",
                 "transferdb"};
    app.footer(kFooter);
    Settings settings;
    AddDataDir(app, settings);

    CLI::App* migrate = app.add_subcommand("migrate", "migrate SOURCE into TARGET as a new task");
    AddFolders(*migrate, settings);
    migrate
        ->add_option("--fail-every", settings.migration.failEvery, "fail every Nth file on purpose")
        ->transform(WholeNumber(1, kLargestCount));
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
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
    try {
        app.parse(static_cast<int>(pointers.size()), pointers.data());
        if (app.get_subcommands().empty()) {
            throw CLI::RequiredError(
                "A subcommand (migrate, resume, history, show, failures, "
                "check, prune or clean)");
        }
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help) == 0 ? kExitOk : kExitUsage;
    } catch (const CLI::CallForAllHelp& help) {
        return app.exit(help) == 0 ? kExitOk : kExitUsage;
    } catch (const CLI::ParseError& error) {
        std::string message = error.what();
        if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
            // CLI11 2.1 lists the arguments last first; in the order given they are found.
            std::vector<std::string> extras = app.remaining(true);
            message = extras.size() > 1 ? "The following arguments were not expected:"
                                        : "The following argument was not expected:";
            for (const std::string& extra : extras) message += " " + extra;
        }
        // The arguments are echoed: printable, like every other line of the tool.
        Console::Get().Note(message);
        Console::Get().Note("Run with --help for more information.");
        return kExitUsage;
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
