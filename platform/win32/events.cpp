// Events: CreateEventW, SetEvent, ResetEvent.
//
// A set of an auto-reset event hands the signal straight to the longest-waiting thread, as
// Windows does, so two sets while two threads wait release both; with nobody waiting the event
// stays signalled and the next wait consumes it. A manual-reset set releases every waiter and
// stays set until ResetEvent.
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/win32/kernel_objects.h"

namespace kestrin::platform::win32 {
namespace {

class Event final : public KernelObject {
  public:
    Event(bool manualReset, bool signalled) : manualReset_(manualReset), signalled_(signalled) {}

    bool waitUntil(const Deadline& deadline) override {
        std::unique_lock lock(mutex_);
        if (signalled_) {
            if (!manualReset_) signalled_ = false;
            return true;
        }
        Waiter self;
        queue_.push_back(&self);
        auto released = [&self] { return self.released; };
        if (deadline) {
            released_.wait_until(lock, *deadline, released);
        } else {
            released_.wait(lock, released);
        }
        if (self.released) return true; // set() already took it off the queue
        queue_.erase(std::find(queue_.begin(), queue_.end(), &self));
        return false;
    }

    int waiters() const override {
        std::lock_guard lock(mutex_);
        return static_cast<int>(queue_.size());
    }

    void set() {
        std::lock_guard lock(mutex_);
        if (manualReset_) {
            signalled_ = true;
            for (Waiter* waiter : queue_) waiter->released = true;
            queue_.clear();
        } else if (!queue_.empty()) {
            queue_.front()->released = true;
            queue_.pop_front();
        } else {
            signalled_ = true;
        }
        released_.notify_all();
    }

    void reset() {
        std::lock_guard lock(mutex_);
        signalled_ = false;
    }

  private:
    // One per blocked wait, on the waiting thread's stack; set() marks the ones it releases.
    struct Waiter {
        bool released = false;
    };

    const bool manualReset_;
    mutable std::mutex mutex_;
    std::condition_variable released_;
    std::deque<Waiter*> queue_; // oldest first
    bool signalled_;
};

} // namespace
} // namespace kestrin::platform::win32

using namespace kestrin::platform;
using namespace kestrin::platform::win32;

extern "C" {

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR) {
    return enter({.function = __func__}, LastErrorValue<HANDLE>{nullptr}, [&](auto& call) {
        return call.proceed([&] {
            HANDLE handle = insertHandle(std::make_shared<Event>(manualReset, initialState));
            SetLastError(ERROR_SUCCESS);
            return handle;
        });
    });
}

BOOL WINAPI SetEvent(HANDLE event) {
    return enter({.function = __func__}, LastErrorValue<BOOL>{FALSE}, [&](auto& call) -> BOOL {
        auto object = lookupHandleAs<Event>(event);
        if (!object) return FALSE;
        return call.proceed([&] {
            object->set();
            return TRUE;
        });
    });
}

BOOL WINAPI ResetEvent(HANDLE event) {
    return enter({.function = __func__}, LastErrorValue<BOOL>{FALSE}, [&](auto& call) -> BOOL {
        auto object = lookupHandleAs<Event>(event);
        if (!object) return FALSE;
        return call.proceed([&] {
            object->reset();
            return TRUE;
        });
    });
}

} // extern "C"
