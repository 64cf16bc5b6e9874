// The order of the file-transfer window's lists when a column header is clicked: names
// without regard to case; sizes by the byte count their text stands for, a folder below
// every file; dates by the time their text names. Platform-free.
#pragma once

#include <string>

namespace ft {

// The three texts of one list row: name, size (a size text, or "Folder"), modification date.
struct ListRow {
  std::string name, size, date;
};

// The sort parameter of a list and column: column + 1 for the local list, column + 11 for
// the remote one, negated for descending order.
int SortParam(bool remote, int column, bool descending);

// Compares two rows by the column the parameter names: negative when a sorts first.
// Sizes and dates never compare equal (a sorts after b then); descending order negates
// the result. An unknown column compares by name.
int CompareListRows(const ListRow& a, const ListRow& b, int sortParam);

}  // namespace ft
