// The background thread that runs one job per kick, so that the host's thread can fetch the next
// frame meanwhile. In mode 2 the job is the GPU context's render and readback (RenderJob,
// installed by InitDevice); the worker itself knows nothing of Direct3D. Hand-over is by two
// auto-reset events; the lock only keeps StartWorker and StopWorker apart.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

struct RenderWorker {
    CRITICAL_SECTION lock;
    HANDLE startEvent;
    HANDLE doneEvent;
    HANDLE thread;
    uint32_t threadId;
    int32_t priority;
    std::atomic<uint8_t> stopRequested; // read by both threads
    uint8_t jobPending;                 // host thread only
    // The last job both rendered and read back its frame (set by the worker before doneEvent).
    std::atomic<uint8_t> jobSucceeded;
    // The work of every kick, installed by StartWorker: jobFunc(jobArg) on the worker's thread.
    void* jobArg;
    void (*jobFunc)(void* arg);
};

// A record in its initial state (no thread, no events, lock initialised); null when memory is
// short. DeleteWorker frees a record that StopWorker has stopped.
RenderWorker* NewWorker();
void DeleteWorker(RenderWorker* worker);

// Installs `job` with its argument as the work of every kick and starts the thread: 0 when the
// thread runs, -1 when it could not be started. A worker that already runs keeps its thread, its
// events and its job.
int32_t StartWorker(RenderWorker* worker, void (*job)(void* arg), void* jobArg);
// 0 when the job was handed over, -1 when the worker cannot take it.
int32_t KickWorker(RenderWorker* worker);
// Ends the thread (a running job finishes first) and releases the events and the lock.
void StopWorker(RenderWorker* worker);

unsigned __stdcall WorkerEntry(void* worker);
void WorkerLoop(RenderWorker* worker);
