// The background thread that renders and reads back one frame per kick (mode 2), so that the
// host's thread can fetch the next frame meanwhile. Hand-over is by two auto-reset events; the
// lock only keeps StartWorker and StopWorker apart.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

struct GpuContext;

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
    void* jobArg;
    void (*jobFunc)(void* arg);
};

// A record in its initial state (no thread, no events, lock initialised); null when memory is
// short. DeleteWorker frees a record that StopWorker has stopped.
RenderWorker* NewWorker();
void DeleteWorker(RenderWorker* worker);

// 0 when the thread runs, -1 when it could not be started.
int32_t StartWorker(RenderWorker* worker, GpuContext* context);
// 0 when the job was handed over, -1 when the worker cannot take it.
int32_t KickWorker(RenderWorker* worker);
// Ends the thread (a running job finishes first) and releases the events and the lock.
void StopWorker(RenderWorker* worker);

unsigned __stdcall WorkerEntry(void* worker);
void WorkerLoop(RenderWorker* worker);
void RenderJob(void* context);
