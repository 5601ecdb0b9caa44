-- Both databases' tables in one file, as the library creates them, with rows for every query.
PRAGMA page_size=512;
PRAGMA journal_mode=DELETE;
CREATE TABLE IF NOT EXISTS TransferTask (taskID INTEGER PRIMARY KEY AUTOINCREMENT,startTime integer,endTime integer, transferFileNums INTEGER NOT NULL,completeNums INTEGER NOT NULL, transferSize INTEGER NOT NULL,completeSize INTEGER NOT NULL, completeEmptyFolderNum INTEGER DEFAULT 0, status INTEGER NOT NULL,transferAppNums INTEGER NOT NULL, transferSucAppNums INTEGER NOT NULL,macAddr TEXT, transferSettingNums INTEGER NOT NULL, transferSucSettingNums INTEGER NOT NULL, session BLOB DEFAULT '', fileStatus integer DEFAULT 0, appStatus integer DEFAULT 0, settingStatus integer DEFAULT 0, newPCType INTEGER DEFAULT 0, newPCModel text DEFAULT '');
create table if not exists TransferFileInfo (taskID integer not null,fileName text,sendFilePath text,errCode integer DEFAULT -1, targetPath text,status integer DEFAULT -1);
CREATE TABLE IF NOT EXISTS TransferAppInfo (taskID INTEGER NOT NULL,appName TEXT,downStatusIndex INTEGER DEFAULT -1, installStatusIndex INTEGER DEFAULT -1,appIconPath text DEFAULT '');
CREATE TABLE IF NOT EXISTS TransferSettingInfo (taskID INTEGER NOT NULL,settingName TEXT, resultType INTEGER DEFAULT 0, primary key (taskID,settingName));
CREATE TABLE IF NOT EXISTS TransferBookmarkInfo (taskID INTEGER NOT NULL,browserName TEXT);
create index fileIndex on TransferFileInfo(taskID,sendFilePath);
CREATE TABLE IF NOT EXISTS normal_file (_id INTEGER PRIMARY KEY AUTOINCREMENT,filepath TEXT NOT NULL, tarpath TEXT,filesize INTEGER NOT NULL,result INTEGER, winFilePath TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS small_file (_id INTEGER PRIMARY KEY AUTOINCREMENT,filepath TEXT NOT NULL, tarpath TEXT NOT NULL,filesize INTEGER NOT NULL,result INTEGER, winFilePath TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS empty_file (_id INTEGER PRIMARY KEY AUTOINCREMENT,filepath TEXT NOT NULL, winFilePath TEXT NOT NULL,isFolder INTEGER NOT NULL,modifyTime INTEGER NOT NULL, result INTEGER);
create index filePathIndex on normal_file(filepath);
create index tarPathIndex on small_file(tarpath);
INSERT INTO TransferTask (startTime,endTime,transferFileNums,completeNums,transferSize,completeSize,status,transferAppNums,transferSucAppNums,macAddr,transferSettingNums,transferSucSettingNums,session,newPCType,newPCModel) VALUES
 (100,160,3,1,300,100,2,2,1,'00-11',2,1,x'000102030405060708090a0b0c0d0e0f',1,'model one'),
 (200,290,3,3,300,300,5,1,1,'00-11',1,1,x'101112131415161718191a1b1c1d1e1f',2,NULL),
 (300,400,3,0,300,0,1,2,0,' ',2,0,x'20',3,'model three');
INSERT INTO TransferAppInfo VALUES (3,'editor',1,2,'C:\editor.ico'),(3,'viewer',3,4,''),(3,NULL,5,6,NULL);
INSERT INTO TransferSettingInfo VALUES (3,'wallpaper',1),(3,'mouse',0);
INSERT INTO TransferBookmarkInfo VALUES (3,'browser one'),(3,'browser two');
INSERT INTO TransferFileInfo (taskID,fileName,sendFilePath,errCode,targetPath,status) VALUES
 (3,'a.txt','docs/a.txt',7,'D:\a.txt',0),(3,'c.txt','docs/deep/c.txt',-1,NULL,-1),(3,'b.txt','docs/b.txt',9,'D:\b.txt',0);
INSERT INTO normal_file (filepath,tarpath,filesize,result,winFilePath) VALUES
 ('x/docs/deep/c.txt','t1.tar',20,0,'docs/deep/c.txt'),('x/docs/a.txt','t1.tar',10,1,'docs/a.txt');
INSERT INTO small_file (filepath,tarpath,filesize,result,winFilePath) VALUES ('/y//docs/a.txt/','t2.tar',5,0,'docs/a.txt');
INSERT INTO empty_file (filepath,winFilePath,isFolder,modifyTime,result) VALUES ('x/empty','docs/empty',1,77,0);
VACUUM;
