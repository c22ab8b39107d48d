#include "pelbo/corekit/ThreadPool.h"

#include <new>
#include <utility>

#include "TaskPool.h"
#include "TimerQueue.h"

namespace ThreadPoolV4 {
namespace {

// Keeps exceptions (only allocation failures are possible) inside the library.
template <typename F>
TaskErrorCode Guarded(F&& body)
{
    try {
        return body();
    } catch (...) {
        return TaskFailed;
    }
}

}  // namespace

TaskErrorCode SetManagedClsAttri(const wchar_t* cls, unsigned short maxRunning, unsigned flags)
{
    return Guarded([&] { return Corekit::TaskPool::Instance().SetClassLimit(cls, maxRunning); });
}

TaskErrorCode AddManagedTask(const wchar_t* cls, const wchar_t* name, void* param, TaskFunc func, uint64_t* taskId)
{
    return Guarded([&] { return Corekit::TaskPool::Instance().AddTask(cls, name, param, func, taskId); });
}

TaskErrorCode DelManagedTaskCalledByMainThread(uint64_t taskId)
{
    return Guarded([&] { return Corekit::TaskPool::Instance().DeleteTask(taskId); });
}

TaskErrorCode RegMsgSink(unsigned msgId, MsgSinkFunc func, void* userData)
{
    return Guarded([&] { return Corekit::TaskPool::Instance().RegisterSink(msgId, func, userData); });
}

TaskErrorCode UnregMsgSink(unsigned msgId)
{
    return Guarded([&] { return Corekit::TaskPool::Instance().UnregisterSink(msgId); });
}

TaskErrorCode PostMsg(uint64_t targetId, unsigned msgId, IXData* record, unsigned param, PostCompletionFunc completion)
{
    return Guarded(
        [&] { return Corekit::TaskPool::Instance().Post(targetId, msgId, record, param, completion); });
}

TaskErrorCode RunBaseLoop(IdleFunc idle)
{
    return Guarded([&] { return Corekit::TaskPool::Instance().RunLoop(idle); });
}

void SetExitLoop(int exit)
{
    Guarded([&] {
        Corekit::TaskPool::Instance().SetExitLoop(exit);
        return TaskOk;
    });
}

TaskErrorCode SetExitLoopOf(uint64_t taskId)
{
    return Guarded([&] { return Corekit::TaskPool::Instance().SetExitLoopOf(taskId); });
}

uint64_t GetCurrentTaskId()
{
    try {
        return Corekit::TaskPool::Instance().CurrentTaskId();
    } catch (...) {
        return 0;
    }
}

void Shutdown()
{
    // Timers first: their callbacks may post to tasks.
    Corekit::TimerQueue::Instance().Shutdown();
    Corekit::TaskPool::Instance().Shutdown();
}

struct CTaskTimerHelper::Impl {
    // Touching the queue here makes it outlive every timer built after it,
    // static ones included.
    Corekit::TimerQueue& queue = Corekit::TimerQueue::Instance();
    Corekit::TimerQueue::Handle timer = Corekit::TimerQueue::Create();
};

CTaskTimerHelper::CTaskTimerHelper() : m_impl(new Impl) {}

CTaskTimerHelper::~CTaskTimerHelper()
{
    m_impl->queue.Stop(m_impl->timer);
    delete m_impl;
}

void CTaskTimerHelper::SetCallBack(std::function<void()> callback)
{
    m_impl->queue.SetCallback(m_impl->timer, std::move(callback));
}

int CTaskTimerHelper::Start(unsigned periodMs, int immediate)
{
    try {
        return m_impl->queue.Start(m_impl->timer, periodMs, immediate != 0) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

void CTaskTimerHelper::Stop()
{
    m_impl->queue.Stop(m_impl->timer);
}

bool CTaskTimerHelper::IsActive() const
{
    return m_impl->queue.IsActive(m_impl->timer);
}

}  // namespace ThreadPoolV4
