// What the host, the interpreter's helper process and a run's child say to each other.
//
// The host hands the helper a `RunOrder` with a connected socket for the run; the helper
// forks a child, says so on that socket (a started report) and the child reads the
// `RunRequest` (with the host's working folder attached) from it and answers with a
// `ChildReport`; when the child has ended, the helper adds an `EndReport` and closes its
// side. A socket that closes without a started report was never taken up. Messages are framed by
// platform/channel.h. Decoding checks every length against the message and throws `BadMessage` for
// anything malformed: a run's child handles hostile input and may not be trusted to answer
// sensibly.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ghostscript/inputs.h"

namespace docmill::gs::protocol {

// Longest message read from a run's socket or the helper's control socket.
inline constexpr size_t kMaxRequest = size_t{256} << 20;
inline constexpr size_t kMaxReport = size_t{1} << 20;

class BadMessage : public std::runtime_error {
 public:
  BadMessage() : std::runtime_error("malformed message") {}
};

struct RunOrder {
  uint64_t timeoutMilliseconds = 0;
  uint64_t memoryBytes = 0;  // address space the run may map beyond its start
  uint64_t diskBytes = 0;    // what the run may write: its scratch folder and outputs together
  std::string library;       // the interpreter library file to run; empty: the default one
  // What the helper watches the run's writing in (absolute paths): its private scratch
  // folder and the files it writes.
  std::string scratchFolder;
  std::vector<std::string> outputs;
};

struct RunRequest {
  std::vector<std::string> args;
  std::vector<std::string> reads;   // files the run may read
  std::vector<std::string> writes;  // files the run may write
  std::string scratchFolder;        // the run's private temporary folder
};

struct ChildReport {
  bool ran = false;  // false: the child could not prepare the run (text says why)
  // The interpreter was not started because an input is unusable (see `inputs`).
  bool refused = false;
  // A write of the run failed at the file size limit (its disk allowance).
  bool overDisk = false;
  int64_t code = 0;
  std::string text;               // the interpreter's error lines, or why the run could not start
  std::vector<InputKind> inputs;  // what each input of the run is
  std::vector<FindingAt> findings;
};

struct EndReport {
  enum class How : uint8_t {
    Exited = 0,
    Signaled = 1,
    TimedOut = 2,
    NotStarted = 3,
    OverDisk = 4,   // killed, or stopped by the file size limit, past its disk allowance
    Cancelled = 5,  // killed because the host stopped waiting for it
  };
  How how = How::Exited;
  // Exit status or signal number; for NotStarted, the runtime error number when the
  // library could not be loaded or lacks an entry point (0 for any other reason).
  int64_t value = 0;
  uint64_t cpuMicroseconds = 0;
  std::string text;  // why no run started
};

std::string encode(const RunOrder& order);
std::string encode(const RunRequest& request);
std::string encode(const ChildReport& report);
std::string encode(const EndReport& report);
std::string encodeStarted();

RunOrder decodeOrder(std::string_view bytes);
RunRequest decodeRequest(std::string_view bytes);

// A message on a run's socket: the helper's started or end report, or the child's report.
struct Report {
  enum class Kind { Started, Child, End };
  Kind kind = Kind::Child;
  ChildReport child;
  EndReport end;
};
Report decodeReport(std::string_view bytes);

}  // namespace docmill::gs::protocol
