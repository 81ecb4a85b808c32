// The quickscript compiler: bytes worked out by hand, its errors and warnings with their
// positions, the round trips on generated scripts, and the command-line tool.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "plx/script_format.h"
#include "qsc.h"
#include "test_dblinkd_harness.h"

using namespace plx;

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> b) { return std::vector<uint8_t>(b.begin(), b.end()); }

std::string Show(const QscCompileResult& r) {
  std::string s;
  for (const QscDiagnostic& d : r.diagnostics) s += FormatQscDiagnostic("t", d) + "\n";
  return s;
}

TEST(Qsc, CompilesToTheBytesWorkedByHand) {
  struct Case {
    const char* source;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      // length 5, id 30, discarded byte 0, no parameters
      {"ELSE", Bytes({5, 0, 30, 0, 0})},
      {"ELSE/7", Bytes({5, 0, 30, 0, 7})},
      {"writeln \"Hi\"", Bytes({10, 0, 31, 0, 0, '"', 'H', 'i', '"', 5})},
      {"IF [R], =, 3", Bytes({13, 0, 29, 0, 0, '[', 'R', ']', 5, '=', 5, '3', 5})},
      // Nothing between commas is an empty parameter, also after the last comma.
      {"copy a, , b,", Bytes({11, 0, 0, 0, 0, 'a', 5, 5, 'b', 5, 5})},
      {"WRITELN ``", Bytes({6, 0, 31, 0, 0, 5})},
      // Quotes keep commas, semicolons and blanks; the bare form drops outer blanks.
      {"STRCOPY  x y ,\t\" ;, \"  ", Bytes({16, 0, 25, 0, 0, 'x', ' ', 'y', 5, '"', ' ', ';', ',', ' ', '"', 5})},
      {"WRITELN a\"b", Bytes({9, 0, 31, 0, 0, 'a', '"', 'b', 5})},
      {"WRITELN `\\`\\\\ \\x01\\xff`", Bytes({11, 0, 31, 0, 0, '`', '\\', ' ', 1, 0xFF, 5})},
      // An unknown id, a discarded byte and a last parameter without its separator.
      {"#-2/0xFF ~x", Bytes({6, 0, 0xFE, 0xFF, 0xFF, 'x'})},
      {"#22 a, ~`b,`", Bytes({9, 0, 22, 0, 0, 'a', 5, 'b', ','})},
      // A mark, comments, blank lines, CRLF and indentation are no part of the records.
      {"\xEF\xBB\xBF; c\r\n\r\n  ENDIF ; done\r\n\tENDIF;x", Bytes({5, 0, 34, 0, 0, 5, 0, 34, 0, 0})},
      {"", Bytes({})},
  };
  for (const Case& c : cases) {
    QscCompileResult r = CompileQuickscript(c.source);
    EXPECT_TRUE(r.ok) << c.source << "\n" << Show(r);
    EXPECT_EQ(r.bytes, c.bytes) << c.source;
  }
}

