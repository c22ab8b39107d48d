#pragma once
// The state behind the ThreadPoolV4 functions: the task table, the task
// classes with their running limits, and the threads of managed tasks.
//
// Locks: the pool's mutex guards the tables; each task's mutex guards its
// queue and flags. The pool's mutex may be held while a task's mutex is
// taken, never the other way round. No user function (task, sink,
// completion, idle) is called with either lock held.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "pelbo/corekit/ThreadPool.h"

namespace Corekit {

class TaskPool {
public:
    static TaskPool& Instance();
    ~TaskPool();
    TaskPool(const TaskPool&) = delete;
    TaskPool& operator=(const TaskPool&) = delete;

    ThreadPoolV4::TaskErrorCode SetClassLimit(const wchar_t* cls, unsigned short maxRunning);
    ThreadPoolV4::TaskErrorCode AddTask(const wchar_t* cls, const wchar_t* name, void* param,
                                        ThreadPoolV4::TaskFunc func, uint64_t* taskId);
    ThreadPoolV4::TaskErrorCode DeleteTask(uint64_t taskId);
    ThreadPoolV4::TaskErrorCode RegisterSink(unsigned msgId, ThreadPoolV4::MsgSinkFunc func, void* userData);
    ThreadPoolV4::TaskErrorCode UnregisterSink(unsigned msgId);
    ThreadPoolV4::TaskErrorCode Post(uint64_t targetId, unsigned msgId, IXData* record, unsigned param,
                                     ThreadPoolV4::PostCompletionFunc completion);
    ThreadPoolV4::TaskErrorCode RunLoop(ThreadPoolV4::IdleFunc idle);
    void SetExitLoop(int exit);
    ThreadPoolV4::TaskErrorCode SetExitLoopOf(uint64_t taskId);
    uint64_t CurrentTaskId();
    void Shutdown();

    struct Task;
    struct Message;
    // Called when a plain thread with a task context ends: the task leaves
    // the table and its queued messages are dropped.
    void EndPlainTask(const std::shared_ptr<Task>& task);

private:
    struct TaskClass {
        unsigned short maxRunning = 0;
        unsigned running = 0;
        std::deque<std::shared_ptr<Task>> pending;
    };

    TaskPool() = default;
    std::shared_ptr<Task> CurrentTask();
    void RunTask(const std::shared_ptr<Task>& task);
    void FinishTask(const std::shared_ptr<Task>& task);
    // With the pool's lock held: starts waiting tasks of the class while it
    // has free slots; tasks whose thread cannot start are returned to be
    // ended outside the lock.
    std::vector<std::shared_ptr<Task>> StartWaiting(TaskClass& cls);
    bool StartThread(const std::shared_ptr<Task>& task);
    void JoinFinished();

    std::mutex m_mutex;
    uint64_t m_lastId = 0;
    // Stale task contexts of plain threads are recognised by it after a
    // Shutdown.
    uint64_t m_generation = 1;
    bool m_shuttingDown = false;
    // Tasks that accept messages: waiting, running, and plain threads' tasks.
    std::unordered_map<uint64_t, std::shared_ptr<Task>> m_tasks;
    std::map<std::wstring, TaskClass> m_classes;
    std::unordered_map<uint64_t, std::thread> m_threads;
    // Threads whose task function has returned, joined by a later call.
    std::vector<std::thread> m_finished;
};

}  // namespace Corekit
