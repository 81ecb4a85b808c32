// Plain-text tables for listings: a header row, then aligned columns.
#pragma once
#include <string>
#include <vector>

namespace pkgadmin {

struct TextTable {
  std::vector<std::string> header;
  std::vector<std::vector<std::string>> rows;
};

// Columns are as wide as their widest cell, cut at maxWidth with "...".
std::string FormatTable(const TextTable& t, size_t maxWidth = 40);

}  // namespace pkgadmin
