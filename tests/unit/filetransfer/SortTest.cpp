// The order of the file-transfer window's lists: the parameter that names list, column and
// direction, names without regard to case, sizes read back from their texts (a folder
// below every file), dates read back from theirs, and no equality for sizes and dates.
#include <gtest/gtest.h>

#include "filetransfer/FileTransferSort.h"

using ft::CompareListRows;
using ft::ListRow;
using ft::SortParam;

namespace {

int Sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

TEST(FileListSort, ParameterNamesListColumnAndDirection) {
  EXPECT_EQ(SortParam(false, 0, false), 1);
  EXPECT_EQ(SortParam(false, 2, true), -3);
  EXPECT_EQ(SortParam(true, 0, false), 11);
  EXPECT_EQ(SortParam(true, 1, true), -12);
}

struct Case {
  const char* what;
  ListRow a, b;
  int column;
  int ascending;  // sign of the result in ascending order; descending is its negation
};

TEST(FileListSort, ComparesByTheClickedColumn) {
  const Case cases[] = {
      {"names ignore case", {"abc", "", ""}, {"ABD", "", ""}, 0, -1},
      {"equal names are equal", {"Name.TXT", "", ""}, {"name.txt", "", ""}, 0, 0},
      {"a shorter name first", {"ab", "", ""}, {"abc", "", ""}, 0, -1},
      {"Kb above bytes", {"x", "1.50 Kb", ""}, {"y", "1023 bytes", ""}, 1, 1},
      {"hundredths of the unit", {"x", "1.00 Mb", ""}, {"y", "1023.99 Kb", ""}, 1, 1},
      {"Gb above Mb", {"x", "1.00 Gb", ""}, {"y", "999.99 Mb", ""}, 1, 1},
      {"a folder below every file", {"[ f ]", "Folder", ""}, {"e", "0 bytes", ""}, 1, -1},
      {"equal sizes: the first after", {"x", "10 bytes", ""}, {"y", "10 bytes", ""}, 1, 1},
      {"dates across a year", {"x", "", "12/31/2025 23:59"}, {"y", "", "01/01/2026 00:00"}, 2, -1},
      {"minutes count", {"x", "", "06/01/2024 10:31"}, {"y", "", "06/01/2024 10:30"}, 2, 1},
      {"no date below a date", {"[ f ]", "Folder", ""}, {"y", "", "01/01/1990 00:00"}, 2, -1},
      {"equal dates: the first after", {"x", "", "06/01/2024 10:30"}, {"y", "", "06/01/2024 10:30"}, 2, 1},
  };
  for (const Case& c : cases) {
    for (bool remote : {false, true}) {
      EXPECT_EQ(Sign(CompareListRows(c.a, c.b, SortParam(remote, c.column, false))), c.ascending) << c.what;
      EXPECT_EQ(Sign(CompareListRows(c.a, c.b, SortParam(remote, c.column, true))), -c.ascending) << c.what;
    }
  }
}

}  // namespace
