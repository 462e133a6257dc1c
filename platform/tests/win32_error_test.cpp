#include "platform/win32_error.h"

#include <cerrno>
#include <gtest/gtest.h>

namespace vel::platform {

TEST(Win32FromErrno, MapsTheErrorsCallersTest) {
  struct Case {
    int err;
    uint32_t expected;
  } cases[] = {
      {0, 0},        {ENOENT, 2},  {ENOTDIR, 3},       {EACCES, 5},  {ENOMEM, 8},
      {EINVAL, 87},  {EEXIST, 80}, {EWOULDBLOCK, 32},  {ENOSPC, 112}, {ETIMEDOUT, 1460},
      {ENAMETOOLONG, 206}, {-12345, 1359},
  };
  for (const Case& c : cases) EXPECT_EQ(Win32FromErrno(c.err), c.expected) << "errno " << c.err;
}

}  // namespace vel::platform
