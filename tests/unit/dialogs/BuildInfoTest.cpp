#include <gtest/gtest.h>

#include "dialogs/BuildInfo.h"

TEST(BuildInfo, BuildDateAndTime) {
  EXPECT_EQ(FormatBuildDateTime("Dec  9 2026", "00:22:27"), "2026-12-09 00:22:27");
  EXPECT_EQ(FormatBuildDateTime("Jan 31 2025", "23:59:01"), "2025-01-31 23:59:01");
  EXPECT_EQ(FormatBuildDateTime("Sep 15 2024", "07:05:09"), "2024-09-15 07:05:09");
  EXPECT_EQ(FormatBuildDateTime("anF 15 2024", "07:05:09"), "2024-00-15 07:05:09");  // no month name
  EXPECT_EQ(FormatBuildDateTime("", ""), "0000-00-00 00:00:00");
  EXPECT_EQ(BuildDateTime().size(), 19u);
}

TEST(BuildInfo, ReportNumbers) {
  EXPECT_EQ(InformationNumber("Your connection has been rejected.", 5), 1000);
  EXPECT_EQ(InformationNumber("Local loop-back connections are disabled.", -1), 1001);
  EXPECT_EQ(InformationNumber("Failed to connect to the server", 50195), 50195);
  EXPECT_EQ(InformationNumber(nullptr, 7), 7);
}
