// The DOCMILL_* settings of the environment: their names, the rules of their values and the
// one reader of them.
//
// A variable that is unset or empty takes its default, which the caller knows. A whole
// number is written in decimal digits only: no sign, blanks, unit or fraction ("4x" and
// "-1" are refused, not read as 4 or taken for the default). A number of seconds may also
// have a fraction ("1.5"). A value below a setting's minimum is refused; one above its
// maximum is taken as the maximum. A refused value throws `SettingError`, whose text names
// the variable, the value and what it accepts; the layer that reads a setting turns it into
// its own error once.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace docmill::platform {

class SettingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct WholeNumberSetting {
  const char* name;
  uint64_t minimum;
  uint64_t maximum;
};

// Office processes in the pool, and the workers of `docmill convert` (default: the cores).
inline constexpr WholeNumberSetting kOfficePool{"DOCMILL_OFFICE_POOL", 1, 1'000'000};
// Documents an office serves before it is replaced (default 200).
inline constexpr WholeNumberSetting kOfficeMaxDocuments{"DOCMILL_OFFICE_MAX_DOCS", 1, 1'000'000};
// Callers that may wait for a free office (default 1000).
inline constexpr WholeNumberSetting kOfficeQueue{"DOCMILL_OFFICE_QUEUE", 0, 1'000'000};
// MiB of resident memory an office may use during a call (default 3072).
inline constexpr WholeNumberSetting kOfficeMemoryMiB{"DOCMILL_OFFICE_MEMORY", 64, 1'000'000};
// Seconds one office call may take (default 120); a fraction is allowed.
inline constexpr const char* kOfficeTimeout = "DOCMILL_OFFICE_TIMEOUT";
// Seconds one interpreter run may take (default 120).
inline constexpr WholeNumberSetting kInterpreterTimeout{"DOCMILL_INTERPRETER_TIMEOUT", 1,
                                                        10'000'000};
// MiB of memory one interpreter run may map (default 2048).
inline constexpr WholeNumberSetting kInterpreterMemoryMiB{"DOCMILL_INTERPRETER_MEMORY", 1,
                                                          1ull << 30};
// MiB one interpreter run may write, its temporary files and its output together (default
// 2048).
inline constexpr WholeNumberSetting kInterpreterDiskMiB{"DOCMILL_INTERPRETER_DISK", 1, 1ull << 30};
// The folder that keeps the office's profile template, instead of the user's cache folder
// (text, taken as is).
inline constexpr const char* kProfileTemplate = "DOCMILL_PROFILE_TEMPLATE";
// The folder of class records, instead of the user's and the system's (text, taken as is).
inline constexpr const char* kRegistry = "DOCMILL_REGISTRY";

// `docmill serve`: the largest request body in bytes (default 100 MiB), conversions that
// may wait for a turn (default 64), seconds a client may stay silent (default 60) and
// seconds SIGTERM waits for requests in flight (default 30); the bearer token (text).
inline constexpr WholeNumberSetting kServeMaxBytes{"DOCMILL_SERVE_MAX_BYTES", 1, 1ull << 40};
inline constexpr WholeNumberSetting kServeQueue{"DOCMILL_SERVE_QUEUE", 0, 100'000};
inline constexpr WholeNumberSetting kServeIdleTimeout{"DOCMILL_SERVE_IDLE_TIMEOUT", 1, 86'400};
inline constexpr WholeNumberSetting kServeDrainTimeout{"DOCMILL_SERVE_DRAIN_TIMEOUT", 0, 86'400};
inline constexpr const char* kServeToken = "DOCMILL_SERVE_TOKEN";
// `docmill serve`: connections at a time in all and from one client address (defaults 256
// and 32), seconds a request may take to send its headers (default 10; a fraction is
// allowed), the least bytes a second an upload must average (default 1024; 0: none), and
// further names the service answers to (text: a comma-separated list).
inline constexpr WholeNumberSetting kServeMaxConnections{"DOCMILL_SERVE_MAX_CONNECTIONS", 1,
                                                         10'000};
inline constexpr WholeNumberSetting kServeMaxClientConnections{
    "DOCMILL_SERVE_MAX_CLIENT_CONNECTIONS", 1, 10'000};
inline constexpr const char* kServeHeaderTimeout = "DOCMILL_SERVE_HEADER_TIMEOUT";
inline constexpr WholeNumberSetting kServeMinUploadRate{"DOCMILL_SERVE_MIN_UPLOAD_RATE", 0,
                                                        1ull << 30};
inline constexpr const char* kServeHosts = "DOCMILL_SERVE_HOSTS";

// The job queue: where Redis is ("redis://HOST:PORT[/DB]" or "unix:PATH"; text), seconds a
// job's records are kept after its last change (default 3600), the largest request or result
// in bytes a job may hold (default 100 MiB) and seconds after which a job whose worker went
// silent is given to another (default 60).
inline constexpr const char* kQueue = "DOCMILL_QUEUE";
inline constexpr WholeNumberSetting kJobTtl{"DOCMILL_JOB_TTL", 1, 366 * 86'400};
inline constexpr WholeNumberSetting kJobMaxBytes{"DOCMILL_JOB_MAX_BYTES", 1, 1ull << 40};
inline constexpr WholeNumberSetting kJobClaimAfter{"DOCMILL_JOB_CLAIM_AFTER", 1, 86'400};
// Webhooks: the URLs results may be posted to (text: patterns separated by commas or blanks,
// '*' standing for any run of characters). Unset: no webhook is ever posted.
inline constexpr const char* kWebhookAllow = "DOCMILL_WEBHOOK_ALLOW";

// The value of a whole-number setting; nothing when it is unset or empty.
std::optional<uint64_t> readSetting(const WholeNumberSetting& setting);
// The value of a setting in seconds, greater than 0; nothing when it is unset or empty.
std::optional<std::chrono::milliseconds> readSecondsSetting(const char* name);
// The text of a setting; nothing when it is unset or empty.
std::optional<std::string> readTextSetting(const char* name);
// The text of a setting that must say something when it is set at all (a secret, say):
// nothing when it is unset; set but empty or blank, it is refused rather than read as unset.
std::optional<std::string> readNonEmptyTextSetting(const char* name);

// DOCMILL_OFFICE_POOL, else the number of cores (2 when the system does not say).
uint64_t officePoolSize();

// The pool service's socket: where `docmill serve --socket` listens and where the host and
// the Python module look for it (a path; "off" makes them never look).
inline constexpr const char* kPoolSocket = "DOCMILL_POOL_SOCKET";
// DOCMILL_POOL_SOCKET, else "pool.sock" in the folder `poolSocketFolder()` names.
std::string poolSocketPath();
// The user's private folder for the pool service's socket: "docmill" in $XDG_RUNTIME_DIR
// (a folder only the user can reach), else /tmp/docmill-UID.
std::string poolSocketFolder();

// The environment a call's behaviour depends on, as one text: every DOCMILL_ setting except
// the pool socket's, the scratch folder's TMPDIR and the HOME and XDG_DATA_HOME that find
// the class registry. Two processes whose texts are equal make the same call the same way.
std::string behaviourEnvironment();

}  // namespace docmill::platform