TEST(Qsc, NamesEveryMistakeWithItsPosition) {
  const std::string p254(254, 'p'), p255(255, 'p');
  // COPY with four parameters of 254 characters is a 1,025-byte record; one more byte fits.
  const std::string fullRecord = "COPY " + p254 + "," + p254 + "," + p254 + "," + p254;
  struct Case {
    std::string source;
    bool compiles;
    std::vector<std::string> expected;  // "line:column:severity:part of the message"
  };
  const Case cases[] = {
      {"WRITELN a\nFOO a", false, {"2:1:E:unknown function 'FOO'"}},
      {"WRITELN \"a", false, {"1:9:E:not closed by '\"'"}},
      {"WRITELN `a", false, {"1:9:E:not closed by '`'"}},
      {"WRITELN `a\\qb`", false, {"1:11:E:unknown escape"}},
      {"WRITELN \"a\"b", false, {"1:12:E:after the closing '\"'"}},
      {"WRITELN `a` b", false, {"1:13:E:after the raw parameter"}},
      {std::string("WRITELN a\x05") + "b", false, {"1:10:E:0x05"}},
      {"WRITELN `\\x05`", false, {"1:10:E:0x05"}},
      {"WRITELN ~a, b", false, {"1:9:E:must be the last"}},
      {"WRITELN ~", false, {"1:9:E:directly after '~'"}},
      {"WRITELN\"x\"", false, {"1:8:E:expected a blank"}},
      {"#40000", false, {"1:1:E:out of range"}},
      {"# 1", false, {"1:2:E:expected a function id"}},
      {"ELSE/256", false, {"1:5:E:from 0 to 255"}},
      {"WRITELN " + p254, true, {}},
      {"WRITELN " + p255, false, {"1:9:E:255 characters"}},
      {fullRecord + ",~x", true, {"1:1026:W:no separator"}},
      {fullRecord + ",~xy", false, {"1:1:E:record of 1027 bytes", "1:1026:W:no separator"}},
      // Every broken line is named in one run.
      {"FOO\nWRITELN \"a\nELSE", false, {"1:1:E:unknown function", "2:9:E:not closed", "3:1:W:ELSE without IF"}},
      {"ENDIF", true, {"1:1:W:ENDIF without IF"}},
      {"IF 1, =, 1\n  IF 2, =, 2\n  ENDIF", true, {"1:1:W:IF never closed by ENDIF"}},
      {"IF 1, =\nENDIF", true, {"1:1:W:IF takes 3 parameters, not 2"}},
      {"WRITELN a, b", true, {"1:1:W:WRITELN takes 1 parameter, not 2"}},
      {"COPY a, b", true, {"1:1:W:COPY takes 3 to 4 parameters, not 2"}},
      {"REBOOT\nREBOOT x", true, {}},
      {"#99 x", true, {"1:1:W:id 99 is not in the table"}},
      {"WRITELN ~x", true, {"1:1:W:takes 1 parameter, not 0", "1:9:W:no separator"}},
      {"WRITELN `a\\x00`", true, {"1:11:W:zero byte"}},
  };
  for (const Case& c : cases) {
    QscCompileResult r = CompileQuickscript(c.source);
    EXPECT_EQ(r.ok, c.compiles) << c.source.substr(0, 60) << "\n" << Show(r);
    EXPECT_EQ(r.bytes.empty(), !c.compiles || c.source.empty());
    std::vector<std::string> got;
    for (const QscDiagnostic& d : r.diagnostics)
      got.push_back(std::to_string(d.line) + ":" + std::to_string(d.column) + ":" +
                    (d.severity == QscSeverity::kError ? "E:" : "W:") + d.message);
    ASSERT_EQ(got.size(), c.expected.size()) << c.source.substr(0, 60) << "\n" << Show(r);
    for (size_t i = 0; i < got.size(); ++i) {
      const std::string& e = c.expected[i];
      size_t k = 0;
      for (int field = 0; field < 3; ++field) k = e.find(':', k) + 1;
      EXPECT_EQ(got[i].substr(0, k), e.substr(0, k)) << got[i];
      EXPECT_NE(got[i].find(e.substr(k)), std::string::npos) << got[i];
    }
  }

  // The 51st nested IF is where the agent stops with 214.
  std::string deep;
  for (int i = 0; i < 51; ++i) deep += "IF 1, =, 1\n";
  for (int i = 0; i < 51; ++i) deep += "ENDIF\n";
  QscCompileResult r = CompileQuickscript(deep);
  ASSERT_EQ(r.diagnostics.size(), 1u) << Show(r);
  EXPECT_EQ(r.diagnostics[0].line, 51);
  EXPECT_NE(r.diagnostics[0].message.find("214"), std::string::npos);
}

