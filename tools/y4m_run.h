// kestrin-run on YUV4MPEG2 streams (files, or standard input and output as "-").
#pragma once

#include <string>

#include "tools/run_options.h"

namespace kestrin::tools {

// A *.y4m name.
bool hasYuv4mpegName(const std::string& path);
// "-", a *.y4m name, or a file that starts as a YUV4MPEG2 stream.
bool isYuv4mpegPath(const std::string& path);

// Filters the stream `o.input` into `o.output` (no output: filtered and dropped). The exit code:
// 0 done; 1 the plug-in failed a frame or could not start, or the output could not be written
// (a reader that went away); 2 a bad stream or option.
int runYuv4mpeg(const Options& o);

} // namespace kestrin::tools
