// The library on the platform it is made for: the machine's all-users folder with backslash
// paths, the start-up under the console user's token, and UTF-16 text handed to SQLite as it is.
// Under Wine the console token is granted to any process, so the impersonated start-up runs.
#include <shlobj.h>
#include <wtsapi32.h>

#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace fs = std::filesystem;

static_assert(sizeof(wchar_t) == 2, "wchar_t holds UTF-16 units on Windows");

namespace {
// Whether the calling thread carries an impersonation token.
bool ThreadImpersonates() {
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) return false;
    CloseHandle(token);
    return true;
}

bool ConsoleTokenGranted() {
    HANDLE token = nullptr;
    if (!WTSQueryUserToken(WTSGetActiveConsoleSessionId(), &token)) return false;
    CloseHandle(token);
    return true;
}

// The Unix folder that holds drive C: when this runs under Wine, else empty.
std::string WineDriveC() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    bool underWine = ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    const char* prefix = std::getenv("WINEPREFIX");
    if (!underWine || prefix == nullptr || *prefix == '\0') return std::string();
    return std::string(prefix) + "/drive_c";
}

// A name with characters outside the Basic Multilingual Plane: each is a surrogate pair here.
const std::wstring kCameraApp = L"Photos \U0001F4F7 \u00e9dition";
const char kCameraAppUtf8[] = u8"Photos \U0001F4F7 \u00e9dition";
const std::wstring kIconPath = L"C:\\Icons\\\U00020BB7\U0001F3A8.ico";
}  // namespace

class WindowsTest : public DataBaseManagerTest {};

TEST_F(WindowsTest, DatabaseLandsInTheAllUsersFolderWithBackslashPaths) {
    EXPECT_EQ(AppDataFolder().string(), "C:\\ProgramData");
    ASSERT_TRUE(IsInit());

    std::string folder = "left over";
    EXPECT_EQ(GetDBFilePath(folder), 0);
    EXPECT_EQ(folder, "C:\\ProgramData\\Voded\\Corvanel");
    EXPECT_TRUE(fs::is_regular_file("C:\\ProgramData\\Voded\\Corvanel\\corvanel.db"));
    EXPECT_EQ(Count("select count(*) from sqlite_master where type = 'table' and name in "
                    "('TransferTask', 'TransferFileInfo', 'TransferAppInfo', "
                    "'TransferSettingInfo', 'TransferBookmarkInfo')"),
              5);

    EXPECT_EQ(Manager().CreateDocCachePath(),
              "C:\\ProgramData\\Voded\\Corvanel\\db_cache\\doc_Cache.db");
    EXPECT_TRUE(fs::is_directory("C:\\ProgramData\\Voded\\Corvanel\\db_cache"));

    // What a support engineer finds in the prefix from the Linux side.
    std::string driveC = WineDriveC();
    if (!driveC.empty()) {
        EXPECT_TRUE(fs::is_regular_file("Z:" + driveC + "/ProgramData/Voded/Corvanel/corvanel.db"));
    }
    EXPECT_FALSE(Logged(L"failed"));
}

TEST_F(WindowsTest, StartUpRunsAsTheConsoleUserAndEndsInitialisedAndReverted) {
    if (!ConsoleTokenGranted()) GTEST_SKIP() << "this process may not take the console token";
    ASSERT_FALSE(ThreadImpersonates());

    // The sink runs on the logging thread inside Log, so it sees that thread's identity.
    std::vector<std::pair<std::wstring, bool>> seen;
    VtLogger::GetInstance()->SetSink([&seen](LOG_MESSAGE_LEVEL, const std::wstring& text) {
        seen.emplace_back(text, ThreadImpersonates());
    });
    Manager();
    VtLogger::GetInstance()->SetSink({});

    EXPECT_TRUE(IsInit());
    EXPECT_FALSE(ThreadImpersonates());
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front().first, Info("Start update table.", "UpdateTable").text);
    for (const auto& [text, impersonated] : seen)
        EXPECT_TRUE(impersonated) << ::testing::PrintToString(text);

    // Again: the token is taken and given back, and nothing more happens.
    Manager().InitInstance();
    EXPECT_TRUE(IsInit());
    EXPECT_FALSE(ThreadImpersonates());
}

