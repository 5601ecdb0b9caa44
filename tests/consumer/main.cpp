// Creates a task through the installed library and reads it back.
#include <cstdio>

#include "DataBaseManager.h"
#include "FileTreeThreadPool.h"

int main() {
    DataBaseManager* manager = DataBaseManager::GetInstance();
    char session[16] = {1, 2, 3};
    manager->InsertOneTask(42, session, 3, 1, "consumer");
    int id = manager->GetMaxTaskID();
    TaskInfoNode nodes[3];
    int count = manager->GetAllTaskInfo(nodes, 3);
    FileTreeThreadPool pool(2);
    int answer = pool.Enqueue([] { return 6 * 7; }).get();
    if (id < 1 || count < 1 || nodes[0].taskID != id || nodes[0].transferFileNums != 42 ||
        answer != 42) {
        std::printf("consumer: FAILED (id %d, count %d)\n", id, count);
        return 1;
    }
    std::printf("consumer: task %d recorded and read back through the installed package\n", id);
    return 0;
}
