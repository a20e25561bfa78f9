// What happened: live objects, the message-box log, and the text helpers of the records.
#include <atomic>
#include <mutex>

#include "platform/hooks/hooks_internal.h"
#include "platform/test_hooks.h"
#include "platform/win32/unicode.h"

namespace kestrin::platform::hooks {
namespace {

std::atomic<int> live{0};

struct MessageBoxLog {
    std::mutex mutex;
    std::vector<MessageBoxRecord> boxes;
};

MessageBoxLog& messageBoxLog() {
    static MessageBoxLog* instance = new MessageBoxLog;
    return *instance;
}

} // namespace

int liveObjects() {
    return live.load();
}
void objectCreated() {
    live.fetch_add(1);
}
void objectDestroyed() {
    live.fetch_sub(1);
}

std::vector<MessageBoxRecord> messageBoxes() {
    MessageBoxLog& log = messageBoxLog();
    std::lock_guard lock(log.mutex);
    return log.boxes;
}

void recordMessageBox(const MessageBoxRecord& record) {
    MessageBoxLog& log = messageBoxLog();
    std::lock_guard lock(log.mutex);
    log.boxes.push_back(record);
}

std::string MessageBoxRecord::utf8() const {
    return win32::utf8FromUtf16(text);
}

std::u16string utf16(const std::string& utf8) {
    return win32::utf16FromUtf8(utf8);
}

namespace detail {

void resetRecords() {
    MessageBoxLog& log = messageBoxLog();
    std::lock_guard lock(log.mutex);
    log.boxes.clear();
}

} // namespace detail
} // namespace kestrin::platform::hooks
