// The file tree and the document cache: recording a tree's selected files for a task,
// rebuilding that selection on resume, and the cache database with its own resume path.
#include <sqlite3.h>

#include "DataBaseManager.h"
#include "DbSession.h"
#include "SqliteText.h"

namespace {
const std::string kInsertFileInfoSql =
    "INSERT INTO TransferFileInfo (taskID,fileName,sendFilePath,targetPath) VALUES (?,?,?,?)";
const std::string kRecoveryByIdSqlPrefix =
    "SELECT fileName,sendFilePath,targetPath,status,errCode FROM TransferFileInfo where taskID = ";

const char* const kCreateCacheTableSql[] = {
    "CREATE TABLE IF NOT EXISTS normal_file (_id INTEGER PRIMARY KEY AUTOINCREMENT,filepath TEXT "
    "NOT NULL, tarpath TEXT,filesize INTEGER NOT NULL,result INTEGER, winFilePath TEXT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS small_file (_id INTEGER PRIMARY KEY AUTOINCREMENT,filepath TEXT "
    "NOT NULL, tarpath TEXT NOT NULL,filesize INTEGER NOT NULL,result INTEGER, winFilePath TEXT "
    "NOT NULL)",
    "CREATE TABLE IF NOT EXISTS empty_file (_id INTEGER PRIMARY KEY AUTOINCREMENT,filepath TEXT "
    "NOT NULL, winFilePath TEXT NOT NULL,isFolder INTEGER NOT NULL,modifyTime INTEGER NOT NULL, "
    "result INTEGER)",
};

struct CacheIndex {
    const char* sql;
    const char* failure;  // followed by SQLite's message
};
const CacheIndex kCreateCacheIndexes[] = {
    {"create index filePathIndex on normal_file(filepath)",
     "create index normal_file SQLite error:"},
    {"create index tarPathIndex on small_file(tarpath)", "create index small_file SQLite error:"},
};

const std::string kInsertNormalFileSql =
    "INSERT INTO normal_file (filepath, tarpath, filesize, winFilePath, result) VALUES (?,?,?,?,?)";
const std::string kInsertSmallFileSql =
    "INSERT INTO small_file (filepath, tarpath, filesize, winFilePath, result) VALUES (?,?,?,?,?)";
const std::string kInsertEmptyFileSql =
    "INSERT INTO empty_file (filepath, winFilePath, isFolder, modifyTime, result) VALUES "
    "(?,?,?,?,?)";
const std::string kRecoveryNormalFileSql =
    "SELECT winFilePath,filepath FROM normal_file where result = 0";
const std::string kRecoverySmallFileSql =
    "SELECT winFilePath,filepath FROM small_file where result = 0";

const std::wstring kCachePathDelimiters = L"/";

// A batch is committed once it holds more than this many rows: 10,001 rows each.
constexpr int kBatchRowLimit = 10000;

// One prepared insert for a whole bulk write, its rows committed in batches.
class BatchedInsert {
public:
    BatchedInsert(DbSession& session, const std::string& sql)
        : session(session), stmt(session.PrepareWrite(sql)) {
        if (stmt) session.Begin();
    }
    explicit operator bool() const { return static_cast<bool>(stmt); }
    sqlite3_stmt* Stmt() const { return stmt.get(); }

    // Counts a row, written or not: a failed row still takes its place in the batch.
    void RowDone() {
        if (++rows > kBatchRowLimit) {
            session.Commit();
            session.Begin();
            rows = 0;
        }
    }
    // Commits the last batch and finalizes the statement before the session closes.
    void Finish() {
        session.Commit();
        stmt = Statement();
    }

private:
    DbSession& session;
    Statement stmt;
    int rows = 0;
};

struct CacheInsert {
    const char* operation;
    const char* startLine;
    const char* finishLine;
    const std::string& sql;
};

// The scheme both bulk cache inserts follow; insertRow(stmt, record, db) writes one row.
template <class Record, class InsertRow>
void InsertCacheRecords(DataBaseManager& manager, const CacheInsert& what,
                        const std::vector<Record>& records, InsertRow&& insertRow) {
    DbSession session(manager, what.operation);
    session.Info(what.startLine);
    if (records.empty() || !session.OpenCache()) return;
    BatchedInsert insert(session, what.sql);
    if (!insert) return;
    for (const Record& record : records) {
        insertRow(insert.Stmt(), record, session.Db());
        insert.RowDone();
    }
    insert.Finish();
    session.Close();
    session.Info(what.finishLine);
}
}  // namespace

