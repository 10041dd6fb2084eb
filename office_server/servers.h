// The Office application servers: "Word.Application", "Excel.Application",
// "Powerpoint.Application" and "Publisher.Application", played by LibreOffice.
//
// `registerOfficeServers()` puts the four classes into this process's class table for as
// long as the returned registrations live. The first application object starts a pool of
// office processes (headless, each with a private profile and pipe) that stay warm for
// later objects; each application object works on one office of its own, so several run
// in parallel. The offices end, and their profiles are removed, when the host process
// exits or when `shutdownOffice()` is called. Creating an application when no office can
// be started raises run-time error 429. A call that hangs, kills its office or makes it
// grow past its memory limit fails with the application's error, and the office is
// replaced. Each office is confined to its own folder and a network of its own: documents
// reach neither the network nor other files than their own. A host that has not set its own
// handler for SIGPIPE gets it ignored once the first office is reached, so that an office
// dying during a write cannot end the host.
//
// Errors carry the application's name as source and one number per kind of failure, so a
// script can tell them apart:
//
//   source       cannot open   password     bad value    failed
//   Word         5174          5408         4608         4198
//   Excel        1004          1005         1004         1004
//   PowerPoint   0x80048240    0x80048241   0x80048242   0x80048243
//   Publisher    0x80041000    0x80041001   0x80041002   0x80041003
//
// "cannot open": the file is missing, unreadable, damaged or not of the application's kind;
// "password": the file is encrypted and no password, or a wrong one, was given; "bad value":
// an argument out of range (unknown printer, page list, cell range, ...); "failed": the
// office could not carry out the request or stopped. An unknown member fails with 438, an
// unknown worksheet with 9.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "automation/creation.h"

namespace docmill::office_server {

[[nodiscard]] std::vector<ClassRegistration> registerOfficeServers();

// Ends every office's process group now and removes their profiles. The next application
// object starts the pool afresh. Never raises.
void shutdownOffice();

// How the offices are pooled; read from the environment (DOCMILL_OFFICE_POOL,
// DOCMILL_OFFICE_TIMEOUT in seconds, DOCMILL_OFFICE_MAX_DOCS, DOCMILL_OFFICE_QUEUE,
// DOCMILL_OFFICE_MEMORY in MiB) unless set with `configureOffices()`.
struct PoolSettings {
  int size = 2;                                    // offices
  std::chrono::milliseconds callTimeout{120'000};  // per office call
  int maxDocuments = 200;                          // documents before an office is replaced
  int queueLimit = 1000;                           // callers that may wait for an office
  // Resident memory (MiB) an office may use during a call; past half of it, an office is
  // replaced once its lease is returned.
  int memoryLimitMiB = 3072;
  // Every office starts at the first use; otherwise the first caller starts one, and another
  // starts only when a caller would wait for one and the pool is below its size.
  bool warm = false;
  // Raises 429 naming the variable and the value when a value is refused (see
  // platform/settings.h).
  static PoolSettings fromEnvironment();
};

// Starts every office of the pool now, in the background, and keeps the pool whole from then
// on (a service, or a host asked to be warm). Never raises: a start that fails is reported
// to the caller that needs that office.
void startOffices();

// Ends the offices now and uses `settings` from the next application object on.
void configureOffices(const PoolSettings& settings);
PoolSettings officeSettings();

// What each office of the pool is doing; empty before the first application object.
struct OfficeStatus {
  int index = 0;
  pid_t pid = 0;  // 0 while none runs
  std::string profile;
  int documents = 0;  // opened since this office started
  bool leased = false;
  bool inCall = false;    // a call is running on it
  std::string document;   // the document its application opened last
  bool ready = false;     // it runs and takes calls
  int restarts = 0;       // times it was started again since the pool started
  int processStarts = 0;  // office processes its last start ran: 2 when it made a new profile
  int waiting = 0;        // callers waiting for a free office (the same in every entry)
};
std::vector<OfficeStatus> officeStatus();
// How many callers wait in the queue for a free office now.
int officeQueueLength();

// The office of the application object this thread created last (or else the first
// running office): its process id (also its process group) and profile folder; 0 and ""
// when none runs. For hosts that report on the office, and for tests.
pid_t officeProcessId();
std::string officeProfileFolder();

}  // namespace docmill::office_server
