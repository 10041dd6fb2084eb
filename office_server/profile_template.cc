#include "office_server/profile_template.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <utility>

#include "platform/files.h"
#include "platform/scratch.h"
#include "platform/settings.h"
#include "platform/trust.h"

namespace docmill::office_server {

namespace {

// Inside the template, beside the profile's own files; removed from every copy.
constexpr const char* kStampFile = "docmill-template-stamp";
// The profile's settings: every office gets ours, written after the copy.
constexpr const char* kSettingsFile = "registrymodifications.xcu";
constexpr size_t kMaxStampBytes = 4096;

// The place for this user's template, or "" when there is none. The cache folder is made
// only inside a home (or cache home) folder that exists and is ours: a system user's home
// that does not exist (often /nonexistent) is not created, and another user's home (a HOME
// kept across sudo) is not written.
std::string placeForUser() {
  if (auto named = platform::readTextSetting(platform::kProfileTemplate)) return *named;
  std::string base;
  std::string below;
  if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && *cache == '/') {
    base = cache;
    below = "/docmill/office-profile";
  } else if (const char* home = std::getenv("HOME"); home && *home == '/') {
    base = home;
    below = "/.cache/docmill/office-profile";
  } else {
    return {};
  }
  const auto check = platform::checkPath(base, platform::LastEntry::Private);
  if (!check.trusted() || check.resolved.empty() || check.resolved == "/" ||
      platform::entryAt(check.resolved) != platform::EntryKind::Folder) {
    return {};
  }
  return base + below;
}

// What the template was made by: the office's program folder and the files that change
// when it is upgraded or replaced.
std::string installationStamp(const std::string& programFolder) {
  std::string stamp = "docmill office profile template 1\nprogram " + programFolder + "\n";
  for (const char* name : {"soffice.bin", "libmergedlo.so", "versionrc"}) {
    stamp += std::string(name) + " " +
             platform::fileStamp(programFolder + "/" + name).value_or("missing") + "\n";
  }
  return stamp;
}

// Leaves `userFolder` an empty folder, for a fresh profile.
bool freshProfile(const std::string& userFolder) {
  platform::removeTree(userFolder);
  try {
    platform::makeDirectory(userFolder, 0700);
  } catch (const platform::OsError&) {
    // The office meets the missing folder and makes it itself.
  }
  return false;
}

}  // namespace

ProfileTemplate::ProfileTemplate(std::string place, std::string stamp)
    : place_(std::move(place)),
      stamp_(std::move(stamp)),
      state_(place_.empty() ? State::NoPlace : State::Unknown) {}

ProfileTemplate ProfileTemplate::forInstallation(const std::string& programFolder) {
  return ProfileTemplate(placeForUser(), installationStamp(programFolder));
}

void ProfileTemplate::distrust(const std::string& problem) {
  state_ = State::Untrusted;
  // Once per process: every office would say the same.
  static std::atomic<bool> warned{false};
  if (!warned.exchange(true)) {
    std::fprintf(stderr,
                 "docmill: not using the office profile template in %s (offices make fresh "
                 "profiles): %s\n",
                 place_.c_str(), problem.c_str());
  }
}

bool ProfileTemplate::copyTo(const std::string& userFolder) {
  if (state_ == State::NoPlace) return freshProfile(userFolder);
  const std::string folder = place_ + "/template";
  const auto check = platform::checkPath(folder, platform::LastEntry::Private);
  if (!check.trusted()) {
    distrust(check.problem);
    return freshProfile(userFolder);
  }
  if (check.resolved.empty()) {
    state_ = State::Missing;
    return freshProfile(userFolder);
  }
  platform::TreeCopy copy;
  try {
    // From the path as named, not the resolved one: the template itself may not be a link.
    copy = platform::copyPrivateTree(folder, userFolder, {kSettingsFile});
  } catch (const platform::OsError&) {
    // Our own profile folder could not be written; the template may be sound.
    return freshProfile(userFolder);
  }
  if (copy.fault == platform::TreeFault::Untrusted) {
    distrust(copy.problem);
    return freshProfile(userFolder);
  }
  // The stamp, read from our own private copy, so nobody can change it in between.
  const std::string stampPath = userFolder + "/" + kStampFile;
  std::string stamp;
  if (std::ifstream in{stampPath, std::ios::binary}) {
    stamp.assign(std::istreambuf_iterator<char>(in), {});
  }
  platform::removeQuietly(stampPath);
  if (!copy.copied() || stamp.size() > kMaxStampBytes || stamp != stamp_) {
    state_ = State::Damaged;
    return freshProfile(userFolder);
  }
  state_ = State::Used;
  return true;
}

void ProfileTemplate::keep(const std::string& userFolder) {
  if (state_ == State::NoPlace || state_ == State::Untrusted) return;
  const std::string folder = place_ + "/template";
  try {
    platform::makeFolders(place_, 0700);
    const auto check = platform::checkPath(place_, platform::LastEntry::Private);
    if (!check.trusted()) {
      distrust(check.problem);
      return;
    }
    // Made beside the template, so that it is put in place by a rename; removed with
    // whatever it holds when this ends (the old template, once exchanged).
    platform::TempFolder staging(place_, ".new-");
    const std::string made = staging.path() + "/template";
    if (!platform::copyPrivateTree(userFolder, made, {kSettingsFile}).copied()) return;
    // Written last: a template with a stamp is whole.
    platform::replaceFile(made, kStampFile, stamp_, 0600);
    if (platform::renameIfAbsent(made, folder)) {
      state_ = State::Used;
      return;
    }
    // Another process put one in place meanwhile: it is as good as ours, unless the one
    // there was found broken or of no use.
    if (state_ != State::Damaged && state_ != State::Used) return;
    // The old one has only entries of ours (it was copied or walked to its end); it goes
    // with the staging folder.
    const auto again = platform::checkPath(folder, platform::LastEntry::Private);
    if (!again.trusted() || again.resolved.empty()) return;
    platform::exchangeEntries(made, folder);
    state_ = State::Used;
  } catch (const platform::OsError&) {
    // No template this time; the next fresh profile tries again.
  }
}

}  // namespace docmill::office_server
