// The library on the platform it is made for: the machine's all-users folder with backslash
// paths, the start-up under the console user's token, UTF-16 text handed to SQLite as it is, and
// the tree model's finish event. Under Wine the console token is granted to any process, so the
// impersonated start-up runs.
#include <windows.h>
#include <wtsapi32.h>

#include <fstream>
#include <future>

#include "TestSupport.h"

namespace {
// Whether the calling thread carries an impersonation token.
bool ThreadImpersonates() {
    HANDLE token = nullptr;
    return OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) && CloseHandle(token);
}
}  // namespace

TEST_F(DataBaseManagerTest, StartUpRunsAsTheConsoleUserInTheMachinesFolder) {
    // The sink runs on the logging thread inside Log, so it sees that thread's identity.
    std::vector<bool> impersonated;
    VtLogger::GetInstance()->SetSink([&](LOG_MESSAGE_LEVEL, const std::wstring&) {
        impersonated.push_back(ThreadImpersonates());
    });
    Manager();
    HANDLE console = nullptr;
    bool granted =
        WTSQueryUserToken(WTSGetActiveConsoleSessionId(), &console) && CloseHandle(console);
    EXPECT_EQ(impersonated, std::vector<bool>(2, granted)) << "the schema check's two lines";
    EXPECT_TRUE(IsInit());
    EXPECT_FALSE(ThreadImpersonates()) << "reverted after the start-up";
    EXPECT_EQ(Manager().CreateDocCachePath(),
              "C:\\ProgramData\\Voded\\Corvanel\\db_cache\\doc_Cache.db");
}

// UTF-16 is stored as the characters themselves, exactly as a POSIX build stores them; a fixed
// field keeps the first 511 units, as wcsncpy_s counts them (half a pair at the end).
TEST_F(DataBaseManagerTest, TextKeepsItsSurrogatePairsAndAFieldItsFirst511Units) {
    std::wstring name;
    for (int i = 0; i < 300; ++i) name += L"\U0001F4F7";
    std::vector<SendAppInfo> apps{{name, 1, 2, L"C:\\\U00020BB7.ico"}};
    Started().InsertAppInfo(apps, 7);
    EXPECT_EQ(Scalar("select hex(appIconPath) from TransferAppInfo"), "433A5CF0A0AEB72E69636F");
    AppInfoPariNode node[1];
    Manager().QueryAppInfoByID(node, 7, 1);
    EXPECT_EQ(std::wstring(node[0].appName), name.substr(0, 511)) << "the first 511 units";
    EXPECT_EQ(std::wstring(node[0].appIconPath), apps[0].appIconPath) << "a pair read back whole";
}

// The finish event is a manual-reset event: a thread waiting on it wakes when a scan ends, and it
// stays set for every later waiter.
TEST(DiskScanEventTest, AWaiterOnTheFinishEventWakesWhenTheScanEnds) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "finish event";
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "a") << "x";
    DirectoryTreeManager tree;
    HANDLE finish = tree.GetDiskTreeBuildFinishEvent();
    ASSERT_NE(finish, nullptr);
    EXPECT_EQ(WaitForSingleObject(finish, 0), WAIT_TIMEOUT) << "not set before a scan";
    auto waiter =
        std::async(std::launch::async, [finish] { return WaitForSingleObject(finish, 10000); });
    std::vector<DiskScanSkip> skipped;
    EXPECT_NE(tree.BuildDiskTree(folder, skipped), nullptr);
    EXPECT_EQ(waiter.get(), WAIT_OBJECT_0) << "the waiter woke";
    EXPECT_EQ(WaitForSingleObject(finish, 0), WAIT_OBJECT_0) << "set for a later waiter too";
    std::filesystem::remove_all(folder);
}
