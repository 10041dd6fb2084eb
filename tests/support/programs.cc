#include "tests/support/programs.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

extern char** environ;

namespace docmill::test {
namespace {

int exitStatus(int status) {
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

ProgramOutput runProgram(const std::vector<std::string>& argv, bool withErrors) {
  ProgramOutput result;
  if (argv.empty()) return result;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  if (withErrors) {
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  char buffer[4096];
  for (ssize_t n; rc == 0 && (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
    result.text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  if (rc == 0) {
    int status = -1;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = exitStatus(status);
  }
  return result;
}

ProgramOutput runShell(const std::string& command) {
  ProgramOutput result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    result.text.append(buffer, n);
  result.status = exitStatus(::pclose(pipe));
  return result;
}

std::string shellQuoted(const std::string& word) {
  std::string out = "'";
  for (char c : word) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

int pdfPageCount(const std::string& pdf) {
  const std::string info = runProgram({"pdfinfo", pdf}).text;
  const auto at = info.find("Pages:");
  return at == std::string::npos ? -1 : std::stoi(info.substr(at + 6));
}

std::string pdfText(const std::string& pdf, const std::vector<std::string>& options) {
  std::vector<std::string> argv = {"pdftotext", "-q"};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(pdf);
  argv.push_back("-");
  return runProgram(argv).text;
}

}  // namespace docmill::test