TEST(Qsc, ReadsRecordsAndRefusesBrokenFiles) {
  struct Case {
    std::vector<uint8_t> file;
    ScriptReadStatus status;
  };
  const Case cases[] = {
      {Bytes({}), kScriptReadEnd},
      {Bytes({5}), kScriptReadCut},
      {Bytes({6, 0, 31, 0, 0}), kScriptReadCut},
      {Bytes({4, 0, 31, 0}), kScriptReadTooShort},
      {Bytes({0x03, 0x04, 31, 0, 0}), kScriptReadTooLong},  // 1,027
  };
  for (const Case& c : cases) {
    size_t offset = 0;
    ScriptRecord r;
    EXPECT_EQ(ReadScriptRecord(c.file.data(), c.file.size(), &offset, &r), c.status);
    EXPECT_EQ(offset, 0u);
    QscDecompileResult d = DecompileQuickscript(c.file);
    EXPECT_EQ(d.ok, c.status == kScriptReadEnd) << d.error;
  }
  // The second record is cut short: the decompiler names it and gives no text.
  QscDecompileResult d = DecompileQuickscript(Bytes({5, 0, 30, 0, 0, 9, 0, 31, 0, 0}));
  EXPECT_FALSE(d.ok);
  EXPECT_EQ(d.error, "record 2 at offset 5: the file ends inside the record");
  EXPECT_TRUE(d.text.empty());

  // A parameter the compiler refuses is shown, with a note.
  std::vector<uint8_t> longParam = {0x05, 0x01, 31, 0, 0};  // 261 bytes
  longParam.insert(longParam.end(), 255, 'x');
  longParam.push_back(5);
  d = DecompileQuickscript(longParam);
  ASSERT_TRUE(d.ok);
  ASSERT_EQ(d.notes.size(), 1u);
  EXPECT_NE(d.notes[0].find("parameter 1 of 255 characters"), std::string::npos) << d.notes[0];

  EXPECT_EQ(FindScriptFunctionByName("shellwait", 9)->id, 50);
  EXPECT_EQ(FindScriptFunctionByName("SHELLWAITX", 9)->id, 50);  // the length bounds the name
  EXPECT_EQ(FindScriptFunctionByName("SHELLWAI", 8), nullptr);
  EXPECT_EQ(FindScriptFunction(61), nullptr);
}

TEST(Qsc, DecompilesToTheIndentedTextForm) {
  QscCompileResult r = CompileQuickscript(
      "if a,=,b\nelse\nif 1, =, 2\nendif\nendif\nelse\nWRITELN \"x, y\" ; c\nSTRCOPY  ` lead`, `a\\x09b`\n"
      "#7/1 ,~`;`");
  ASSERT_TRUE(r.ok) << Show(r);
  QscDecompileResult d = DecompileQuickscript(r.bytes);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.text,
            "IF a, =, b\n"
            "ELSE\n"
            "  IF 1, =, 2\n"
            "  ENDIF\n"
            "ENDIF\n"
            "ELSE\n"
            "WRITELN \"x, y\"\n"
            "STRCOPY ` lead`, `a\\x09b`\n"
            "RENAME/0x01 ``, ~`;`\n");
}

// ---------------------------------------------------------------------------------------
// Round trips on generated scripts.

// Characters that mean something in the text form, and blanks, come up often.
uint8_t RandomByte(std::mt19937& rng) {
  static const char kSpecial[] = ",\";`\\~#/ \t\r\n";
  uint32_t pick = rng() % 4;
  if (pick == 0) return uint8_t(kSpecial[rng() % (sizeof kSpecial - 1)]);
  for (;;) {
    uint8_t b = pick == 1 ? uint8_t(rng()) : uint8_t(0x20 + rng() % 0x5F);
    if (b != kScriptParamSeparator) return b;
  }
}

std::string RandomText(std::mt19937& rng, size_t maxLength) {
  size_t length = rng() % 8 == 0 ? rng() % (maxLength + 1) : rng() % 12;
  std::string t;
  for (size_t i = 0; i < length; ++i) t += char(RandomByte(rng));
  if (rng() % 4 == 0 && !t.empty()) t[0] = '"';  // a literal, with or without its end
  if (rng() % 5 == 0 && !t.empty()) t.back() = '"';
  return t;
}

