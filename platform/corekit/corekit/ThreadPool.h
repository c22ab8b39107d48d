#pragma once
// ThreadPoolV4: managed tasks, each a thread with its own message loop, and
// the main-thread loop.
//
// Every thread that uses the message functions has a task context: a task
// started with AddManagedTask has one from its start; any other thread (the
// client's main thread) gets one on its first RegMsgSink, PostMsg or
// RunBaseLoop. A message posted to a task is queued to it and handled on that
// task's thread by the sink the task registered for the message number; the
// sink is told the id of the task that posted it. Messages to a task that has
// ended, or for which the task has no sink, are dropped (the record is
// released and the completion function told so).
//
// Task classes limit how many of their tasks run at once (attribute 1); tasks
// over the limit wait their turn. Nothing starts before the first call; every
// thread is joined by Shutdown (also run when corekit is unloaded).

#include <cstdint>
#include <functional>

#include "pelbo/corekit/CorekitExport.h"
#include "pelbo/corekit/XData.h"

namespace ThreadPoolV4 {

enum TaskErrorCode : int {
    TaskOk = 0,
    TaskInvalidArgument = 1,
    TaskNotFound = 2,
    TaskNoSink = 3,
    TaskShutDown = 4,
    TaskFailed = 5,
};

// Runs on the new task's thread; the loop is the function's to run
// (RegMsgSink, then RunBaseLoop).
typedef void (*TaskFunc)(uint64_t taskId, void* param);
// Handles one message on the receiving task's thread.
typedef void (*MsgSinkFunc)(uint64_t fromTaskId, unsigned msgId, IXData* record, unsigned param, void* userData);
// Told once per PostMsg, on the receiving thread after the sink returned
// (code TaskOk) or wherever the message was dropped (another code).
typedef void (*PostCompletionFunc)(TaskErrorCode code, unsigned msgId, IXData* record, unsigned param);
// Called by RunBaseLoop between messages when the queue is empty.
typedef void (*IdleFunc)();

// maxRunning: tasks of the class running at once (0 = no limit); flags: reserved.
COREKIT_API TaskErrorCode SetManagedClsAttri(const wchar_t* cls, unsigned short maxRunning, unsigned flags);
COREKIT_API TaskErrorCode AddManagedTask(const wchar_t* cls, const wchar_t* name, void* param, TaskFunc func,
                                         uint64_t* taskId);
// Ends the task: its loop stops after the message it is handling, its queued
// messages are dropped. Does not wait for the thread (a later call or
// Shutdown joins it). A task still waiting for a slot never runs. A plain
// thread's context is refused (TaskInvalidArgument): its loop is ended with
// SetExitLoopOf.
COREKIT_API TaskErrorCode DelManagedTaskCalledByMainThread(uint64_t taskId);

// Sinks belong to the calling thread's task.
COREKIT_API TaskErrorCode RegMsgSink(unsigned msgId, MsgSinkFunc func, void* userData);
COREKIT_API TaskErrorCode UnregMsgSink(unsigned msgId);
// Queues the message for task targetId; the record gets a reference of its
// own (the caller keeps its reference). A task waiting for a slot of its
// class accepts messages. For an unknown or ended target the completion is
// told at once and TaskNotFound returned.
COREKIT_API TaskErrorCode PostMsg(uint64_t targetId, unsigned msgId, IXData* record, unsigned param,
                                  PostCompletionFunc completion);

// Runs the calling thread's loop until SetExitLoop(1) is called on it (from a
// sink or from another thread with SetExitLoopOf); returns TaskOk then, and
// TaskShutDown when the task was ended (DelManagedTaskCalledByMainThread or
// Shutdown).
COREKIT_API TaskErrorCode RunBaseLoop(IdleFunc idle);
COREKIT_API void SetExitLoop(int exit);
COREKIT_API TaskErrorCode SetExitLoopOf(uint64_t taskId);
// The calling thread's task id (creating its context when needed).
COREKIT_API uint64_t GetCurrentTaskId();

// Ends every task and timer and joins their threads. Later calls start anew
// (plain threads get new task ids; class limits are kept).
COREKIT_API void Shutdown();

// A periodic timer whose callback runs on the pool's timer thread. Stop and
// the destructor wait for a callback running on another thread; called from
// inside the callback they do not wait.
class COREKIT_API CTaskTimerHelper {
public:
    CTaskTimerHelper();
    ~CTaskTimerHelper();
    CTaskTimerHelper(const CTaskTimerHelper&) = delete;
    CTaskTimerHelper& operator=(const CTaskTimerHelper&) = delete;

    void SetCallBack(std::function<void()> callback);
    // Fires every periodMs; with immediate non-zero the first call comes at
    // once. Restarts a running timer. Non-zero on success.
    int Start(unsigned periodMs, int immediate);
    void Stop();
    bool IsActive() const;

private:
    struct Impl;
    Impl* m_impl;
};

}  // namespace ThreadPoolV4