void SplitString(const std::wstring& text, const std::wstring& delimiters,
                 std::vector<std::wstring>& parts) {
    // A single delimiter, as the cache resume passes, is searched for as one character: the
    // set search looks every character of the text up in the set by a call of its own.
    const bool single = delimiters.size() == 1;
    size_t start = 0;
    for (;;) {
        size_t end =
            single ? text.find(delimiters[0], start) : text.find_first_of(delimiters, start);
        if (end == std::wstring::npos) {
            parts.push_back(text.substr(start));
            return;
        }
        parts.push_back(text.substr(start, end - start));
        start = single ? text.find_first_not_of(delimiters[0], end)
                       : text.find_first_not_of(delimiters, end);
        if (start == std::wstring::npos) return;
    }
}

// Recording the selected file list.

void DataBaseManager::InsertFileInfo(DirTreeNode* root, const int& taskId) {
    DbSession session(*this, "InsertFileInfo");
    session.Info("Start insert file info.");
    if (root == nullptr || !session.OpenWrite()) return;
    BatchedInsert insert(session, kInsertFileInfoSql);
    if (!insert) return;
    // The model's walk: depth first, a folder's leaves before its subfolders, by key.
    SelectedLeafWalk leaves(root);
    while (DirTreeNode* leaf = leaves.Next()) {
        InitFileInfoDB(insert.Stmt(), taskId, leaf, session.Db());
        insert.RowDone();
    }
    insert.Finish();
    session.Close();
    session.Info("Finish insert file info.");
}

void DataBaseManager::InitFileInfoDB(sqlite3_stmt* stmt, const int& taskId, DirTreeNode* node,
                                     sqlite3* db) {
    if (stmt == nullptr || node == nullptr || db == nullptr) return;
    sqlite3_bind_int(stmt, 1, taskId);
    SqliteText::Bind(stmt, 2, node->fileName);
    SqliteText::Bind(stmt, 3, node->sendFilePath);
    SqliteText::Bind(stmt, 4, node->targetPath);
    Db::StepWrite(stmt, db, "InitFileInfoDB");
}

// Rebuilding the selection for resume.

void DataBaseManager::RecoveryDirTreeByID(std::vector<SendFailedFileInfo>& failedFiles,
                                          DirectoryTreeManager& tree, int& missingCount) {
    DbSession session(*this, "RecoveryDirTreeByID");
    if (!session.Initialised("RecoveryDirTreeByID sql is not init")) return;
    std::string sql = kRecoveryByIdSqlPrefix + std::to_string(GetMaxTaskID());
    if (!session.OpenRead()) return;
    try {
        Statement stmt = session.Prepare(sql);
        if (!stmt) return;
        RecoveryDirTree(stmt.get(), tree, failedFiles, missingCount);
    } catch (const std::exception& e) {
        // What was selected, collected and counted before stays with the caller.
        session.Error(std::string("SQLite exception:") + e.what());
    }
}

void DataBaseManager::RecoveryDirTree(sqlite3_stmt* stmt, DirectoryTreeManager& tree,
                                      std::vector<SendFailedFileInfo>& failedFiles,
                                      int& missingCount) {
    if (stmt == nullptr) return;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        std::wstring fileName = SqliteText::Column(stmt, 0);
        std::wstring sendFilePath = SqliteText::Column(stmt, 1);
        std::wstring targetPath = SqliteText::Column(stmt, 2);
        bool failed = sqlite3_column_int(stmt, 3) == 0;
        int errCode = sqlite3_column_int(stmt, 4);
        DirTreeNode* node = tree.FindNodeByPath(sendFilePath);
        if (node != nullptr) {
            node->Select();
            node->targetPath = std::move(targetPath);  // NULL empties it
        }
        if (failed) {
            failedFiles.push_back({std::move(fileName), std::move(sendFilePath), errCode});
        }
        if (node == nullptr) ++missingCount;
    }
}

void DataBaseManager::RecoveryDirTree(sqlite3_stmt* stmt, DirectoryTreeManager& tree) {
    if (stmt == nullptr) return;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        DirTreeNode* node = tree.FindNodeByPath(SqliteText::Column(stmt, 0));
        if (node == nullptr) continue;
        node->Select();
        FillShotPath(SqliteText::Column(stmt, 1), node);
    }
}

