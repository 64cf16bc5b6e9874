#include "filetransfer/FileTransferSort.h"

#include <cctype>
#include <cstdlib>

#include "filetransfer/FileTransferMessages.h"

namespace ft {

namespace {

int CompareNoCase(const std::string& a, const std::string& b) {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    const int ca = std::tolower(static_cast<unsigned char>(a[i]));
    const int cb = std::tolower(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// A folder (no size text) counts as -1, below every file.
long long RowBytes(const ListRow& r) { return SizeTextToBytes(r.size); }

// Minutes since 1601 of a date text; -1 when it names no date.
long long RowMinutes(const ListRow& r) {
  DateFields d;
  if (!ParseDateText(r.date, &d)) return -1;
  return DateFieldsToSeconds(d) / 60;
}

}  // namespace

int SortParam(bool remote, int column, bool descending) {
  const int p = column + (remote ? 11 : 1);
  return descending ? -p : p;
}

int CompareListRows(const ListRow& a, const ListRow& b, int sortParam) {
  const bool descending = sortParam < 0;
  const int column = (std::abs(sortParam) - 1) % 10;
  int r;
  if (column == 1 || column == 2) {
    const long long x = column == 1 ? RowBytes(a) : RowMinutes(a);
    const long long y = column == 1 ? RowBytes(b) : RowMinutes(b);
    r = x < y ? -1 : 1;
  } else {
    r = CompareNoCase(a.name, b.name);
  }
  return descending ? -r : r;
}

}  // namespace ft
