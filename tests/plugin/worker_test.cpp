// The render worker: start, kick and stop, one job per kick with one done signal each, the
// priority that follows the driving thread, a worker whose wait fails or that never started,
// and the render job's record of whether it delivered.
#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <utility>

#include "gpu/render.h"
#include "host/frame_pipeline.h"
#include "tests/plugin/plugin_fixture.h"
#include "worker/render_worker.h"

namespace kestrin::plugin_testing {
namespace {

// A job the test controls: counts its runs and leaves its mark in the call log.
struct CountingJob {
    std::mutex mutex;
    std::vector<int> runs; // the job number of each run, in order
    int next = 1;
};
void RunCountingJob(void* arg) {
    auto* job = static_cast<CountingJob*>(arg);
    std::lock_guard lock(job->mutex);
    job->runs.push_back(job->next++);
    hooks::shouldFail("test job", nullptr);
}

// The call log reduced to the event sets and the job's runs.
std::vector<std::string> handOvers() {
    std::vector<std::string> kept;
    for (const std::string& name : hooks::callLog())
        if (name == "SetEvent" || name == "test job") kept.push_back(name);
    return kept;
}

// Waits until the worker thread has made `calls` waits in all (it parks on startEvent).
bool waitsMade(int calls) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (hooks::callCount("WaitForSingleObject") < calls) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class Worker : public PluginTest {
  protected:
    void SetUp() override {
        PluginTest::SetUp();
        worker_ = NewWorker();
        ASSERT_NE(worker_, nullptr);
    }
    void TearDown() override {
        if (worker_) {
            StopWorker(worker_);
            DeleteWorker(worker_);
        }
        PluginTest::TearDown();
    }
    // Started, with the counting job in place of the render job.
    void startCounting() {
        ASSERT_EQ(StartWorker(worker_, nullptr, nullptr), 0);
        worker_->jobFunc = RunCountingJob;
        worker_->jobArg = &job_;
    }

    RenderWorker* worker_ = nullptr;
    CountingJob job_;
};

TEST_F(Worker, NewRecordHasNothing) {
    EXPECT_EQ(worker_->startEvent, nullptr);
    EXPECT_EQ(worker_->doneEvent, nullptr);
    EXPECT_EQ(worker_->thread, nullptr);
    EXPECT_EQ(worker_->threadId, 0u);
    EXPECT_EQ(worker_->priority, 0);
    EXPECT_EQ(worker_->stopRequested, 0);
    EXPECT_EQ(worker_->jobPending, 0);
    EXPECT_EQ(worker_->jobArg, nullptr);
    EXPECT_EQ(worker_->jobFunc, nullptr);
}

TEST_F(Worker, StartOnARunningWorkerChangesNothing) {
    GpuContext* first = reinterpret_cast<GpuContext*>(uintptr_t{0x1000});
    ASSERT_EQ(StartWorker(worker_, RenderJob, first), 0);
    EXPECT_EQ(worker_->jobFunc, &RenderJob);
    EXPECT_EQ(worker_->jobArg, first);
    EXPECT_NE(worker_->threadId, 0u);
    HANDLE thread = worker_->thread, start = worker_->startEvent, done = worker_->doneEvent;
    startOver();
    // A second start with another job keeps the running worker's job.
    EXPECT_EQ(StartWorker(worker_, RunCountingJob, &job_), 0);
    EXPECT_EQ(worker_->thread, thread);
    EXPECT_EQ(worker_->startEvent, start);
    EXPECT_EQ(worker_->doneEvent, done);
    EXPECT_EQ(worker_->jobFunc, &RenderJob);
    EXPECT_EQ(worker_->jobArg, first);
    EXPECT_EQ(hooks::callCount("CreateEventW"), 0);
    EXPECT_EQ(hooks::callCount("_beginthreadex"), 0);
}

TEST_F(Worker, KickIsRefusedWithoutAThreadOrWhileStopping) {
    for (uint8_t pending : {0, 1}) {
        worker_->jobPending = pending;
        EXPECT_EQ(KickWorker(worker_), -1);
        EXPECT_EQ(worker_->jobPending, pending);
    }
    ASSERT_NO_FATAL_FAILURE(startCounting());
    worker_->stopRequested = 1;
    for (uint8_t pending : {0, 1}) {
        worker_->jobPending = pending;
        EXPECT_EQ(KickWorker(worker_), -1);
        EXPECT_EQ(worker_->jobPending, pending);
    }
    worker_->jobPending = 0;
    // StopWorker sets the flag itself: the worker wakes and ends without running the job.
    StopWorker(worker_);
    DeleteWorker(std::exchange(worker_, nullptr));
    EXPECT_TRUE(job_.runs.empty());
}

// Each kick runs one job, each job is followed by exactly one done signal, in this order.
TEST_F(Worker, EveryKickRunsOneJobFollowedByOneDoneSignal) {
    ASSERT_NO_FATAL_FAILURE(startCounting());
    startOver();
    for (int kick = 1; kick <= 2; ++kick) {
        ASSERT_EQ(KickWorker(worker_), 0);
        EXPECT_EQ(worker_->jobPending, 1);
        worker_->jobPending = 0;
        ASSERT_TRUE(waitSignalled(worker_->doneEvent));
        // Nothing else is pending: the one signal was consumed.
        EXPECT_EQ(WaitForSingleObject(worker_->doneEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    }
    {
        std::lock_guard lock(job_.mutex);
        EXPECT_EQ(job_.runs, (std::vector<int>{1, 2}));
    }
    EXPECT_EQ(handOvers(), (std::vector<std::string>{"SetEvent", "test job", "SetEvent", "SetEvent",
                                                     "test job", "SetEvent"}));
}

// An idle worker told to stop wakes, runs no job, sets doneEvent twice (once for the job it
// skips, once on leaving) and has ended when StopWorker returns.
TEST_F(Worker, StoppingAnIdleWorker) {
    ASSERT_NO_FATAL_FAILURE(startCounting());
    ASSERT_TRUE(waitsMade(1)); // parked on startEvent
    HANDLE start = worker_->startEvent, done = worker_->doneEvent;
    startOver();
    StopWorker(worker_);
    EXPECT_EQ(worker_->thread, nullptr);
    EXPECT_EQ(worker_->startEvent, nullptr);
    EXPECT_EQ(worker_->doneEvent, nullptr);
    EXPECT_TRUE(job_.runs.empty());
    EXPECT_EQ(handOvers(), (std::vector<std::string>{"SetEvent", "SetEvent", "SetEvent"}));
    // Thread and both events are closed: their handles are refused now.
    EXPECT_EQ(hooks::callCount("CloseHandle"), 3);
    EXPECT_EQ(WaitForSingleObject(start, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForSingleObject(done, 0), WAIT_FAILED);
    DeleteWorker(std::exchange(worker_, nullptr));
}

// A worker whose thread never started: stopping it closes the events that exist and deletes the
// lock; nothing waits.
TEST_F(Worker, StoppingAWorkerThatNeverStarted) {
    struct Row {
        const char* name;
        void (*arrange)();
        bool startEvent, doneEvent;
    };
    const Row rows[] = {
        {"start event", [] { hooks::failEventCreation(1); }, false, true},
        {"done event", [] { hooks::failEventCreation(2); }, true, false},
        {"thread", [] { hooks::failThreadCreation(1); }, true, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RenderWorker* worker = NewWorker();
        ASSERT_NE(worker, nullptr);
        startOver();
        row.arrange();
        EXPECT_EQ(StartWorker(worker, nullptr, nullptr), -1);
        EXPECT_EQ(worker->thread, nullptr);
        EXPECT_EQ(worker->startEvent != nullptr, row.startEvent);
        EXPECT_EQ(worker->doneEvent != nullptr, row.doneEvent);
        EXPECT_EQ(KickWorker(worker), -1);
        EXPECT_EQ(worker->jobPending, 0);
        startOver();
        StopWorker(worker);
        EXPECT_EQ(worker->startEvent, nullptr);
        EXPECT_EQ(worker->doneEvent, nullptr);
        EXPECT_EQ(hooks::callCount("CloseHandle"), int{row.startEvent} + int{row.doneEvent});
        EXPECT_EQ(hooks::callCount("WaitForSingleObject"), 0);
        EXPECT_EQ(hooks::callCount("SetEvent"), 0);
        DeleteWorker(worker);
    }
}

// A failed wait on startEvent ends the worker as if told to stop: no job, doneEvent set twice,
// stopRequested set, the thread handle kept until StopWorker.
TEST_F(Worker, FailedWaitEndsTheWorker) {
    hooks::failCall("WaitForSingleObject", 1, E_FAIL);
    ASSERT_NO_FATAL_FAILURE(startCounting());
    ASSERT_TRUE(waitsMade(1)); // the worker's wait, the one that fails
    ASSERT_TRUE(waitSignalled(worker_->thread));
    EXPECT_EQ(worker_->stopRequested, 1);
    EXPECT_NE(worker_->thread, nullptr);
    EXPECT_TRUE(job_.runs.empty());
    EXPECT_EQ(handOvers(), (std::vector<std::string>{"SetEvent", "SetEvent"}));
    // Both sets found nobody waiting: one signal is pending, the second added nothing.
    EXPECT_EQ(WaitForSingleObject(worker_->doneEvent, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(worker_->doneEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(KickWorker(worker_), -1);
    EXPECT_EQ(worker_->jobPending, 0);
}

TEST_F(Worker, PriorityFollowsTheDrivingThread) {
    HANDLE self = GetCurrentThread();
    ASSERT_TRUE(SetThreadPriority(self, THREAD_PRIORITY_BELOW_NORMAL));
    ASSERT_NO_FATAL_FAILURE(startCounting());
    EXPECT_EQ(worker_->priority, THREAD_PRIORITY_NORMAL);
    EXPECT_EQ(GetThreadPriority(worker_->thread), THREAD_PRIORITY_NORMAL);

    struct Row {
        int caller;
        int recorded, applied; // what the record and the thread hold after the kick
        int priorityCalls;     // -1: not seen (the stand-in logs no call it refuses)
    };
    const Row rows[] = {
        {THREAD_PRIORITY_BELOW_NORMAL, 0, 0, 0}, // unchanged: no call
        {THREAD_PRIORITY_NORMAL, 1, 1, 1},
        {THREAD_PRIORITY_NORMAL, 1, 1, 0},
        {THREAD_PRIORITY_LOWEST, -1, -1, 1},
        // One above the highest is refused by the system: the record moves, the thread stays.
        {THREAD_PRIORITY_HIGHEST, 3, -1, -1},
        {THREAD_PRIORITY_HIGHEST, 3, -1, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("caller " + std::to_string(row.caller));
        ASSERT_TRUE(SetThreadPriority(self, row.caller));
        startOver();
        ASSERT_EQ(KickWorker(worker_), 0);
        worker_->jobPending = 0;
        ASSERT_TRUE(waitSignalled(worker_->doneEvent));
        if (row.priorityCalls >= 0) {
            EXPECT_EQ(hooks::callCount("SetThreadPriority"), row.priorityCalls);
        }
        EXPECT_EQ(worker_->priority, row.recorded);
        EXPECT_EQ(GetThreadPriority(worker_->thread), row.applied);
    }
}

// The render job records whether it both rendered and read back; FinishFrame relies on it.
class RenderJobTest : public BuiltTest {};

TEST_F(RenderJobTest, RecordsWhetherTheFrameWasDelivered) {
    RenderWorker* worker = ctx().worker;
    ASSERT_NE(worker, nullptr);
    const std::vector<YcPixel> source = makeImage(kWidth, kHeight, kPitch, 3);
    ASSERT_EQ(UploadFrame(g_context, ctx().transferSurface, source.data(), nullptr), D3D_OK);
    struct Row {
        const char* name;
        const char* method; // made to fail once, or null
        uint8_t succeeded;
        Texts messages;
        int validations; // the job renders with the flag set
    };
    const Row rows[] = {
        {"delivered", nullptr, 1, {}, 1},
        {"readback fails", "IDirect3DDevice9::GetRenderTargetData", 0, {text::kReadBackFailed}, 1},
        {"scene refused", "IDirect3DDevice9::BeginScene", 0, {}, 0},
        {"delivered again", nullptr, 1, {}, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        startOver();
        if (row.method) hooks::failCall(row.method, 1, E_FAIL);
        worker->jobSucceeded = row.succeeded ? 0 : 1; // the job must overwrite it
        ASSERT_EQ(KickWorker(worker), 0);
        worker->jobPending = 0;
        ASSERT_TRUE(waitSignalled(worker->doneEvent));
        EXPECT_EQ(worker->jobSucceeded, row.succeeded);
        EXPECT_EQ(messageTexts(), row.messages);
        EXPECT_EQ(hooks::callCount("IDirect3DDevice9::ValidateDevice"), row.validations);
    }
    // A null context is no job at all.
    RenderJob(nullptr);
}

// What a job saw of the last job's success when it started.
struct SuccessProbe {
    RenderWorker* worker = nullptr;
    int seen = -1;
};
void ProbeSuccess(void* arg) {
    auto* probe = static_cast<SuccessProbe*>(arg);
    probe->seen = probe->worker->jobSucceeded;
}

// A job that does not report success (the worker skipped it, or it stopped half-way) never
// inherits the success of the job before: the kick clears it before the worker wakes, so the
// frame fails instead of delivering the unfiltered upload.
TEST_F(RenderJobTest, AJobThatReportsNothingIsNeverASuccess) {
    RenderWorker* worker = ctx().worker;
    const std::vector<YcPixel> source = makeImage(kWidth, kHeight, kPitch, 5);
    ASSERT_EQ(UploadFrame(g_context, ctx().transferSurface, source.data(), nullptr), D3D_OK);
    ASSERT_EQ(KickWorker(worker), 0);
    std::vector<YcPixel> out = makeImage(kWidth, kHeight, kPitch, 6);
    ASSERT_TRUE(FinishFrame(out.data(), nullptr));
    ASSERT_EQ(worker->jobSucceeded, 1);

    SuccessProbe probe{worker};
    worker->jobFunc = ProbeSuccess;
    worker->jobArg = &probe;
    ASSERT_EQ(KickWorker(worker), 0);
    const std::vector<YcPixel> before = out;
    EXPECT_FALSE(FinishFrame(out.data(), nullptr));
    EXPECT_EQ(probe.seen, 0);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), before.begin(), samePixel))
        << "the output was written";
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

} // namespace
} // namespace kestrin::plugin_testing
