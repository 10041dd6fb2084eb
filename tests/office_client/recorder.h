// Recording automation servers for the converter tests: objects that answer every member
// by name, log each call as one line (kind, object, member, positional and named
// arguments with their variant types, by-reference marks), return child objects or
// scripted values, fail where a test says so, and write a small PostScript file into the
// print target of every PrintOut.
//
// A `Recorder` owns the log and the script; `serve(progId)` registers a server under a
// ProgID for the recorder's lifetime. Paths of temporary files under the recorder's temp
// folder are written as <tmp1>, <tmp2>, ... in the order they first appear.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "automation/creation.h"
#include "automation/dispatch.h"
#include "conversion/routines.h"

namespace docmill::test {

// A PostScript page that prints `text`.
std::string postScriptPage(const std::string& text);

class Recorder : public std::enable_shared_from_this<Recorder> {
 public:
  explicit Recorder(std::string tempFolder);

  // Registers a server under `progId` whose application object is labelled "app".
  void serve(const std::string& progId);
  // Revokes every server this recorder registered.
  void withdraw() { registrations_.clear(); }
  // An object labelled `label` that records into this log (the object's own interface in
  // the multi-sheet merge, for instance).
  DispatchPtr object(const std::string& label);

  // Adds a line to the log (tests note their own events in order with the calls).
  void note(const std::string& line);
  const std::vector<std::string>& log() const { return log_; }
  void clearLog() { log_.clear(); }
  // The log lines from the first line that starts with `prefix` on.
  std::vector<std::string> logFrom(const std::string& prefix) const;
  // Replaces temporary paths by their <tmpN> names.
  std::string normalise(const std::string& text);
  // The real path behind <tmpN>.
  std::string tempPath(int n) const { return temps_.at(n - 1); }
  int applicationsCreated() const { return created_; }

  // Scripted behaviour.
  // Members returning a value instead of an object (keyed by member name).
  std::map<std::string, Variant> values;
  // Objects returned by these members get a short label ("Open" -> "doc").
  std::map<std::string, std::string> labels;
  // A call whose log line starts with the key fails with the error.
  std::map<std::string, Error> failures;
  // Called with the print target of each PrintOut; writes a PostScript page by default.
  std::function<void(const std::string& path)> onPrint;

  // Used by the recording objects.
  Variant invoked(const std::string& label, const std::string& member, uint16_t flags,
                  const std::vector<Variant>& args,
                  const std::vector<std::pair<std::string, Variant>>& named,
                  const std::optional<Variant>& putValue);

 private:
  std::string tempFolder_;
  std::vector<std::string> log_;
  std::vector<std::string> temps_;
  std::vector<ClassRegistration> registrations_;
  int created_ = 0;
};

// The object a converter runs for: a temp folder and an interface of its own.
class FakeObject : public ObjectServices {
 public:
  FakeObject(std::string temp, DispatchPtr self) : temp_(std::move(temp)), self_(std::move(self)) {}
  std::string tempFilePath() const override { return temp_; }
  DispatchPtr self() override { return self_; }

 private:
  std::string temp_;
  DispatchPtr self_;
};

}  // namespace docmill::test