std::vector<uint8_t> RandomCompiledFile(std::mt19937& rng) {
  std::vector<uint8_t> file;
  int records = int(rng() % 12);
  for (int i = 0; i < records; ++i) {
    int16_t id = rng() % 6 == 0 ? int16_t(rng()) : int16_t(rng() % kScriptFunctionCount);
    uint8_t pad = rng() % 4 == 0 ? uint8_t(rng()) : kScriptDefaultPad;
    std::string block;
    int params = int(rng() % 7);
    for (int n = 0; n < params; ++n) {
      std::string t = RandomText(rng, kScriptMaxParamLength);
      if (block.size() + t.size() + 1 > kScriptMaxParamBlock) break;
      block += t + char(kScriptParamSeparator);
    }
    if (rng() % 5 == 0) {
      std::string tail = RandomText(rng, kScriptMaxParamLength);
      if (block.size() + tail.size() <= kScriptMaxParamBlock) block += tail;
    }
    uint8_t record[kScriptRecordMaxLength];
    size_t n = EncodeScriptRecord(id, pad, reinterpret_cast<const uint8_t*>(block.data()), block.size(), record);
    file.insert(file.end(), record, record + n);
  }
  return file;
}

// A parameter written the way an administrator might: bare, quoted, or raw with escapes.
std::string RandomSourceParam(std::mt19937& rng) {
  std::string t;
  switch (rng() % 4) {
    case 0:  // bare, with blanks around it that the compiler drops
      for (size_t i = rng() % 10; i > 0; --i) {
        char c = char(0x21 + rng() % 0x5E);
        if (c != ',' && c != ';' && c != '`' && c != '~' && c != '"') t += c;
      }
      return std::string(rng() % 2, ' ') + t + std::string(rng() % 2, '\t');
    case 1:
      for (size_t i = rng() % 10; i > 0; --i) {
        char c = char(0x20 + rng() % 0x5F);
        if (c != '"') t += c;
      }
      return "\"" + t + "\"";
    case 2: {
      t = "`";
      for (size_t i = rng() % 10; i > 0; --i) {
        uint8_t b = RandomByte(rng);
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02x", unsigned(b));
        if (b == '`' || b == '\\')
          t += std::string("\\") + char(b);
        else if (b < 0x20 || rng() % 8 == 0)
          t += hex;
        else
          t += char(b);
      }
      return t + "`";
    }
    default:
      return "";
  }
}

std::string RandomSource(std::mt19937& rng, int* lines) {
  std::string s;
  *lines = int(rng() % 10);
  for (int i = 0; i < *lines; ++i) {
    s += std::string(rng() % 3, ' ');
    switch (rng() % 8) {
      case 0: s += "; a comment, with \"quotes\""; break;
      case 1: break;
      default: {
        if (rng() % 8 == 0) {
          s += "#" + std::to_string(int16_t(rng()));
        } else {
          std::string name = kScriptFunctionNames[rng() % kScriptFunctionCount].name;
          for (char& c : name)
            if (rng() % 2) c = char(std::tolower(uint8_t(c)));
          s += name;
        }
        if (rng() % 6 == 0) s += "/" + std::to_string(rng() % 256);
        int params = int(rng() % 5);
        for (int n = 0; n < params; ++n) s += (n ? ", " : " ") + RandomSourceParam(rng);
        if (rng() % 6 == 0) s += (params ? ", ~" : " ~") + std::string("`x\\x01`");
        if (rng() % 5 == 0) s += " ; note";
      }
    }
    s += rng() % 4 == 0 ? "\r\n" : "\n";
  }
  return s;
}

