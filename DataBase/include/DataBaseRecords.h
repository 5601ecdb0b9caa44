// The records that callers hand to DataBaseManager and get back from it. Fixed-size result
// records (the *PariNode types) own no memory: the caller allocates an array and passes its
// element count. Their text fields hold at most 511 wchar_t units, always terminated.
#pragma once

#include <string>

constexpr int kRecordTextUnits = 512;

// One migration run.
struct TransferTask {
    int taskID = 0;
    long long startTime = 0;  // seconds since 1970-01-01 00:00 UTC
    long long endTime = 0;
    int transferFileNums = 0;
    int completeNums = 0;
    long long transferSize = 0;
    long long completeSize = 0;
    int status = 0;
    int transferAppNums = 0;
    int transferSucAppNums = 0;
    std::string macAddr;
    int transferSettingNums = 0;
    int transferSucSettingNums = 0;
    char session[16] = {};  // 16 opaque bytes, no terminator
    int fileStatus = 0;
    int appStatus = 0;
    int settingStatus = 0;
    int completeEmptyFolderNum = 0;
    int newPCType = 0;
    std::wstring newPCModel;
};

// One history row, as GetAllTaskInfo fills it.
struct TaskInfoNode {
    int taskID;
    long long startTime;
    long long endTime;
    int transferFileNums;
    int completeNums;
    long long completeSize;
    int status;
    int transferAppNums;
    int transferSucAppNums;
    int transferSettingNums;
    int transferSucSettingNums;
    int newPCType;
    wchar_t newPCModel[kRecordTextUnits];
};

struct SendAppInfo {
    std::wstring appName;
    int downStatusIndex = -1;
    int installStatusIndex = -1;
    std::wstring appIconPath;
};

struct AppInfoPariNode {
    wchar_t appName[kRecordTextUnits];
    int downStatusIndex;
    int installStatusIndex;
    wchar_t appIconPath[kRecordTextUnits];
};

struct TransferSettingInfo {
    std::wstring settingName;
    int resultType = 0;
};

struct SettingInfoPariNode {
    wchar_t settingName[kRecordTextUnits];
    int resultType;
};

struct TransferFileInfo {
    int taskId = 0;
    int status = -1;
    long long fileSize = 0;
    std::wstring filePath;   // matched against the row's sendFilePath
    std::wstring otherPath;  // not read or filled by the library
    int errCode = -1;
};

struct SendFailedFileInfo {
    std::wstring fileName;
    std::wstring sendFilePath;
    int errCode = 0;
};

struct MapFailPariNode {
    wchar_t fileName[kRecordTextUnits];
    wchar_t sendFilePath[kRecordTextUnits];
    int errCode;
};

// One row of the document cache's normal_file or small_file.
struct CacheNode {
    std::wstring filepath;  // the cache path, parts separated by "/"
    std::wstring tarpath;
    long long filesize = 0;
    std::wstring winFilePath;  // the file's path on this PC
    int result = 0;
};

// One row of the document cache's empty_file.
struct CacheEmptyNode {
    std::wstring filepath;
    std::wstring winFilePath;
    int isFolder = 0;
    long long modifyTime = 0;
    int result = 0;
};
