// The library on the platform it is made for: the machine's all-users folder with backslash
// paths, the start-up under the console user's token, and UTF-16 text handed to SQLite as it is.
// Under Wine the console token is granted to any process, so the impersonated start-up runs.
#include <windows.h>
#include <wtsapi32.h>

#include "TestSupport.h"

namespace {
// Whether the calling thread carries an impersonation token.
bool ThreadImpersonates() {
    HANDLE token = nullptr;
    return OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) && CloseHandle(token);
}
}  // namespace

TEST_F(DataBaseManagerTest, StartUpRunsAsTheConsoleUserAndTextKeepsItsSurrogatePairs) {
    // The sink runs on the logging thread inside Log, so it sees that thread's identity.
    std::vector<bool> impersonated;
    VtLogger::GetInstance()->SetSink([&](LOG_MESSAGE_LEVEL, const std::wstring&) {
        impersonated.push_back(ThreadImpersonates());
    });
    Manager();
    HANDLE console = nullptr;
    bool granted =
        WTSQueryUserToken(WTSGetActiveConsoleSessionId(), &console) && CloseHandle(console);
    EXPECT_EQ(impersonated, std::vector<bool>(2, granted));  // the two lines of the schema check
    EXPECT_TRUE(IsInit() && !ThreadImpersonates());
    EXPECT_EQ(Manager().CreateDocCachePath(),
              "C:\\ProgramData\\Voded\\Corvanel\\db_cache\\doc_Cache.db");
    // UTF-16 is stored as the characters themselves, exactly as a POSIX build stores them; a fixed
    // field keeps the first 511 units, as wcsncpy_s counts them (half a pair at the end).
    std::wstring name;
    for (int i = 0; i < 300; ++i) name += L"\U0001F4F7";
    std::vector<SendAppInfo> apps{{name, 1, 2, L"C:\\\U00020BB7.ico"}};
    Manager().InsertAppInfo(apps, 7);
    EXPECT_EQ(Scalar("select hex(appIconPath) from TransferAppInfo"), "433A5CF0A0AEB72E69636F");
    AppInfoPariNode node[1];
    Manager().QueryAppInfoByID(node, 7, 1);
    EXPECT_EQ(std::wstring(node[0].appName) + node[0].appIconPath,
              name.substr(0, 511) + apps[0].appIconPath);
}
