#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/objstore/ViewArgs.h"

namespace ObjectStore::tool {
namespace {

int64_t timeOf(const std::string& text) {
  int64_t seconds = -1;
  std::string error;
  EXPECT_TRUE(parseTime(text, seconds, error)) << text << ": " << error;
  return seconds;
}

std::string rejection(const std::string& text) {
  int64_t seconds = 12345;
  std::string error;
  EXPECT_FALSE(parseTime(text, seconds, error)) << text << " parsed as " << seconds;
  EXPECT_EQ(seconds, 12345) << "a rejected time must leave the result alone";
  EXPECT_FALSE(error.empty()) << text;
  return error;
}

TEST(ViewArgsTest, EpochSeconds) {
  EXPECT_EQ(timeOf("1765000000"), 1765000000);
  EXPECT_EQ(timeOf("0"), 0);
  EXPECT_EQ(timeOf("253402300799"), 253402300799);  // 9999-12-31 23:59:59
  rejection("253402300800");
  rejection("99999999999999999999999");  // would overflow
  rejection("-5");
  rejection("+5");
  rejection(" 5");
  rejection("5 ");
}

TEST(ViewArgsTest, IsoDatesAndTimesInUtc) {
  // 2026-12-08 00:00:00 UTC, worked out by hand: 20795 days after 1970-01-01.
  const int64_t midnight = 20795LL * 86400;
  EXPECT_EQ(timeOf("2026-12-08"), midnight);
  EXPECT_EQ(timeOf("2026-12-08T10:00:00Z"), midnight + 36000);
  EXPECT_EQ(timeOf("2026-12-08t10:00:00z"), midnight + 36000);
  EXPECT_EQ(timeOf("2026-12-08 10:00:00"), midnight + 36000);
  EXPECT_EQ(timeOf("2026-12-08T10:00:00"), midnight + 36000);
  EXPECT_EQ(timeOf("2026-12-08T10:00Z"), midnight + 36000);
  EXPECT_EQ(timeOf("2026-12-08T23:59:59Z"), midnight + 86399);
  EXPECT_EQ(timeOf("1970-01-01T00:00:00Z"), 0);
  EXPECT_EQ(timeOf("2000-03-01"), 951868800);
  EXPECT_EQ(timeOf("2024-02-29"), 1709164800);  // leap day
  EXPECT_EQ(timeOf("9999-12-31T23:59:59Z"), 253402300799);
}

TEST(ViewArgsTest, IsoTimeZoneOffsets) {
  const int64_t tenUtc = 20795LL * 86400 + 36000;
  EXPECT_EQ(timeOf("2026-12-08T11:00:00+01:00"), tenUtc);
  EXPECT_EQ(timeOf("2026-12-08T11:00:00+0100"), tenUtc);
  EXPECT_EQ(timeOf("2026-12-08T11:00:00+01"), tenUtc);
  EXPECT_EQ(timeOf("2026-12-08T04:30:00-05:30"), tenUtc);
  EXPECT_EQ(timeOf("2026-12-08T10:00:00+00:00"), tenUtc);
  // An offset may carry the time over a day boundary.
  EXPECT_EQ(timeOf("2026-12-09T01:00:00+15:00"), tenUtc);
}

TEST(ViewArgsTest, GarbageAndTrailingTextAreRejected) {
  for (const char* text : {"",
                           "now",
                           "yesterday",
                           "2026-12",
                           "2026-1-8",
                           "26-12-08",
                           "2026/12/08",
                           "2026-12-08T",
                           "2026-12-08T10",
                           "2026-12-08T10:0",
                           "2026-12-08T10:00:0",
                           "2026-12-08T10:00:00ZZ",
                           "2026-12-08T10:00:00 UTC",
                           "2026-12-08T10:00:00.5Z",
                           "2026-12-08x",
                           "2026-12-08T10:00:00+1",
                           "2026-12-08T10:00:00+01:0",
                           "2026-12-08T10:00:00+01:00:00",
                           "1765000000s",
                           "0x10",
                           "12e3"}) {
    rejection(text);
  }
}

TEST(ViewArgsTest, OutOfRangeFieldsAreRejected) {
  EXPECT_NE(rejection("2026-13-01").find("month"), std::string::npos);
  EXPECT_NE(rejection("2026-00-01").find("month"), std::string::npos);
  EXPECT_NE(rejection("2026-12-32").find("day"), std::string::npos);
  EXPECT_NE(rejection("2026-12-00").find("day"), std::string::npos);
  EXPECT_NE(rejection("2026-02-29").find("day"), std::string::npos);  // not a leap year
  EXPECT_NE(rejection("1900-02-29").find("day"), std::string::npos);  // century, not leap
  EXPECT_NE(rejection("2026-04-31").find("day"), std::string::npos);
  EXPECT_NE(rejection("2026-12-08T24:00:00Z").find("time of day"), std::string::npos);
  EXPECT_NE(rejection("2026-12-08T10:60:00Z").find("time of day"), std::string::npos);
  EXPECT_NE(rejection("2026-12-08T10:00:60Z").find("time of day"), std::string::npos);
  EXPECT_NE(rejection("2026-12-08T10:00:00+24:00").find("offset"), std::string::npos);
  EXPECT_NE(rejection("2026-12-08T10:00:00+01:60").find("offset"), std::string::npos);
  // Before the epoch once the offset is applied.
  EXPECT_NE(rejection("1970-01-01T00:30:00+01:00").find("range"), std::string::npos);
  EXPECT_NE(rejection("1969-12-31").find("range"), std::string::npos);
}

std::vector<std::string> parsed(std::vector<std::string> args, ViewOptions& o) {
  std::string error;
  EXPECT_TRUE(parseViewOptions(args, o, error)) << error;
  return args;
}

std::string refused(std::vector<std::string> args) {
  ViewOptions o;
  std::string error;
  const std::vector<std::string> before = args;
  EXPECT_FALSE(parseViewOptions(args, o, error));
  EXPECT_EQ(args, before) << "a refused line must be left as it was";
  EXPECT_FALSE(error.empty());
  return error;
}

TEST(ViewArgsTest, DefaultsWithoutOptions) {
  ViewOptions o;
  const std::vector<std::string> rest = parsed({"ls", "-l", "/c", "/a"}, o);
  EXPECT_EQ(rest, (std::vector<std::string>{"ls", "-l", "/c", "/a"}));
  EXPECT_EQ(o.share, "share");
  EXPECT_EQ(o.subclient, 1u);
  EXPECT_EQ(o.at, 0);
  EXPECT_FALSE(o.discardWrites);
  EXPECT_EQ(o.versionIntervalSec, -1);
}

TEST(ViewArgsTest, ConsumesKnownOptionsAndKeepsTheRestInOrder) {
  ViewOptions o;
  const std::vector<std::string> rest =
      parsed({"/c", "--share", "docs", "-p", "--subclient=42", "/a", "--at", "2026-12-08T10:00:00Z",
              "--discard-writes", "--version-interval=30", "/b"},
             o);
  EXPECT_EQ(rest, (std::vector<std::string>{"/c", "-p", "/a", "/b"}));
  EXPECT_EQ(o.share, "docs");
  EXPECT_EQ(o.subclient, 42u);
  EXPECT_EQ(o.at, 20795LL * 86400 + 36000);
  EXPECT_TRUE(o.discardWrites);
  EXPECT_EQ(o.versionIntervalSec, 30);
}

TEST(ViewArgsTest, EverythingAfterDoubleDashIsLeftAlone) {
  ViewOptions o;
  const std::vector<std::string> rest = parsed({"/c", "--", "--share", "x", "--at"}, o);
  EXPECT_EQ(rest, (std::vector<std::string>{"/c", "--", "--share", "x", "--at"}));
  EXPECT_EQ(o.share, "share");
}

TEST(ViewArgsTest, BadOptionsAreRefusedWithAReason) {
  EXPECT_NE(refused({"--share"}).find("--share"), std::string::npos);
  EXPECT_NE(refused({"/c", "--at"}).find("--at"), std::string::npos);
  EXPECT_NE(refused({"--at", "soon"}).find("soon"), std::string::npos);
  EXPECT_NE(refused({"--at", "2026-02-30"}).find("day"), std::string::npos);
  EXPECT_NE(refused({"--at", "0"}).find("1970"), std::string::npos);
  EXPECT_NE(refused({"--subclient", "-1"}).find("subclient"), std::string::npos);
  EXPECT_NE(refused({"--subclient", "12abc"}).find("12abc"), std::string::npos);
  EXPECT_NE(refused({"--subclient="}).find("subclient"), std::string::npos);
  EXPECT_NE(refused({"--version-interval", "-3"}).find("--version-interval"), std::string::npos);
  EXPECT_NE(refused({"--version-interval", "100000000"}).find("--version-interval"),
            std::string::npos);
  EXPECT_NE(refused({"--share", "a/b"}).find("a/b"), std::string::npos);
  EXPECT_NE(refused({"--share", ".."}).find("share"), std::string::npos);
  EXPECT_NE(refused({"--share="}).find("share"), std::string::npos);
  EXPECT_NE(refused({"--share", "a\tb"}).find("control"), std::string::npos);
  EXPECT_NE(refused({"--share", "a\x1b[2J"}).find("control"), std::string::npos);
  // Only a point-in-time view can drop its writes.
  EXPECT_NE(refused({"/c", "--discard-writes"}).find("--at"), std::string::npos);
}

TEST(ViewArgsTest, FormatUtcShowsTheSecond) {
  EXPECT_EQ(formatUtc(20795LL * 86400 + 36000 + 5), "2026-12-08 10:00:05 UTC");
  EXPECT_EQ(formatUtc(0), "1970-01-01 00:00:00 UTC");
}

}  // namespace
}  // namespace ObjectStore::tool
