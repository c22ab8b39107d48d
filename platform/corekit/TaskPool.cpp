#include "TaskPool.h"

#if defined(_WIN32)
#include <windows.h>
#endif

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <system_error>

#include "pelbo/compat/ProcessEnd.h"

namespace Corekit {

using ThreadPoolV4::TaskErrorCode;

struct TaskPool::Message {
    uint64_t from = 0;
    unsigned msgId = 0;
    IXData* record = nullptr;
    unsigned param = 0;
    ThreadPoolV4::PostCompletionFunc completion = nullptr;
};

struct TaskPool::Task {
    uint64_t id = 0;
    std::wstring cls;
    std::wstring name;
    ThreadPoolV4::TaskFunc func = nullptr;
    void* param = nullptr;
    // Started by AddTask; otherwise the context of a plain thread.
    bool managed = false;
    uint64_t generation = 0;
    // Guarded by the pool's mutex: the task holds a running slot of its class.
    bool counted = false;

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Message> queue;
    bool exitLoop = false;
    // No more messages are accepted and the loop stops.
    bool ended = false;
    struct Sink {
        ThreadPoolV4::MsgSinkFunc func = nullptr;
        void* userData = nullptr;
    };
    std::map<unsigned, Sink> sinks;
};

namespace {

// A plain thread's task context may outlive the pool at process exit.
std::atomic<bool> g_poolAlive{false};

struct ContextSlot {
    std::shared_ptr<TaskPool::Task> task;
    ContextSlot() = default;
    ContextSlot(const ContextSlot&) = delete;
    ContextSlot& operator=(const ContextSlot&) = delete;
    ~ContextSlot()
    {
        if (task != nullptr && !task->managed && g_poolAlive.load())
            TaskPool::Instance().EndPlainTask(task);
    }
};

#if defined(_WIN32)
// MinGW's emulated thread_local storage can be freed before the thread's
// thread_local destructors run, and the slot's destructor then read freed
// memory. A fiber-local slot's callback runs while the thread's storage
// still stands.
void NTAPI DeleteContextSlot(void* slot)
{
    delete static_cast<ContextSlot*>(slot);
}

ContextSlot& Context()
{
    static const DWORD index = ::FlsAlloc(&DeleteContextSlot);
    if (index == FLS_OUT_OF_INDEXES)
        throw std::system_error(std::error_code(static_cast<int>(::GetLastError()), std::system_category()),
                                "FlsAlloc");
    auto* slot = static_cast<ContextSlot*>(::FlsGetValue(index));
    if (slot == nullptr) {
        slot = new ContextSlot;
        if (!::FlsSetValue(index, slot)) {
            delete slot;
            throw std::system_error(std::error_code(static_cast<int>(::GetLastError()), std::system_category()),
                                    "FlsSetValue");
        }
    }
    return *slot;
}
#else
ContextSlot& Context()
{
    thread_local ContextSlot slot;
    return slot;
}
#endif

// Tells the poster the message's fate exactly once and gives back the
// reference the pool took.
void Complete(TaskPool::Message& message, TaskErrorCode code)
{
    if (message.completion != nullptr) {
        try {
            message.completion(code, message.msgId, message.record, message.param);
        } catch (...) {
            // The pool's threads must survive a throwing completion.
        }
    }
    if (message.record != nullptr)
        message.record->Release();
    message.record = nullptr;
}

void DropAll(std::deque<TaskPool::Message>& messages, TaskErrorCode code)
{
    for (TaskPool::Message& message : messages)
        Complete(message, code);
    messages.clear();
}

// Marks the task ended and hands back the messages it will never handle.
std::deque<TaskPool::Message> EndTask(TaskPool::Task& task)
{
    std::deque<TaskPool::Message> dropped;
    std::lock_guard<std::mutex> lock(task.mutex);
    task.ended = true;
    dropped.swap(task.queue);
    task.wake.notify_all();
    return dropped;
}

void JoinUnlessSelf(std::thread& thread)
{
    if (!thread.joinable())
        return;
    if (thread.get_id() == std::this_thread::get_id())
        thread.detach();
    else
        thread.join();
}

}  // namespace

TaskPool& TaskPool::Instance()
{
    static Compat::ProcessWide<TaskPool> pool(new TaskPool);
    g_poolAlive.store(true);
    return *pool;
}

TaskPool::~TaskPool()
{
    Shutdown();
    g_poolAlive.store(false);
}

TaskErrorCode TaskPool::SetClassLimit(const wchar_t* cls, unsigned short maxRunning)
{
    if (cls == nullptr)
        return ThreadPoolV4::TaskInvalidArgument;
    std::vector<std::shared_ptr<Task>> failed;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        TaskClass& taskClass = m_classes[cls];
        taskClass.maxRunning = maxRunning;
        failed = StartWaiting(taskClass);
    }
    for (const std::shared_ptr<Task>& task : failed) {
        std::deque<Message> dropped = EndTask(*task);
        DropAll(dropped, ThreadPoolV4::TaskFailed);
    }
    return ThreadPoolV4::TaskOk;
}

