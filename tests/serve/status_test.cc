// The status a failed conversion answers with, by what the conversion noted on its call.
#include <gtest/gtest.h>

#include "conversion/routines.h"
#include "serve/routes.h"

namespace docmill::serve {
namespace {

// An input the conversion could not use is the client's fault whatever error it raised; a
// time-out and a cancellation keep their own statuses.
TEST(StatusTest, AnUnusableInputAnswers400) {
  const Error failed{pdoErrConversionFailed, "docmill", "Conversion to out.pdf failed: ..."};
  const Error other{hr::E_FAIL, "docmill", "failed"};
  CallContext plain;
  EXPECT_EQ(statusFor(other, hr::DISP_E_EXCEPTION, &plain), 500);
  CallContext bad;
  bad.noteBadInput();
  EXPECT_EQ(statusFor(failed, hr::DISP_E_EXCEPTION, &bad), 400);
  EXPECT_EQ(statusFor(other, hr::DISP_E_EXCEPTION, &bad), 400);
  EXPECT_EQ(statusFor(cancelledError(), hr::DISP_E_EXCEPTION, &bad), 499);
  bad.noteTimedOut();
  EXPECT_EQ(statusFor(failed, hr::DISP_E_EXCEPTION, &bad), 504);
}

}  // namespace
}  // namespace docmill::serve
