// Confined file access: a confined process reads only beneath the folders it named and
// writes nowhere, while descriptors it opened before keep working.
#include "platform/confinement.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "platform/process.h"
#include "platform/scratch.h"
#include "tests/support/prerequisites.h"

using namespace docmill::platform;

TEST(FileAccess, ReadsOnlyBeneathTheNamedFoldersAndWritesNothing) {
  TempFolder allowed(systemTempFolder(), "allowed-");
  TempFolder other(systemTempFolder(), "other-");
  const std::string inside = allowed.path() + "/in.txt";
  const std::string outside = other.path() + "/out.txt";
  for (const auto& path : {inside, outside}) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  int early = ::open(outside.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(early, 0);
  SpawnOptions options;
  options.descriptors = {{early, 3}};
  ChildProcess child = ChildProcess::run(
      [&] {
        if (!restrictFileAccess({allowed.path(), "/no/such/folder"})) return 10;  // no Landlock
        int fd = ::open(inside.c_str(), O_RDONLY);
        if (fd < 0) return 1;
        ::close(fd);
        if (::open(outside.c_str(), O_RDONLY) >= 0 || errno != EACCES) return 2;
        if (::open(inside.c_str(), O_WRONLY) >= 0) return 3;
        if (::open((allowed.path() + "/new.txt").c_str(), O_WRONLY | O_CREAT, 0600) >= 0) return 4;
        if (::unlink(inside.c_str()) == 0) return 5;
        if (::write(3, "x", 1) != 1) return 6;  // opened before: still usable
        return 0;
      },
      options);
  const ExitStatus status = child.wait();
  ::close(early);
  DOCMILL_REQUIRE(status.code != 10, "the kernel cannot restrict file access");
  EXPECT_TRUE(status.succeeded()) << status.describe();
}