TaskErrorCode TaskPool::AddTask(const wchar_t* cls, const wchar_t* name, void* param, ThreadPoolV4::TaskFunc func,
                                uint64_t* taskId)
{
    if (cls == nullptr || func == nullptr)
        return ThreadPoolV4::TaskInvalidArgument;
    JoinFinished();
    auto task = std::make_shared<Task>();
    task->cls = cls;
    task->name = name != nullptr ? name : L"";
    task->func = func;
    task->param = param;
    task->managed = true;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_shuttingDown)
            return ThreadPoolV4::TaskShutDown;
        task->id = ++m_lastId;
        task->generation = m_generation;
        TaskClass& taskClass = m_classes[task->cls];
        if (taskClass.maxRunning != 0 && taskClass.running >= taskClass.maxRunning) {
            taskClass.pending.push_back(task);
        } else {
            if (!StartThread(task))
                return ThreadPoolV4::TaskFailed;
            task->counted = true;
            ++taskClass.running;
        }
        m_tasks[task->id] = task;
    }
    if (taskId != nullptr)
        *taskId = task->id;
    return ThreadPoolV4::TaskOk;
}

TaskErrorCode TaskPool::DeleteTask(uint64_t taskId)
{
    JoinFinished();
    std::shared_ptr<Task> task;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_tasks.find(taskId);
        if (it == m_tasks.end())
            return ThreadPoolV4::TaskNotFound;
        // A plain thread's loop is its owner's to end (SetExitLoopOf).
        if (!it->second->managed)
            return ThreadPoolV4::TaskInvalidArgument;
        task = it->second;
        m_tasks.erase(it);
        auto cls = m_classes.find(task->cls);
        if (cls != m_classes.end()) {
            std::deque<std::shared_ptr<Task>>& pending = cls->second.pending;
            pending.erase(std::remove(pending.begin(), pending.end(), task), pending.end());
        }
    }
    std::deque<Message> dropped = EndTask(*task);
    DropAll(dropped, ThreadPoolV4::TaskNotFound);
    return ThreadPoolV4::TaskOk;
}

TaskErrorCode TaskPool::RegisterSink(unsigned msgId, ThreadPoolV4::MsgSinkFunc func, void* userData)
{
    if (func == nullptr)
        return ThreadPoolV4::TaskInvalidArgument;
    std::shared_ptr<Task> task = CurrentTask();
    std::lock_guard<std::mutex> lock(task->mutex);
    task->sinks[msgId] = Task::Sink{func, userData};
    return ThreadPoolV4::TaskOk;
}

TaskErrorCode TaskPool::UnregisterSink(unsigned msgId)
{
    std::shared_ptr<Task> task = CurrentTask();
    std::lock_guard<std::mutex> lock(task->mutex);
    return task->sinks.erase(msgId) != 0 ? ThreadPoolV4::TaskOk : ThreadPoolV4::TaskNoSink;
}

TaskErrorCode TaskPool::Post(uint64_t targetId, unsigned msgId, IXData* record, unsigned param,
                             ThreadPoolV4::PostCompletionFunc completion)
{
    const uint64_t from = CurrentTask()->id;
    std::shared_ptr<Task> target;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_tasks.find(targetId);
        if (it != m_tasks.end())
            target = it->second;
    }
    if (record != nullptr)
        record->AddRef();
    Message message{from, msgId, record, param, completion};
    if (target != nullptr) {
        std::lock_guard<std::mutex> lock(target->mutex);
        if (!target->ended) {
            target->queue.push_back(message);
            target->wake.notify_all();
            return ThreadPoolV4::TaskOk;
        }
    }
    Complete(message, ThreadPoolV4::TaskNotFound);
    return ThreadPoolV4::TaskNotFound;
}

TaskErrorCode TaskPool::RunLoop(ThreadPoolV4::IdleFunc idle)
{
    std::shared_ptr<Task> task = CurrentTask();
    std::unique_lock<std::mutex> lock(task->mutex);
    bool idleDue = idle != nullptr;
    for (;;) {
        if (task->ended)
            return ThreadPoolV4::TaskShutDown;
        if (task->exitLoop) {
            task->exitLoop = false;
            return ThreadPoolV4::TaskOk;
        }
        if (task->queue.empty()) {
            if (idleDue) {
                idleDue = false;
                lock.unlock();
                try {
                    idle();
                } catch (...) {
                    // The loop outlives a throwing idle function.
                }
                lock.lock();
            } else {
                task->wake.wait(lock);
            }
            continue;
        }
        Message message = task->queue.front();
        task->queue.pop_front();
        auto sink = task->sinks.find(message.msgId);
        const bool hasSink = sink != task->sinks.end();
        const Task::Sink handler = hasSink ? sink->second : Task::Sink{};
        lock.unlock();
        if (hasSink) {
            try {
                handler.func(message.from, message.msgId, message.record, message.param, handler.userData);
            } catch (...) {
                // The message still counts as handled: the sink ran.
            }
        }
        Complete(message, hasSink ? ThreadPoolV4::TaskOk : ThreadPoolV4::TaskNoSink);
        idleDue = idle != nullptr;
        lock.lock();
    }
}

