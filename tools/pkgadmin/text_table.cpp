#include "text_table.h"

#include <algorithm>

namespace pkgadmin {

namespace {

// Texts come from workstations too: a control character (an escape sequence that would
// drive the terminal, a line break that would fake a row) is shown as \xNN.
std::string Cell(const std::string& s, size_t maxWidth) {
  std::string c;
  for (char ch : s) {
    unsigned char u = static_cast<unsigned char>(ch);
    if (u < 0x20 || u == 0x7F) {
      static const char kHex[] = "0123456789ABCDEF";
      c += "\\x";
      c += kHex[u >> 4];
      c += kHex[u & 0xF];
    } else {
      c += ch;
    }
  }
  if (c.size() > maxWidth && maxWidth > 3) c = c.substr(0, maxWidth - 3) + "...";
  return c;
}

}  // namespace

std::string FormatTable(const TextTable& t, size_t maxWidth) {
  std::vector<size_t> w(t.header.size(), 0);
  auto measure = [&](const std::vector<std::string>& row) {
    for (size_t i = 0; i < row.size() && i < w.size(); ++i) w[i] = std::max(w[i], Cell(row[i], maxWidth).size());
  };
  measure(t.header);
  for (const auto& r : t.rows) measure(r);
  std::string out;
  auto line = [&](const std::vector<std::string>& row) {
    std::string l;
    for (size_t i = 0; i < w.size(); ++i) {
      std::string c = i < row.size() ? Cell(row[i], maxWidth) : "";
      l += c;
      if (i + 1 < w.size()) l += std::string(w[i] - c.size() + 2, ' ');
    }
    while (!l.empty() && l.back() == ' ') l.pop_back();
    out += l + "\n";
  };
  line(t.header);
  std::vector<std::string> rule;
  for (size_t n : w) rule.push_back(std::string(n, '-'));
  line(rule);
  for (const auto& r : t.rows) line(r);
  return out;
}

}  // namespace pkgadmin
