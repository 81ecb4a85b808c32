// The compiler the script tests use: the text form through the administrators' compiler.
#include "script_test_support.h"

#include <sstream>
#include <vector>

namespace scripttest {

std::string Compile(const std::string& text) {
  std::string out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    size_t b = line.find_first_not_of(" \t");
    if (b == std::string::npos || line[b] == ';') continue;
    size_t e = line.find(' ', b);
    std::string name = line.substr(b, e == std::string::npos ? std::string::npos : e - b);
    int id = -1;
    if (name[0] == '#') id = std::stoi(name.substr(1));
    else {
      id = FindFunctionByName(name.c_str());
      EXPECT_GE(id, 0) << "unknown function " << name;
    }
    std::string block;
    if (e != std::string::npos) {
      std::string rest = line.substr(e + 1);
      size_t start = 0;
      for (;;) {
        size_t comma = rest.find(", ", start);
        block += rest.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        block += '\x05';
        if (comma == std::string::npos) break;
        start = comma + 2;
      }
    }
    out += Record(uint16_t(5 + block.size()), int16_t(id), std::string(1, '\0') + block);
  }
  return out;
}

}  // namespace scripttest
