// Helpers for the end-to-end tests: PostScript fixtures written by the tests, and the
// PDF tools run without a shell so that any file name passes unchanged.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace docmill::gs::testing {

// Runs a program with `args`; returns its standard output ("" when it could not run).
inline std::string runTool(const std::vector<std::string>& args) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  std::string out;
  char buffer[4096];
  for (ssize_t n; rc == 0 && (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
    out.append(buffer, n);
  ::close(fds[0]);
  if (rc == 0) ::waitpid(pid, nullptr, 0);
  return out;
}

// The page count pdfinfo reads from a PDF; -1 when it is no readable PDF.
inline int pageCount(const std::string& pdf) {
  std::string info = runTool({"pdfinfo", pdf});
  auto at = info.find("Pages:");
  return at == std::string::npos ? -1 : std::stoi(info.substr(at + 6));
}

inline std::string pdfText(const std::string& pdf) {
  return runTool({"pdftotext", pdf, "-"});
}

// A PostScript document of `pages` pages, each saying "<label> page <n>".
inline void writeTextPs(const std::string& path, int pages, const std::string& label,
                        const std::string& trailer = {}) {
  std::ofstream out(path, std::ios::binary);
  out << "%!PS-Adobe-3.0\n%%Pages: " << pages << "\n/Helvetica findfont 20 scalefont setfont\n";
  for (int p = 1; p <= pages; ++p) {
    out << "%%Page: " << p << " " << p << "\n72 720 moveto (" << label << " page " << p
        << ") show\n72 690 moveto (The quick brown fox jumps over the lazy dog.) show\nshowpage\n";
  }
  out << trailer << "%%EOF\n";
}

}  // namespace docmill::gs::testing