TEST(Qsc, RoundTripsGeneratedScripts) {
  std::mt19937 rng(19971104);
  int files = 0, sources = 0;
  for (int i = 0; i < 20000; ++i, ++files) {
    std::vector<uint8_t> file = RandomCompiledFile(rng);
    QscDecompileResult d = DecompileQuickscript(file);
    ASSERT_TRUE(d.ok) << d.error;
    QscCompileResult r = CompileQuickscript(d.text);
    ASSERT_TRUE(r.ok) << d.text << Show(r);
    ASSERT_EQ(r.bytes, file) << d.text;
    // The decompiler's text is a fixed point: written once, it stays as it is.
    ASSERT_EQ(DecompileQuickscript(r.bytes).text, d.text);
  }
  for (int i = 0; i < 20000; ++i, ++sources) {
    int lines = 0;
    std::string source = RandomSource(rng, &lines);
    QscCompileResult first = CompileQuickscript(source);
    ASSERT_TRUE(first.ok) << source << Show(first);
    QscDecompileResult d = DecompileQuickscript(first.bytes);
    ASSERT_TRUE(d.ok) << d.error;
    QscCompileResult second = CompileQuickscript(d.text);
    ASSERT_TRUE(second.ok) << d.text << Show(second);
    ASSERT_EQ(second.bytes, first.bytes) << source << "\n---\n" << d.text;
  }
  std::printf("qsc round trips: %d compiled files, %d sources\n", files, sources);
}

// ---------------------------------------------------------------------------------------
// The command-line tool.

TEST(Qsc, ToolWritesOnlyGoodScriptsAndSaysWhy) {
  using harness::RunProgram;
  const std::string dir = harness::TempDir();
  const std::string hello = PLX_SAMPLE_SCRIPTS_DIR "/hello.qs";
  std::string out, err;
  ASSERT_EQ(RunProgram({PLX_QSC_BIN, hello, "-o", dir + "/HELLO.QSC", "--werror"}, &out, &err), 0) << err;
  EXPECT_EQ(err, "");
  ASSERT_EQ(RunProgram({PLX_QSC_BIN, "-d", dir + "/HELLO.QSC"}, &out, &err), 0) << err;
  EXPECT_NE(out.find("ShellWait [PROGRAM], \"/C EXIT 3\", KEEPPATH\n"), std::string::npos) << out;
  harness::WriteFile(dir + "/back.qs", out);
  ASSERT_EQ(RunProgram({PLX_QSC_BIN, dir + "/back.qs"}), 0);  // default name: back.QSC
  EXPECT_EQ(harness::ReadFile(dir + "/back.QSC"), harness::ReadFile(dir + "/HELLO.QSC"));

  harness::WriteFile(dir + "/bad.qs", "ENDIF\nWRITELN \"unclosed\n");
  EXPECT_EQ(RunProgram({PLX_QSC_BIN, dir + "/bad.qs", "-o", dir + "/BAD.QSC"}, &out, &err), 1);
  EXPECT_EQ(err, dir + "/bad.qs:1:1: warning: ENDIF without IF\n" + dir +
                     "/bad.qs:2:9: error: string not closed by '\"' (a literal without its closing "
                     "quote is written in the raw form)\n");
  EXPECT_EQ(std::fopen((dir + "/BAD.QSC").c_str(), "rb"), nullptr);
  harness::WriteFile(dir + "/warn.qs", "ENDIF\n");
  EXPECT_EQ(RunProgram({PLX_QSC_BIN, "--werror", dir + "/warn.qs"}, &out, &err), 1);
  EXPECT_EQ(RunProgram({PLX_QSC_BIN, dir + "/warn.qs"}, &out, &err), 0);

  harness::WriteFile(dir + "/CUT.QSC", std::string("\x09\x00\x1F\x00\x00", 5));
  EXPECT_EQ(RunProgram({PLX_QSC_BIN, "-d", dir + "/CUT.QSC"}, &out, &err), 1);
  EXPECT_NE(err.find("record 1 at offset 0: the file ends inside the record"), std::string::npos) << err;
  EXPECT_EQ(RunProgram({PLX_QSC_BIN, dir + "/missing.qs"}, &out, &err), 2);
  EXPECT_EQ(RunProgram({PLX_QSC_BIN}, &out, &err), 2);
}

}  // namespace
