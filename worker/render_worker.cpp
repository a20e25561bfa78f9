#include "worker/render_worker.h"

#include <process.h>

#include <new>

RenderWorker* NewWorker() {
    RenderWorker* worker = new (std::nothrow) RenderWorker;
    if (!worker) return nullptr;
    worker->startEvent = nullptr;
    worker->doneEvent = nullptr;
    worker->thread = nullptr;
    worker->threadId = 0;
    worker->priority = 0;
    worker->stopRequested = 0;
    worker->jobPending = 0;
    worker->jobSucceeded = 0;
    worker->jobArg = nullptr;
    worker->jobFunc = nullptr;
    InitializeCriticalSection(&worker->lock);
    return worker;
}

void DeleteWorker(RenderWorker* worker) {
    delete worker;
}

int32_t StartWorker(RenderWorker* worker, void (*job)(void* arg), void* jobArg) {
    EnterCriticalSection(&worker->lock);
    if (worker->thread) {
        LeaveCriticalSection(&worker->lock);
        return 0;
    }
    worker->jobFunc = job;
    worker->jobArg = jobArg;
    worker->stopRequested = 0;
    if (!worker->startEvent) worker->startEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!worker->doneEvent) worker->doneEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (worker->startEvent && worker->doneEvent) {
        ResetEvent(worker->startEvent);
        ResetEvent(worker->doneEvent);
        unsigned id = 0;
        worker->thread =
            reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, WorkerEntry, worker, 0, &id));
        worker->threadId = id;
        if (worker->thread) {
            worker->priority = GetThreadPriority(GetCurrentThread()) + 1;
            SetThreadPriority(worker->thread, worker->priority);
            LeaveCriticalSection(&worker->lock);
            return 0;
        }
    }
    LeaveCriticalSection(&worker->lock);
    return -1;
}

int32_t KickWorker(RenderWorker* worker) {
    if (!worker->thread || worker->stopRequested) return -1;
    // The worker runs one step above the thread that drives it, following it from kick to kick.
    const int32_t priority = GetThreadPriority(GetCurrentThread()) + 1;
    if (priority != worker->priority) {
        worker->priority = priority;
        SetThreadPriority(worker->thread, priority);
    }
    // A job the worker skips (its wait failed) must not inherit the last job's success.
    worker->jobSucceeded = 0;
    worker->jobPending = 1;
    SetEvent(worker->startEvent);
    return 0;
}

void StopWorker(RenderWorker* worker) {
    EnterCriticalSection(&worker->lock);
    HANDLE thread = InterlockedExchangePointer(&worker->thread, nullptr);
    if (thread) {
        worker->stopRequested = 1;
        SetEvent(worker->startEvent);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    LeaveCriticalSection(&worker->lock);
    EnterCriticalSection(&worker->lock);
    if (worker->startEvent) {
        CloseHandle(worker->startEvent);
        worker->startEvent = nullptr;
    }
    if (worker->doneEvent) {
        CloseHandle(worker->doneEvent);
        worker->doneEvent = nullptr;
    }
    LeaveCriticalSection(&worker->lock);
    DeleteCriticalSection(&worker->lock);
}

unsigned __stdcall WorkerEntry(void* worker) {
    WorkerLoop(static_cast<RenderWorker*>(worker));
    _endthreadex(0);
    return 0;
}

void WorkerLoop(RenderWorker* worker) {
    if (!worker->stopRequested) {
        do {
            if (WaitForSingleObject(worker->startEvent, INFINITE) != WAIT_OBJECT_0)
                worker->stopRequested = 1;
            if (!worker->stopRequested && worker->jobFunc) worker->jobFunc(worker->jobArg);
            SetEvent(worker->doneEvent);
        } while (!worker->stopRequested);
    }
    SetEvent(worker->doneEvent);
}
