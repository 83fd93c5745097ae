#include <gtest/gtest.h>

#include <cerrno>

#include "common/TestEnv.h"
#include "platform/support/CZnError.h"
#include "platform/support/LogWriter.h"

namespace ObjectStore {
namespace {

class CZnErrorTest : public test::TestEnv {};

CZnError failingStep() { return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "no [%s]", "x"); }

CZnError callerStep() {
  CZnError err = failingStep();
  if (err.failed()) return err.Push(FX_LOC, "Can't open [%s]", "/a/x");
  return CZnError::Success;
}

TEST_F(CZnErrorTest, SuccessIsZero) {
  EXPECT_TRUE(CZnError::Success.ok());
  EXPECT_EQ(FXErrorUtil::GetErrNo(CZnError::Success), 0);
  EXPECT_EQ(CZnError::Success.text(), "Success");
}

TEST_F(CZnErrorTest, ChainKeepsEveryFrameOutermostFirst) {
  CZnError err = callerStep();
  ASSERT_TRUE(err.failed());
  EXPECT_EQ(FXErrorUtil::GetErrNo(err), ENOENT);
  ASSERT_EQ(err.frames().size(), 2u);
  EXPECT_EQ(err.frames()[0].message, "no [x]");
  EXPECT_NE(std::string(err.frames()[0].location.function).find("failingStep"), std::string::npos);
  EXPECT_EQ(err.frames()[1].message, "Can't open [/a/x]");
  EXPECT_EQ(err.text(), "ENOENT (2): No such file or directory");
  EXPECT_EQ(err.chain().rfind("Can't open [/a/x] <- no [x] [CZnErrorTest.cpp:", 0), 0u)
      << err.chain();
}

TEST_F(CZnErrorTest, ZeroErrnoNeverReadsAsSuccess) {
  CZnError err = FXErrorUtil::ErrorErrNo(FX_LOC, 0);
  EXPECT_TRUE(err.failed());
  EXPECT_EQ(err.errNo(), EIO);
}

TEST_F(CZnErrorTest, Win32CodeCarriesAnErrno) {
  CZnError err = FXErrorUtil::ErrorWin32(FX_LOC, 3, ENOENT, "path not found");
  EXPECT_EQ(err.win32Code(), 3u);
  EXPECT_EQ(FXErrorUtil::GetErrNo(err), ENOENT);
  EXPECT_NE(err.text().find("[win32 3]"), std::string::npos);
}

TEST_F(CZnErrorTest, LogConventionWritesTextAndChain) {
  test::LogCapture capture;
  CZnError err = callerStep();
  OSLOG_ERR(err);
  EXPECT_EQ(capture.count(err.text() + ": " + err.chain(), -1), 1u) << capture.dump();
}

}  // namespace
}  // namespace ObjectStore
