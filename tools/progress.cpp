#include "tools/progress.h"

#include <algorithm>

#include <cstdio>
#include <string>

#if defined(_WIN32)
#include <io.h>
#define KESTRIN_ISATTY _isatty
#define KESTRIN_FILENO _fileno
#else
#include <unistd.h>
#define KESTRIN_ISATTY isatty
#define KESTRIN_FILENO fileno
#endif

namespace kestrin::tools {
namespace {

// 75 -> "1:15", 3725 -> "1:02:05".
std::string clock(double seconds) {
    const auto s = static_cast<long long>(seconds + 0.5);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
    return text;
}

} // namespace

Progress::Progress(bool quiet, int64_t total)
    : quiet_(quiet), terminal_(KESTRIN_ISATTY(KESTRIN_FILENO(stderr)) != 0), total_(total),
      start_(Clock::now()), lastShown_(start_) {}

double Progress::elapsed() const {
    return std::chrono::duration<double>(Clock::now() - start_).count();
}

void Progress::line(int64_t frames, bool final) {
    const double seconds = elapsed();
    const double fps = seconds > 0 ? frames / seconds : 0.0;
    char count[48], eta[32] = "";
    if (total_ >= 0)
        std::snprintf(count, sizeof count, "%lld/%lld", static_cast<long long>(frames),
                      static_cast<long long>(total_));
    else
        std::snprintf(count, sizeof count, "%lld", static_cast<long long>(frames));
    if (total_ >= 0 && !final && fps > 0)
        std::snprintf(eta, sizeof eta, ", ETA %s",
                      clock(static_cast<double>(total_ - frames) / fps).c_str());
    std::fprintf(stderr, "\rframe %s, %.1f fps, %s elapsed%s\033[K%s", count, fps,
                 clock(seconds).c_str(), eta, final ? "\n" : "");
    std::fflush(stderr);
}

void Progress::frameDone(int64_t frames) {
    if (quiet_ || !terminal_) return;
    const auto now = Clock::now();
    if (shown_ && now - lastShown_ < std::chrono::milliseconds(250)) return;
    lastShown_ = now;
    shown_ = true;
    line(frames, false);
}

void Progress::finish(int64_t frames, const RunTimes& times) {
    if (quiet_) return;
    if (terminal_ && shown_) line(frames, true);
    const double seconds = elapsed();
    auto share = [&](double part) {
        return seconds > 0 ? std::clamp(100.0 * part / seconds, 0.0, 100.0) : 0.0;
    };
    std::fprintf(stderr,
                 "kestrin-run: %lld frame%s in %.2f s, %.2f fps; %.0f%% of the time outside the "
                 "plug-in (reading %.0f%%, converting %.0f%%, writing %.0f%%)\n",
                 static_cast<long long>(frames), frames == 1 ? "" : "s", seconds,
                 seconds > 0 ? frames / seconds : 0.0, share(seconds - times.plugin),
                 share(times.reading), share(times.converting), share(times.writing));
}

} // namespace kestrin::tools