void TaskPool::SetExitLoop(int exit)
{
    std::shared_ptr<Task> task = CurrentTask();
    std::lock_guard<std::mutex> lock(task->mutex);
    task->exitLoop = exit != 0;
    task->wake.notify_all();
}

TaskErrorCode TaskPool::SetExitLoopOf(uint64_t taskId)
{
    std::shared_ptr<Task> task;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_tasks.find(taskId);
        if (it == m_tasks.end())
            return ThreadPoolV4::TaskNotFound;
        task = it->second;
    }
    std::lock_guard<std::mutex> lock(task->mutex);
    task->exitLoop = true;
    task->wake.notify_all();
    return ThreadPoolV4::TaskOk;
}

uint64_t TaskPool::CurrentTaskId()
{
    return CurrentTask()->id;
}

void TaskPool::Shutdown()
{
    std::vector<std::shared_ptr<Task>> tasks;
    std::unordered_map<uint64_t, std::thread> threads;
    std::vector<std::thread> finished;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_shuttingDown = true;
        ++m_generation;
        for (auto& entry : m_tasks) {
            entry.second->counted = false;
            tasks.push_back(entry.second);
        }
        m_tasks.clear();
        for (auto& entry : m_classes) {
            entry.second.pending.clear();
            entry.second.running = 0;
        }
        threads.swap(m_threads);
        finished.swap(m_finished);
    }
    for (const std::shared_ptr<Task>& task : tasks) {
        std::deque<Message> dropped = EndTask(*task);
        DropAll(dropped, ThreadPoolV4::TaskShutDown);
    }
    // A task ended earlier by DeleteTask may still be finishing its work.
    for (auto& entry : threads)
        JoinUnlessSelf(entry.second);
    for (std::thread& thread : finished)
        JoinUnlessSelf(thread);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_shuttingDown = false;
}

void TaskPool::EndPlainTask(const std::shared_ptr<Task>& task)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_tasks.find(task->id);
        if (it != m_tasks.end() && it->second == task)
            m_tasks.erase(it);
    }
    std::deque<Message> dropped = EndTask(*task);
    DropAll(dropped, ThreadPoolV4::TaskNotFound);
}

std::shared_ptr<TaskPool::Task> TaskPool::CurrentTask()
{
    std::shared_ptr<Task>& current = Context().task;
    if (current != nullptr && current->managed)
        return current;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (current != nullptr && current->generation == m_generation)
        return current;
    // First use on this thread, or its context was ended by a Shutdown.
    auto task = std::make_shared<Task>();
    task->id = ++m_lastId;
    task->generation = m_generation;
    m_tasks[task->id] = task;
    current = task;
    return task;
}

void TaskPool::RunTask(const std::shared_ptr<Task>& task)
{
    Context().task = task;
    try {
        task->func(task->id, task->param);
    } catch (...) {
        // An escaping exception ends the task like a return does.
    }
    FinishTask(task);
}

void TaskPool::FinishTask(const std::shared_ptr<Task>& task)
{
    // Messages go first: a completion may call back into the pool, which
    // must not find this thread among the ones to join.
    std::deque<Message> dropped = EndTask(*task);
    DropAll(dropped, ThreadPoolV4::TaskNotFound);
    std::vector<std::shared_ptr<Task>> failed;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_tasks.find(task->id);
        if (it != m_tasks.end() && it->second == task)
            m_tasks.erase(it);
        auto thread = m_threads.find(task->id);
        if (thread != m_threads.end()) {
            m_finished.push_back(std::move(thread->second));
            m_threads.erase(thread);
        }
        if (task->counted) {
            task->counted = false;
            TaskClass& taskClass = m_classes[task->cls];
            --taskClass.running;
            failed = StartWaiting(taskClass);
        }
    }
    for (const std::shared_ptr<Task>& waiting : failed) {
        std::deque<Message> lost = EndTask(*waiting);
        DropAll(lost, ThreadPoolV4::TaskFailed);
    }
}

std::vector<std::shared_ptr<TaskPool::Task>> TaskPool::StartWaiting(TaskClass& cls)
{
    std::vector<std::shared_ptr<Task>> failed;
    while (!m_shuttingDown && !cls.pending.empty() && (cls.maxRunning == 0 || cls.running < cls.maxRunning)) {
        std::shared_ptr<Task> task = cls.pending.front();
        cls.pending.pop_front();
        if (StartThread(task)) {
            task->counted = true;
            ++cls.running;
        } else {
            m_tasks.erase(task->id);
            failed.push_back(task);
        }
    }
    return failed;
}

bool TaskPool::StartThread(const std::shared_ptr<Task>& task)
{
    try {
        m_threads.emplace(task->id, std::thread(&TaskPool::RunTask, this, task));
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

void TaskPool::JoinFinished()
{
    std::vector<std::thread> finished;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        finished.swap(m_finished);
    }
    for (std::thread& thread : finished)
        JoinUnlessSelf(thread);
}

}  // namespace Corekit
