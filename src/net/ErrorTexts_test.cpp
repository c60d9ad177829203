#include "net/ErrorTexts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "net/SocketException.h"

namespace {

using kelpd::net::FileErrorText;
using kelpd::net::SocketErrorText;
using kelpd::platform::FileResult;

TEST(SocketErrorText, KnownAndUnknownNumbers) {
  EXPECT_EQ(SocketErrorText(10053), "the connection was aborted due to timeout or other failure");
  EXPECT_EQ(SocketErrorText(10009), "the descriptor is not a socket");
  EXPECT_EQ(SocketErrorText(10038), "the descriptor is not a socket");
  EXPECT_EQ(SocketErrorText(10014),
            "the buf argument is not in a valid part of the user address space or the "
            "nSockAddrLen argument is incorrect");
  EXPECT_EQ(SocketErrorText(10022), "the socket has not been bound to an address");
  EXPECT_EQ(SocketErrorText(10061), "the attempt to connect was rejected");
  EXPECT_EQ(SocketErrorText(10093), "the winsock API has not been initialised correctly");
  EXPECT_EQ(SocketErrorText(11001), "the host was not found");
  EXPECT_EQ(SocketErrorText(12345), "unknown error: 12345");
  EXPECT_EQ(SocketErrorText(10059), "unknown error: 10059");
  EXPECT_EQ(SocketErrorText(-7), "unknown error: -7");
}

TEST(CSocketException, GetErrorMessageCutsAndZeroesTheBuffer) {
  const std::string text = "the connection was aborted due to timeout or other failure";
  CSocketException e(10053);

  char small[16];
  std::memset(small, 'x', sizeof small);
  EXPECT_TRUE(e.GetErrorMessage(small, sizeof small));
  EXPECT_EQ(std::string(small), text.substr(0, 15));

  char large[128];
  std::memset(large, 'x', sizeof large);
  unsigned help = 77;
  EXPECT_TRUE(e.GetErrorMessage(large, sizeof large, &help));
  EXPECT_EQ(std::string(large), text);
  for (size_t i = text.size(); i < sizeof large; ++i) ASSERT_EQ(large[i], '\0') << i;
  EXPECT_EQ(help, 77u);

  char one[1] = {'x'};
  EXPECT_TRUE(e.GetErrorMessage(one, sizeof one));
  EXPECT_EQ(one[0], '\0');
}

TEST(CSocketException, ThrownByValueWithItsText) {
  try {
    throw CSocketException(12345);
  } catch (const CSocketException& e) {
    EXPECT_EQ(e.m_nError, 12345);
    EXPECT_EQ(e.GetErrorText(), "unknown error: 12345");
  }
  EXPECT_EQ(CSocketException(11001).GetErrorText(), "the host was not found");
}

TEST(FileErrorText, CauseTable) {
  EXPECT_EQ(FileErrorText(nullptr), "CFileException is NULL pointer");
  auto text = [](int cause) {
    const FileResult e(static_cast<kelpd::platform::FileCause>(cause), -1);
    return FileErrorText(&e);
  };
  EXPECT_EQ(text(11), "there was a sharing violation");
  EXPECT_EQ(text(0), "no error occurred");
  EXPECT_EQ(text(14), "the end of file was reached");
  EXPECT_EQ(text(15), "unknown error: 0x0000000F");
  EXPECT_EQ(text(99), "unknown error: 0x00000063");
  EXPECT_EQ(text(-1), "unknown error: 0xFFFFFFFF");
  FileResult from_errno = FileResult::FromErrno(2);  // ENOENT
  EXPECT_EQ(FileErrorText(&from_errno), "the file could not be located");
}

}  // namespace
