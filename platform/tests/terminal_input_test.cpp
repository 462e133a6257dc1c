#include "platform/terminal_input.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace vel::platform {
namespace {

// A pipe holding `text`, its writing end closed.
int PipeWith(const std::string& text) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  EXPECT_EQ(::write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(fds[1]);
  return fds[0];
}

TEST(SecretLineTest, ReadsOneLineAtATimeFromAScript) {
  const int fd = PipeWith("tajne\r\n\nostatnie");
  std::string line;
  ASSERT_TRUE(ReadSecretLine(fd, &line));
  EXPECT_EQ(line, "tajne");
  ASSERT_TRUE(ReadSecretLine(fd, &line));
  EXPECT_EQ(line, "");  // an empty password is a password
  ASSERT_TRUE(ReadSecretLine(fd, &line));
  EXPECT_EQ(line, "ostatnie");  // the end of input ends the line
  EXPECT_TRUE(ReadSecretLine(fd, &line));
  EXPECT_EQ(line, "");
  EXPECT_FALSE(ReadSecretLine(fd, &line, true));  // nothing left to read
  ::close(fd);
}

TEST(SecretLineTest, RefusesAnOverlongLineAndABadDescriptor) {
  const int fd = PipeWith(std::string(kMaxSecretLine + 1, 'x') + "\n");
  std::string line = "old";
  EXPECT_FALSE(ReadSecretLine(fd, &line));
  EXPECT_TRUE(line.empty());
  ::close(fd);
  EXPECT_FALSE(ReadSecretLine(-1, &line));
}

}  // namespace
}  // namespace vel::platform
