// What a test needs of the machine beyond the project's own build: the shared corpus of real
// documents, Landlock, a network namespace, a CUPS server, Chromium, HAProxy and the like.
//
// Outside CI a test whose prerequisite is missing skips and says why. On a CI machine
// (CI=true) the set-up installs and starts all of them, so a missing one is a fault of the
// set-up and fails the test instead of letting it pass unseen.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace docmill::test {

// Whether this run is on a CI machine: CI is set to "true".
bool onCi();

// The shared folder of real documents: $DOCMILL_CORPUS, else shared/corpus beside the
// checkout (or beside the folder of its worktrees); empty when none exists.
std::string corpusFolder();

}  // namespace docmill::test

// Skips the test (fails it on CI) unless `condition` holds; `why` says what is missing.
// Use it directly in the test body (or a fixture's SetUp), as GTEST_SKIP.
#define DOCMILL_REQUIRE(condition, why)                            \
  do {                                                             \
    if (!(condition)) {                                            \
      if (::docmill::test::onCi()) {                               \
        FAIL() << "missing prerequisite on a CI machine: " << why; \
      } else {                                                     \
        GTEST_SKIP() << why;                                       \
      }                                                            \
    }                                                              \
  } while (false)
