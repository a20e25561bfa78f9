// What kestrin-run says while it filters a stream: on a terminal, one line refreshed at most four
// times a second (frame, frames per second, elapsed time, and the time left when the total is
// known); elsewhere nothing until one summary line at the end. Both on standard error, so that
// standard output can carry the video.
#pragma once

#include <chrono>
#include <cstdint>

namespace kestrin::tools {

// Where a run's time went, in seconds. The plug-in asks for its frames from inside its own
// call, so the time of those requests (reading and converting in) is not the plug-in's.
struct RunTimes {
    double plugin = 0;     // in the plug-in, its frame requests excluded
    double reading = 0;    // parsing the stream
    double converting = 0; // to the editor's pixels and back
    double writing = 0;
};

class Progress {
  public:
    // `total`: frames that will be filtered, or -1 when not known.
    Progress(bool quiet, int64_t total);
    // One more frame written.
    void frameDone(int64_t frames);
    // The summary: frames, time, frames per second, the share spent outside the plug-in and
    // how that share divides.
    void finish(int64_t frames, const RunTimes& times);

  private:
    using Clock = std::chrono::steady_clock;
    double elapsed() const;
    void line(int64_t frames, bool final);

    bool quiet_;
    bool terminal_;
    int64_t total_;
    Clock::time_point start_, lastShown_;
    bool shown_ = false;
};

} // namespace kestrin::tools
