// The migration database read with the tool's own SQLite: read-only, and without starting the
// library, which would bring an older layout up to date first. On POSIX such a connection must
// be closed before the library works in this process (the locks of one process do not keep two
// copies of SQLite apart).
#pragma once

#include <functional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace transferdb {

// The tables and columns of the library's current layout.
struct TableLayout {
    const char* name;
    std::vector<const char*> columns;
};
extern const std::vector<TableLayout> kLibraryLayout;

class DatabaseReader {
public:
    // The migration database of this process; throws ToolError when it cannot be opened.
    DatabaseReader();
    ~DatabaseReader();
    DatabaseReader(const DatabaseReader&) = delete;
    DatabaseReader& operator=(const DatabaseReader&) = delete;

    const std::string& File() const { return file; }

    // The text of `column` of every row; throws ToolError with SQLite's message.
    std::vector<std::string> Column(const std::string& sql, int column = 0);
    // Passes every row of `sql`, with `value` bound to ?1, to `row` as it is read.
    void ForEach(const std::string& sql, long long value,
                 const std::function<void(sqlite3_stmt*)>& row);
    void Exec(const std::string& sql);

    // The library's tables that something else has taken the place of ("TransferFileInfo is
    // a view"): a view or a virtual table can make any read of it endless.
    std::vector<std::string> ForeignTables();

private:
    std::string file;
    sqlite3* db = nullptr;
};

// Throws ToolError when a table of the library's layout is not a plain table, so that no
// command reads (or lets the library read) what could be endless. A layout that only lacks
// tables or columns passes: the library's start-up adds them.
void RequireLibraryLayout(DatabaseReader& reader);

// Throws ToolError naming the newest tasks when the file holds no task `taskId`.
void RequireTask(DatabaseReader& reader, int taskId);

// Text of a column as UTF-8; empty for NULL.
std::string ColumnText(sqlite3_stmt* row, int column);

// A name as SQLite compares table and column names: ASCII letters without case.
std::string NameKey(std::string name);

// What `check` finds: SQLite's integrity check and what the library's current layout has that
// the file lacks (a view or a virtual table in a table's place counts as lacking it).
struct DatabaseCheck {
    std::vector<std::string> integrity;  // "ok", or SQLite's findings
    bool sound = false;
    std::vector<std::string> foreign;  // "TransferFileInfo is a view"
    std::vector<std::string> missing;  // "table ...", "Table.column", "index ..."
};
DatabaseCheck CheckFile(DatabaseReader& reader);

}  // namespace transferdb