void DataBaseManager::FillShotPath(const std::wstring& cachePath, DirTreeNode* node) {
    if (node == nullptr) return;
    std::vector<std::wstring> parts;
    SplitString(cachePath, kCachePathDelimiters, parts);
    auto part = parts.rbegin();
    // Neither the root nor its direct children get a part, and an ancestor already filled (by
    // an earlier sibling) ends the walk.
    for (DirTreeNode* current = node; part != parts.rend(); current = current->parent, ++part) {
        if (current->parent == nullptr || current->parent->parent == nullptr ||
            !current->shotPath.empty()) {
            break;
        }
        current->shotPath = std::move(*part);  // the parts are this call's own
    }
}

// The document cache.

void DataBaseManager::CreateDocCacheDb() {
    DbSession session(*this, "CreateDocCacheDb");
    std::string path = CreateDocCachePath();
    sqlite3_config(SQLITE_CONFIG_MULTITHREAD);  // refused once SQLite is initialised
    try {
        CreateDb(path);
    } catch (const std::exception& e) {
        session.Error(std::string("SQLite exception: ") + e.what());
        return;
    }
    if (!session.OpenCache()) return;
    for (const char* sql : kCreateCacheTableSql) {
        if (session.Execute(sql) != SQLITE_OK) session.SqliteError();
    }
    for (const CacheIndex& index : kCreateCacheIndexes) {
        if (session.Execute(index.sql) != SQLITE_OK) {
            session.Error(index.failure + std::string(sqlite3_errmsg(session.Db())));
        }
    }
}

void DataBaseManager::InsertFilesToCacheDb(const std::vector<CacheNode>& files, bool isSmallFile) {
    const CacheInsert what{"InsertFilesToCacheDb", "Start insert cache file.",
                           "Finish insert cache file.",
                           isSmallFile ? kInsertSmallFileSql : kInsertNormalFileSql};
    InsertCacheRecords(*this, what, files,
                       [this](sqlite3_stmt* stmt, const CacheNode& file, sqlite3* db) {
                           InsertFileToCacheDB(stmt, file, db);
                       });
}

void DataBaseManager::InsertFileToCacheDB(sqlite3_stmt* stmt, const CacheNode& file, sqlite3* db) {
    if (stmt == nullptr || db == nullptr) return;
    SqliteText::Bind(stmt, 1, file.filepath);
    SqliteText::Bind(stmt, 2, file.tarpath);
    sqlite3_bind_int64(stmt, 3, file.filesize);
    SqliteText::Bind(stmt, 4, file.winFilePath);
    sqlite3_bind_int(stmt, 5, file.result);
    Db::StepWrite(stmt, db, "InsertFileToCacheDB");
}

void DataBaseManager::InsertEmptyFilesToCacheDb(const std::vector<CacheEmptyNode>& files) {
    const CacheInsert what{"InsertEmptyFilesToCacheDb", "Start insert empty file.",
                           "Finish insert empty file.", kInsertEmptyFileSql};
    InsertCacheRecords(*this, what, files,
                       [this](sqlite3_stmt* stmt, const CacheEmptyNode& file, sqlite3* db) {
                           InsertEmptyFileToCacheDB(stmt, file, db);
                       });
}

void DataBaseManager::InsertEmptyFileToCacheDB(sqlite3_stmt* stmt, const CacheEmptyNode& file,
                                               sqlite3* db) {
    if (stmt == nullptr || db == nullptr) return;
    SqliteText::Bind(stmt, 1, file.filepath);
    SqliteText::Bind(stmt, 2, file.winFilePath);
    sqlite3_bind_int(stmt, 3, file.isFolder);
    sqlite3_bind_int64(stmt, 4, file.modifyTime);
    sqlite3_bind_int(stmt, 5, file.result);
    Db::StepWrite(stmt, db, "InsertEmptyFileToCacheDB");
}

void DataBaseManager::RecoveryDirTreeByCacheDb(DirectoryTreeManager& tree, bool isSmallFile) {
    DbSession session(*this, "RecoveryDirTreeByCacheDb");
    if (!session.OpenCache()) return;
    try {
        int rc = SQLITE_OK;
        Statement stmt =
            session.Prepare(isSmallFile ? kRecoverySmallFileSql : kRecoveryNormalFileSql, &rc);
        if (rc != SQLITE_OK) {
            session.SqliteError("error code is ", rc);
            return;
        }
        RecoveryDirTree(stmt.get(), tree);
    } catch (const std::exception& e) {
        session.Error(std::string("SQLite exception:") + e.what());
    }
}