TEST_F(WindowsTest, TextOutsideTheBasicPlaneRoundTripsAsUtf16) {
    ASSERT_EQ(kCameraApp.size(), 17u);  // the camera is two units
    std::vector<SendAppInfo> apps(1);
    apps[0].appName = kCameraApp;
    apps[0].appIconPath = kIconPath;
    Manager().InsertAppInfo(apps, 7);

    // Stored as the characters themselves, exactly as a POSIX build stores them.
    EXPECT_EQ(Count(std::string("select count(*) from TransferAppInfo where appName = '") +
                    kCameraAppUtf8 + "'"),
              1);
    EXPECT_EQ(Scalar("select hex(appIconPath) from TransferAppInfo"),
              "433A5C49636F6E735CF0A0AEB7F09F8EA82E69636F");

    std::vector<std::wstring> names;
    Manager().QueryAllAppNameByID(names, 7);
    EXPECT_EQ(names, std::vector<std::wstring>{kCameraApp});
    AppInfoPariNode node{};
    Manager().QueryAppInfoByID(&node, 7, 1);
    EXPECT_EQ(std::wstring(node.appName), kCameraApp);
    EXPECT_EQ(std::wstring(node.appIconPath), kIconPath);

    TransferTask task;
    task.newPCModel = L"Tablet \U0001F4BB";
    Manager().InsertOneTask(task);
    TaskInfoNode history{};
    ASSERT_EQ(Manager().GetAllTaskInfo(&history, 1), 1);
    EXPECT_EQ(std::wstring(history.newPCModel), task.newPCModel);

    // Text written by another program comes back as surrogate pairs too.
    Exec(std::string("insert into TransferBookmarkInfo values (7, '") + u8"\U00020BB7 browser" +
         "')");
    Manager().GetTaskBookmarkInfo(7, names);
    EXPECT_EQ(names, std::vector<std::wstring>{L"\U00020BB7 browser"});
    EXPECT_FALSE(Logged(L"error"));
}

TEST_F(WindowsTest, FixedFieldsHoldAtMost511Utf16Units) {
    // 300 characters outside the plane are 600 units: the field keeps the first 511 units, as
    // wcsncpy_s counts them, so the last pair is cut in half.
    std::wstring longName;
    for (int i = 0; i < 300; ++i) longName += L"\U0001F4F7";
    std::vector<SendAppInfo> apps(1);
    apps[0].appName = longName;
    Manager().InsertAppInfo(apps, 7);

    AppInfoPariNode node{};
    Manager().QueryAppInfoByID(&node, 7, 1);
    EXPECT_EQ(std::wcslen(node.appName), 511u);
    EXPECT_EQ(std::wstring(node.appName), longName.substr(0, 511));
}

TEST_F(WindowsTest, NarrowModelNameIsReadInTheAnsiCodePage) {
    const std::wstring model = L"Zeichenbrett \u00dc";
    // The name as a program on this machine holds it in narrow text.
    char narrow[64] = {};
    BOOL lossy = FALSE;
    int bytes = WideCharToMultiByte(CP_ACP, 0, model.c_str(), -1, narrow, sizeof narrow, nullptr,
                                    GetACP() == CP_UTF8 ? nullptr : &lossy);
    if (bytes == 0 || lossy) GTEST_SKIP() << "the ANSI code page " << GetACP() << " has no U+00DC";

    char session[16] = {};
    Manager().InsertOneTask(3, session, 1, 2, narrow);
    EXPECT_EQ(Scalar("select newPCModel from TransferTask"), u8"Zeichenbrett \u00dc");
    TaskInfoNode history{};
    ASSERT_EQ(Manager().GetAllTaskInfo(&history, 1), 1);
    EXPECT_EQ(std::wstring(history.newPCModel), model);
}
