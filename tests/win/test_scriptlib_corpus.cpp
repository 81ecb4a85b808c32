// Format preservation over a corpus of start-up and INI files: each file edited by the script
// functions that apply to it, and the line difference between before and after compared with
// the change worked out by hand. Everything else must come back byte for byte, long lines,
// tabs, comments, blank lines and missing final newlines included; bare LF line ends come
// back as CR LF, the one difference the engine's text mode makes.
#include <string>
#include <vector>

#include "script_test_support.h"

namespace {

using scripttest::ScriptRun;
using testsupport::ReadWholeFile;
using Lines = std::vector<std::string>;

// How the table shows a line that does not end with CR LF.
constexpr char kNoNewline[] = "<no newline>";

// The file's lines, each with its line end.
Lines SplitLines(const std::string& bytes) {
  Lines lines;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\n', start);
    end = end == std::string::npos ? bytes.size() : end + 1;
    lines.push_back(bytes.substr(start, end - start));
    start = end;
  }
  return lines;
}

// A bare LF becomes CR LF on the way through the engine.
Lines WithCrLf(Lines lines) {
  for (std::string& l : lines)
    if (!l.empty() && l.back() == '\n' && (l.size() < 2 || l[l.size() - 2] != '\r')) l.insert(l.size() - 1, "\r");
  return lines;
}

std::string Shown(const std::string& line) {
  if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) return line.substr(0, line.size() - 2);
  return line + kNoNewline;
}

// The one block of lines that differs: where it starts (1-based, after the longest common
// head) and what went and came. Start 0 when nothing differs.
struct Hunk {
  int start = 0;
  Lines removed, added;
};

Hunk Diff(const Lines& before, const Lines& after) {
  size_t head = 0;
  while (head < before.size() && head < after.size() && before[head] == after[head]) ++head;
  size_t tail = 0;
  while (tail < before.size() - head && tail < after.size() - head &&
         before[before.size() - 1 - tail] == after[after.size() - 1 - tail])
    ++tail;
  Hunk h;
  for (size_t i = head; i < before.size() - tail; ++i) h.removed.push_back(Shown(before[i]));
  for (size_t i = head; i < after.size() - tail; ++i) h.added.push_back(Shown(after[i]));
  if (!h.removed.empty() || !h.added.empty()) h.start = int(head) + 1;
  return h;
}

struct Edit {
  const char* file;
  const char* function;
  const char* params;  // after the INI file's path for the INI functions
  int retval;
  int start;  // 0: no line differs
  Lines removed, added;
};

bool IsIniFunction(const std::string& name) { return name.find("INI") != std::string::npos; }

// clang-format off
const Edit kEdits[] = {
    // CONFIG.SYS: REM comments, DEVICE and DEVICEHIGH lines.
    {"CONFIG.SYS", "CFGSETVALUE", R"("FILES", 60)", 0, 5, {"FILES=40"}, {"FILES=60"}},
    {"CONFIG.SYS", "CFGSETSTRING", R"("stacks", "0,0")", 0, 12, {"STACKS=9,256"}, {"STACKS=0,0"}},
    {"CONFIG.SYS", "ADDPATH", R"("PATH", "c:\net", "", AFTER)", 0, 1, {}, {R"(SET PATH=C:\NET)"}},
    {"CONFIG.SYS", "ADDLINE", R"("device=c:\net\ifshlp.sys", "HIMEM", AFTER)", 0, 3, {}, {R"(DEVICE=C:\NET\IFSHLP.SYS)"}},
    {"CONFIG.SYS", "REPLACELINE", R"("LASTDRIVE", "lastdrive=m")", 0, 7, {"LASTDRIVE=Z"}, {"LASTDRIVE=M"}},
    {"CONFIG.SYS", "REPLACELINEADD", R"("NUMLOCK", "numlock=off", BEFORE)", 0, 1, {}, {"NUMLOCK=OFF"}},
    {"CONFIG.SYS", "ADDDEVICE", R"("c:\dos\ansi.sys", "SETVER", BEFORE)", 0, 10, {}, {R"(DEVICE=C:\DOS\ANSI.SYS)"}},
    {"CONFIG.SYS", "REPLACEKEY", R"("EMM386", "NOEMS", "ram")", 0, 3,
     {R"(DEVICE=C:\DOS\EMM386.EXE NOEMS X=D000-D7FF)"}, {R"(DEVICE=C:\DOS\EMM386.EXE RAM X=D000-D7FF)"}},
    // A multi-configuration CONFIG.SYS without a final newline.
    {"CONFIGNW.SYS", "CFGSETVALUE", R"("buffers", 40)", 0, 9, {"BUFFERS=30"}, {"BUFFERS=40"}},
    {"CONFIGNW.SYS", "CFGSETSTRING", R"("LASTDRIVE", "z")", 0, 12, {"LASTDRIVE=P"}, {"LASTDRIVE=Z"}},
    {"CONFIGNW.SYS", "ADDLINE", R"("rem end of file", "", AFTER)", 0, 15,
     {std::string("[common]") + kNoNewline}, {"[common]", "REM END OF FILE"}},
    {"CONFIGNW.SYS", "REPLACELINE", R"("menudefault", "menudefault=LOCAL,5")", 0, 4,
     {"menudefault=NET,10"}, {"MENUDEFAULT=LOCAL,5"}},
    {"CONFIGNW.SYS", "REPLACELINEADD", R"("DOS=", "dos=high,umb", AFTER)", 0, 7, {"DOS=HIGH"}, {"DOS=HIGH,UMB"}},
    {"CONFIGNW.SYS", "ADDDEVICE", R"("c:\net\protman.dos /i:c:\net", "IFSHLP", AFTER)", 0, 12, {},
     {R"(DEVICE=C:\NET\PROTMAN.DOS /I:C:\NET)"}},
    {"CONFIGNW.SYS", "REPLACEKEY", R"("HIMEM", "/testmem:off", "/testmem:off")", 0, 6,
     {R"(DEVICE=C:\WINDOWS\HIMEM.SYS)"}, {R"(DEVICE=C:\WINDOWS\HIMEM.SYS /TESTMEM:OFF)"}},
    {"CONFIGNW.SYS", "ADDPATH", R"("PATH", "c:\net", "", BEFORE)", 0, 1, {}, {R"(SET PATH=C:\NET)"}},
    // Bare LF line ends, tabs, mixed case.
    {"CONFIGLF.SYS", "CFGSETVALUE", R"("FILES", 70)", 0, 4, {"Files\t=\t50"}, {"Files\t=\t70"}},
    {"CONFIGLF.SYS", "CFGSETSTRING", R"("buffers", "30,0")", 0, 5, {"Buffers = 25"}, {"Buffers = 30,0"}},
    {"CONFIGLF.SYS", "ADDLINE", R"("break=on", "dos=", BEFORE)", 0, 6, {}, {"BREAK=ON"}},
    {"CONFIGLF.SYS", "REPLACELINE", R"("COUNTRY", "country=001,437,c:\windows\command\country.sys")", 0, 8,
     {R"(Country=044,850,C:\Windows\Command\country.sys)"}, {R"(COUNTRY=001,437,C:\WINDOWS\COMMAND\COUNTRY.SYS)"}},
    {"CONFIGLF.SYS", "REPLACELINEADD", R"("SWITCHES", "switches=/f", BEFORE)", 0, 1, {}, {"SWITCHES=/F"}},
    {"CONFIGLF.SYS", "ADDDEVICE", R"("c:\windows\setver.exe", "", AFTER)", 0, 10, {}, {R"(DEVICE=C:\WINDOWS\SETVER.EXE)"}},
    {"CONFIGLF.SYS", "REPLACEKEY", R"("emm386", "noems", "ram")", 0, 3,
     {"Device=C:\\Windows\\Emm386.exe\tnoems"}, {"Device=C:\\Windows\\Emm386.exe\tRAM"}},
    {"CONFIGLF.SYS", "ADDPATH", R"("PATH", "c:\windows", "", AFTER)", 0, 1, {}, {R"(SET PATH=C:\WINDOWS)"}},
    // Not found: the file is not even rewritten, so its LF ends stay.
    {"CONFIGLF.SYS", "REPLACELINE", R"("NOSUCH", "x")", -2, 0, {}, {}},
    // AUTOEXEC.BAT.
    {"AUTOEXEC.BAT", "ADDPATH", R"("PATH", "c:\net", "c:\dos", BEFORE)", 0, 5,
     {R"(PATH C:\WINDOWS;C:\DOS;C:\UTIL)"}, {R"(PATH C:\WINDOWS;C:\NET;C:\DOS;C:\UTIL)"}},
    {"AUTOEXEC.BAT", "CFGSETSTRING", R"("TEMP", "d:\temp")", 0, 4, {R"(SET TEMP=C:\TEMP)"}, {R"(SET TEMP=D:\TEMP)"}},
    {"AUTOEXEC.BAT", "CFGSETVALUE", R"("BLASTER", 5)", 0, 8, {"SET BLASTER=A220 I5 D1 T4"}, {"SET BLASTER=5"}},
    {"AUTOEXEC.BAT", "ADDLINE", R"("c:\dos\share.exe", "MSCDEX", AFTER)", 0, 10, {}, {R"(C:\DOS\SHARE.EXE)"}},
    {"AUTOEXEC.BAT", "REPLACELINE", R"("SMARTDRV", "")", 0, 6, {R"(LH C:\DOS\SMARTDRV.EXE /X)"}, {}},
    {"AUTOEXEC.BAT", "REPLACELINEADD", R"("PROMPT", "prompt $p$g$_", AFTER)", 0, 3, {"PROMPT $p$g"}, {"PROMPT $P$G$_"}},
    {"AUTOEXEC.BAT", "REPLACEKEY", R"("MSCDEX", "/M:10", "/m:15")", 0, 9,
     {R"(C:\DOS\MSCDEX.EXE /D:MSCD001 /M:10)"}, {R"(C:\DOS\MSCDEX.EXE /D:MSCD001 /M:15)"}},
    // A network AUTOEXEC.BAT with two lines over 255 characters that no edit touches.
    {"AUTOEXNW.BAT", "ADDPATH", R"("path", "c:\nwclient", "", AFTER)", 0, 3,
     {R"(SET PATH=C:\WINDOWS;C:\WINDOWS\COMMAND;C:\DOS)"}, {R"(SET PATH=C:\WINDOWS;C:\WINDOWS\COMMAND;C:\DOS;C:\NWCLIENT)"}},
    {"AUTOEXNW.BAT", "CFGSETSTRING", R"("NWLANGUAGE", "deutsch")", 0, 4, {"SET NWLANGUAGE=ENGLISH"}, {"SET NWLANGUAGE=DEUTSCH"}},
    {"AUTOEXNW.BAT", "ADDLINE", R"("c:\nwclient\nwip.exe", "IPXODI", AFTER)", 0, 9, {}, {R"(C:\NWCLIENT\NWIP.EXE)"}},
    {"AUTOEXNW.BAT", "REPLACELINE", R"("LOGIN", "login server2/accounts")", 0, 11,
     {"LOGIN SERVER1/ACCOUNTS"}, {"LOGIN SERVER2/ACCOUNTS"}},
    {"AUTOEXNW.BAT", "REPLACELINEADD", R"("NE2000", "c:\nwclient\3c5x9.com", AFTER)", 0, 7,
     {R"(C:\NWCLIENT\NE2000.COM)"}, {R"(C:\NWCLIENT\3C5X9.COM)"}},
    {"AUTOEXNW.BAT", "REPLACEKEY", R"("VLM", "/MX", "/ps=server1")", 0, 9,
     {R"(C:\NWCLIENT\VLM.EXE /MX)"}, {R"(C:\NWCLIENT\VLM.EXE /PS=SERVER1)"}},
    {"AUTOEXNW.BAT", "ADDLINE", R"("rem end", "", AFTER)", 0, 13, {}, {"REM END"}},
    // Bare LF and no final newline.
    {"AUTOEXLF.BAT", "ADDPATH", R"("PATH", "c:\tools", "c:\win95\command", AFTER)", 0, 4,
     {R"(PATH=C:\WIN95;C:\WIN95\COMMAND)"}, {R"(PATH=C:\WIN95;c:\win95\command;C:\TOOLS)"}},
    {"AUTOEXLF.BAT", "CFGSETSTRING", R"("TMP", "d:\tmp")", 0, 3, {R"(SET TMP=C:\TEMP)"}, {R"(SET TMP=D:\TMP)"}},
    {"AUTOEXLF.BAT", "ADDLINE", R"("c:\win95\command\mscdex.exe /d:oemcd001", "", AFTER)", 0, 7,
     {std::string(R"(KEYB GR,,C:\WIN95\COMMAND\KEYBOARD.SYS)") + kNoNewline},
     {R"(KEYB GR,,C:\WIN95\COMMAND\KEYBOARD.SYS)", R"(C:\WIN95\COMMAND\MSCDEX.EXE /D:OEMCD001)"}},
    {"AUTOEXLF.BAT", "REPLACELINE", R"("DOSKEY", "")", 0, 5, {"LOADHIGH\tC:\\WIN95\\COMMAND\\DOSKEY.COM\t/INSERT"}, {}},
    {"AUTOEXLF.BAT", "REPLACELINEADD", R"("KEYB", "keyb us", BEFORE)", 0, 7,
     {std::string(R"(KEYB GR,,C:\WIN95\COMMAND\KEYBOARD.SYS)") + kNoNewline}, {"KEYB US"}},
    {"AUTOEXLF.BAT", "REPLACEKEY", R"("DOSKEY", "/INSERT", "/overstrike")", 0, 5,
     {"LOADHIGH\tC:\\WIN95\\COMMAND\\DOSKEY.COM\t/INSERT"}, {"LOADHIGH\tC:\\WIN95\\COMMAND\\DOSKEY.COM\t/OVERSTRIKE"}},
    {"AUTOEXLF.BAT", "CFGSETVALUE", R"("NOSUCH", 1)", -2, 0, {}, {}},
    // REMARK and @REM lines.
    {"STARTNET.BAT", "REPLACELINE", R"("net use g:", "net use g: \\srv\data")", 0, 5,
     {R"(net use g: \\SRV\APPS)"}, {R"(NET USE G: \\SRV\DATA)"}},
    {"STARTNET.BAT", "ADDLINE", R"("net time \\srv /set /yes", "net start", AFTER)", 0, 4, {}, {R"(NET TIME \\SRV /SET /YES)"}},
    {"STARTNET.BAT", "REPLACEKEY", R"("net use f:", "\\SRV\SYS", "\\srv\public")", 0, 4,
     {R"(net use f: \\SRV\SYS)"}, {R"(net use f: \\SRV\PUBLIC)"}},
    {"STARTNET.BAT", "REPLACELINEADD", R"("written by", "rem changed by the package", BEFORE)", 0, 1, {},
     {"REM CHANGED BY THE PACKAGE"}},

    // WIN.INI: an empty section, a comment, keys with blanks and slashes.
    {"WIN.INI", "WRITEINISTR", R"("Desktop", "Wallpaper", "C:\WINDOWS\ARCADE.BMP")", 0, 13,
     {"Wallpaper=(None)"}, {R"(Wallpaper=C:\WINDOWS\ARCADE.BMP)"}},
    {"WIN.INI", "WRITEINIINT", R"("windows", "ScreenSaveTimeOut", 600)", 0, 2, {}, {"ScreenSaveTimeOut=600"}},
    {"WIN.INI", "WRITEINISTR", R"*("fonts", "Arial (TrueType)", "ARIAL.FOT")*", 0, 21, {}, {"Arial (TrueType)=ARIAL.FOT"}},
    {"WIN.INI", "WRITEINISTR", R"("Sounds", "SystemStart", "chimes.wav,Windows Start")", 0, 33, {},
     {"", "[Sounds]", "SystemStart=chimes.wav,Windows Start"}},
    {"WIN.INI", "WRITEINISTR", R"("intl", "sCountry", "Germany")", 0, 18, {"sCountry=United States"}, {"sCountry=Germany"}},
    {"WIN.INI", "WRITEINISTR", R"("PrinterPorts", "HP LaserJet 4/4M", "HPPCL5E,LPT2:,15,45")", 0, 32,
     {"HP LaserJet 4/4M=HPPCL5E,LPT1:,15,45"}, {"HP LaserJet 4/4M=HPPCL5E,LPT2:,15,45"}},
    {"WIN.INI", "ADDINIMULTIKEY", R"("Extensions", "bmp", "pbrush.exe ^.bmp")", 0, 22, {}, {"BMP=PBRUSH.EXE ^.BMP"}},
    {"WIN.INI", "DELINIMULTIKEY", R"("windows", "load", "calc.exe")", 0, 2,
     {"load=nwpopup.exe calc.exe"}, {"load=nwpopup.exe "}},
    // SYSTEM.INI: [boot] and [boot.description], several device= lines.
    {"SYSTEM.INI", "WRITEINISTR", R"("boot", "shell", "explorer.exe")", 0, 2, {"shell=progman.exe"}, {"shell=explorer.exe"}},
    {"SYSTEM.INI", "WRITEINISTR", R"("boot", "mouse.drv", "lmouse.drv")", 0, 4, {"mouse.drv=mouse.drv"}, {"mouse.drv=lmouse.drv"}},
    {"SYSTEM.INI", "WRITEINISTR", R"("boot.description", "display.drv", "VGA")", 0, 14, {}, {"display.drv=VGA"}},
    {"SYSTEM.INI", "WRITEINISTR", R"("keyboard", "subtype", "0")", 0, 10, {"subtype="}, {"subtype=0"}},
    {"SYSTEM.INI", "WRITEINIINT", R"("386Enh", "MinTimeSlice", 40)", 0, 17, {}, {"MinTimeSlice=40"}},
    {"SYSTEM.INI", "ADDINIMULTIKEY", R"("386Enh", "device", "vshare.386")", 0, 17, {}, {"DEVICE=VSHARE.386"}},
    {"SYSTEM.INI", "DELINIMULTIKEY", R"("386Enh", "network", "vnetware.386")", 0, 20,
     {"network=*vnetbios,*vwc,vnetware.386,vipx.386"}, {"network=*vnetbios,*vwc,vipx.386"}},
    // PROTOCOL.INI: blank lines between sections, a blank line of one tab, "$" in names.
    {"PROTOCOL.INI", "WRITEINIINT", R"("MS$NE2CLONE", "INTERRUPT", 5)", 0, 16, {"INTERRUPT=3"}, {"INTERRUPT=5"}},
    {"PROTOCOL.INI", "WRITEINISTR", R"("MS$NE2CLONE", "IOBASE", "0x320")", 0, 15, {"IOBASE=0x300"}, {"IOBASE=0x320"}},
    {"PROTOCOL.INI", "WRITEINISTR", R"("NE2000", "adapters", "MS$NE2000")", 0, 19,
     {"Adapters = MS$NE2CLONE"}, {"Adapters = MS$NE2000"}},
    {"PROTOCOL.INI", "WRITEINISTR", R"("MS$NWLINKNB", "DriverName", "nwlinknb$")", 0, 24, {},
     {"", "[MS$NWLINKNB]", "DriverName=nwlinknb$"}},
    {"PROTOCOL.INI", "ADDINIMULTIKEY", R"("network.setup", "transport", "ms$nwlink,NWLINK")", 0, 2, {},
     {"TRANSPORT=MS$NWLINK,NWLINK"}},
    {"PROTOCOL.INI", "DELINIMULTIKEY", R"("protman", "PRIORITY", "MS$NDISHLP")", 0, 11, {"PRIORITY=MS$NDISHLP"}, {}},
    // PROGMAN.INI.
    {"PROGMAN.INI", "WRITEINISTR", R"("Groups", "Order", "5 3 2 4 1 6")", 0, 13, {"Order= 5 3 2 4 1"}, {"Order= 5 3 2 4 1 6"}},
    {"PROGMAN.INI", "WRITEINISTR", R"("Groups", "Group6", "C:\WINDOWS\PLX.GRP")", 0, 8, {}, {R"(Group6=C:\WINDOWS\PLX.GRP)"}},
    {"PROGMAN.INI", "WRITEINIINT", R"("Settings", "SaveSettings", 0)", 0, 3, {"SaveSettings=1"}, {"SaveSettings=0"}},
    {"PROGMAN.INI", "WRITEINIINT", R"("restrictions", "NoRun", 1)", 0, 15, {"NoRun=0"}, {"NoRun=1"}},
    {"PROGMAN.INI", "ADDINIMULTIKEY", R"("restrictions", "NoClose", "1")", 0, 15, {}, {"NOCLOSE=1"}},
    {"PROGMAN.INI", "DELINIMULTIKEY", R"("Groups", "Order", "4")", 0, 13, {"Order= 5 3 2 4 1"}, {"Order= 5 3 2 1"}},
    // CONTROL.INI: a duplicate key, "[" inside a value, a key of one letter.
    {"CONTROL.INI", "WRITEINISTR", R"("Custom Colors", "ColorA", "C0C0C0")", 0, 8, {"ColorA=FFFFFF"}, {"ColorA=C0C0C0"}},
    {"CONTROL.INI", "WRITEINISTR", R"("current", "color schemes", "Arizona")", 0, 3,
     {"color schemes=Windows Default"}, {"color schemes=Arizona"}},
    {"CONTROL.INI", "WRITEINIINT", R"("MMCPL", "NumApps", 16)", 0, 15, {"NumApps=15"}, {"NumApps=16"}},
    {"CONTROL.INI", "WRITEINISTR", R"("MMCPL", "X", "10")", 0, 16, {"X=0"}, {"X=10"}},
    {"CONTROL.INI", "WRITEINISTR", R"("drivers.desc", "midimapper", "MIDI Mapper")", 0, 19, {}, {"midimapper=MIDI Mapper"}},
    {"CONTROL.INI", "ADDINIMULTIKEY", R"("drivers.desc", "msadlib.drv", "Ad Lib")", 0, 19, {}, {"MSADLIB.DRV=AD LIB"}},
    {"CONTROL.INI", "DELINIMULTIKEY", R"("Patterns", "Boxes", "127 0")", 0, 13,
     {"Boxes=127 65 65 65 65 65 127 0"}, {"Boxes=127 65 65 65 65 65 "}},
    // WINFILE.INI: no final newline.
    {"WINFILE.INI", "WRITEINISTR", R"("Settings", "Window", "10,10,630,470, , ,1")", 0, 2,
     {"Window=0,0,640,480, , ,1"}, {"Window=10,10,630,470, , ,1"}},
    {"WINFILE.INI", "WRITEINISTR", R"("Settings", "LowerCase", "1")", 0, 2, {}, {"LowerCase=1"}},
    {"WINFILE.INI", "WRITEINISTR", R"("Settings", "dir1", "0,0,500,300,-1,-1,1,30,201,1808,250,D:\*.*")", 0, 3,
     {std::string(R"(dir1=0,0,500,300,-1,-1,1,30,201,1808,250,C:\WINDOWS\*.*)") + kNoNewline},
     {R"(dir1=0,0,500,300,-1,-1,1,30,201,1808,250,D:\*.*)"}},
    {"WINFILE.INI", "WRITEINISTR", R"("AddOns", "MS-DOS Tools", "C:\DOS\TOOLS.DLL")", 0, 3,
     {std::string(R"(dir1=0,0,500,300,-1,-1,1,30,201,1808,250,C:\WINDOWS\*.*)") + kNoNewline},
     {R"(dir1=0,0,500,300,-1,-1,1,30,201,1808,250,C:\WINDOWS\*.*)", "", "[AddOns]", R"(MS-DOS Tools=C:\DOS\TOOLS.DLL)"}},
    {"WINFILE.INI", "WRITEINIINT", R"("Settings", "SaveSettings", 1)", 0, 2, {}, {"SaveSettings=1"}},
    {"WINFILE.INI", "ADDINIMULTIKEY", R"("Settings", "dir2", "0,0,500,300,-1,-1,1,30,201,1808,250,D:\*.*")", 0, 2, {},
     {R"(DIR2=0,0,500,300,-1,-1,1,30,201,1808,250,D:\*.*)"}},
    {"WINFILE.INI", "DELINIMULTIKEY", R"("Settings", "dir1", "C:\WINDOWS\*.*")", 0, 3,
     {std::string(R"(dir1=0,0,500,300,-1,-1,1,30,201,1808,250,C:\WINDOWS\*.*)") + kNoNewline},
     {"dir1=0,0,500,300,-1,-1,1,30,201,1808,250,"}},
    // MIXCASE.INI: mixed case, empty sections, a section that comes twice.
    {"MIXCASE.INI", "WRITEINISTR", R"("MAIL", "mapi", "0")", 0, 2, {"MAPI=1"}, {"MAPI=0"}},
    {"MIXCASE.INI", "WRITEINISTR", R"("compatibility", "WINWORD", "0x00000001")", 0, 10, {}, {"WINWORD=0x00000001"}},
    {"MIXCASE.INI", "WRITEINIINT", R"("Empty", "Count", 0)", 0, 11, {}, {"Count=0"}},
    {"MIXCASE.INI", "ADDINIMULTIKEY", R"("MCI Extensions", "avi", "AVIVideo")", 0, 6, {}, {"AVI=AVIVIDEO"}},
    {"MIXCASE.INI", "DELINIMULTIKEY", R"("embedding", "PBrush", "pbrush.exe")", 0, 14,
     {"PBrush=Paintbrush Picture,Paintbrush Picture,pbrush.exe,picture"},
     {"PBrush=Paintbrush Picture,Paintbrush Picture,picture"}},
    {"MIXCASE.INI", "DELINIMULTIKEY", R"("Mail", "CMCDLLNAME", "mapi32.dll")", 0, 0, {}, {}},
    // LONGLINE.INI: three lines over 255 characters around the edited ones.
    {"LONGLINE.INI", "WRITEINISTR", R"("Recent File List", "File2", "C:\DOCS\REPORT.DOC")", 0, 3,
     {R"(File2=C:\DOCS\SHORT.DOC)"}, {R"(File2=C:\DOCS\REPORT.DOC)"}},
    {"LONGLINE.INI", "WRITEINIINT", R"("Options", "ShowRuler", 0)", 0, 6, {"ShowRuler=1"}, {"ShowRuler=0"}},
    {"LONGLINE.INI", "WRITEINISTR", R"("Paths", "LibPath", "C:\SDK\LIB;C:\MSVC\LIB")", 0, 9,
     {R"(LibPath=C:\SDK\LIB)"}, {R"(LibPath=C:\SDK\LIB;C:\MSVC\LIB)"}},
    {"LONGLINE.INI", "WRITEINISTR", R"("Toolbars", "Count", "3")", 0, 10, {}, {"", "[Toolbars]", "Count=3"}},
    {"LONGLINE.INI", "ADDINIMULTIKEY", R"("Paths", "SourcePath", "c:\src")", 0, 8, {}, {R"(SOURCEPATH=C:\SRC)"}},
    {"LONGLINE.INI", "DELINIMULTIKEY", R"("Paths", "LibPath", "C:\SDK\LIB")", 0, 9, {R"(LibPath=C:\SDK\LIB)"}, {}},
    // TABS.INI: tabs around "=", an indented key, trailing white space.
    {"TABS.INI", "WRITEINISTR", R"("General", "Version", "3.11")", 0, 3, {"Version\t=\t3.1\t"}, {"Version\t=\t3.11"}},
    {"TABS.INI", "WRITEINIINT", R"("General", "Timeout", 60)", 0, 5, {"Timeout  =\t30"}, {"Timeout  =\t60"}},
    {"TABS.INI", "WRITEINISTR", R"("General", "Indented", "no")", 0, 2, {}, {"Indented=no"}},
    {"TABS.INI", "WRITEINISTR", R"("Server", "port", "1522")", 0, 8, {"Port\t=\t1521"}, {"Port\t=\t1522"}},
    {"TABS.INI", "ADDINIMULTIKEY", R"("Server", "Host", "srv2")", 0, 7, {}, {"HOST=SRV2"}},
    {"TABS.INI", "DELINIMULTIKEY", R"("General", "Name", "Workstation")", 0, 2,
     {"Name\t=\tAccounts Workstation"}, {"Name\t=\tAccounts "}},
    // LFUNIX.INI: bare LF.
    {"LFUNIX.INI", "WRITEINISTR", R"("Startup", "Workgroup", "SALES")", 0, 3, {"Workgroup=ACCOUNTS"}, {"Workgroup=SALES"}},
    {"LFUNIX.INI", "WRITEINIINT", R"("Startup", "Retries", 3)", 0, 2, {}, {"Retries=3"}},
    {"LFUNIX.INI", "ADDINIMULTIKEY", R"("Printers", "Default", "\\srv\color")", 0, 7, {}, {R"(DEFAULT=\\SRV\COLOR)"}},
    {"LFUNIX.INI", "DELINIMULTIKEY", R"("Modules", "load", "thes.dll")", 0, 5,
     {"load=spell.dll,thes.dll,grammar.dll"}, {"load=spell.dll,grammar.dll"}},
    {"LFUNIX.INI", "DELINIMULTIKEY", R"("Modules", "load", "absent.dll")", 0, 0, {}, {}},
    {"LFUNIX.INI", "DELINIMULTIKEY", R"("Missing", "load", "x")", -1, 0, {}, {}},
    // VENDOR.INI: ";", "REM", "REMARK" and "rem" + tab comments; REMOTE is a key.
    {"VENDOR.INI", "WRITEINISTR", R"("Setup", "Path", "D:\VENDOR")", 0, 7, {R"(Path=C:\VENDOR)"}, {R"(Path=D:\VENDOR)"}},
    {"VENDOR.INI", "WRITEINIINT", R"("Setup", "REMOTE", 0)", 0, 8, {"REMOTE=1"}, {"REMOTE=0"}},
    {"VENDOR.INI", "WRITEINISTR", R"("Database", "DSN", "PAYROLL")", 0, 12, {"DSN=ACCOUNTS"}, {"DSN=PAYROLL"}},
    {"VENDOR.INI", "ADDINIMULTIKEY", R"("Database", "Driver", "odbc")", 0, 11, {}, {"DRIVER=ODBC"}},
    {"VENDOR.INI", "DELINIMULTIKEY", R"("Setup", "Serial", "ABC-123-XYZ")", 0, 9, {"Serial=ABC-123-XYZ"}, {}},
    // ODBC.INI: section names that are also keys, the same key in two sections.
    {"ODBC.INI", "WRITEINISTR", R"("dBase Files", "SingleUser", "True")", 0, 14, {"SingleUser=False"}, {"SingleUser=True"}},
    {"ODBC.INI", "WRITEINISTR", R"("ODBC Data Sources", "Payroll", "SQL Server")", 0, 2, {}, {"Payroll=SQL Server"}},
    {"ODBC.INI", "WRITEINISTR", R"("Accounts", "Driver", "C:\WINDOWS\SYSTEM\btrv.dll")", 0, 15, {},
     {"", "[Accounts]", R"(Driver=C:\WINDOWS\SYSTEM\btrv.dll)"}},
    {"ODBC.INI", "WRITEINIINT", R"("MS Access Databases", "PageTimeout", 5)", 0, 7, {}, {"PageTimeout=5"}},
    {"ODBC.INI", "ADDINIMULTIKEY", R"("MS Access Databases", "ExclusiveOpen", "0")", 0, 7, {}, {"EXCLUSIVEOPEN=0"}},
    {"ODBC.INI", "DELINIMULTIKEY", R"*("ODBC Data Sources", "Accounts", "Btrieve Files (*.btr)")*", 0, 4,
     {"Accounts=Btrieve Files (*.btr)"}, {}},
    // MSMAIL.INI: empty sections in a row.
    {"MSMAIL.INI", "WRITEINISTR", R"("Microsoft Mail", "login", "ajones")", 0, 3, {"Login=JSMITH"}, {"Login=ajones"}},
    {"MSMAIL.INI", "WRITEINIINT", R"("Microsoft Mail", "Polling", 10)", 0, 2, {}, {"Polling=10"}},
    {"MSMAIL.INI", "WRITEINISTR", R"("Custom Commands", "WGPOMgr1", "3.0;Mail;;13")", 0, 8, {}, {"WGPOMgr1=3.0;Mail;;13"}},
    {"MSMAIL.INI", "ADDINIMULTIKEY", R"("Providers", "Name", "pabnsp")", 0, 10, {}, {"NAME=PABNSP"}},
    {"MSMAIL.INI", "DELINIMULTIKEY", R"("Providers", "Transport", "mssfs")", 0, 11, {"Transport=MSSFS"}, {}},
    // DOSAPP.INI: CR LF and bare LF mixed, keys that are paths.
    {"DOSAPP.INI", "WRITEINISTR", R"("Dos Applications", "C:\GAMES\DOOM.EXE", "0 1 80 25")", 0, 4,
     {R"(C:\GAMES\DOOM.EXE=1 0 80 50)"}, {R"(C:\GAMES\DOOM.EXE=0 1 80 25)"}},
    {"DOSAPP.INI", "WRITEINIINT", R"("Dos Applications", "C:\APPS\WP51\WP.EXE", 1)", 0, 3,
     {R"(C:\APPS\WP51\WP.EXE=0 1 80 25)"}, {R"(C:\APPS\WP51\WP.EXE=1)"}},
    {"DOSAPP.INI", "ADDINIMULTIKEY", R"("Dos Applications", "c:\dos\edit.com", "0 1 80 25")", 0, 2, {},
     {R"(C:\DOS\EDIT.COM=0 1 80 25)"}},
    {"DOSAPP.INI", "DELINIMULTIKEY", R"("Dos Applications", "C:\WINDOWS\COMMAND.COM", "25")", 0, 2,
     {R"(C:\WINDOWS\COMMAND.COM=0 1 80 25)"}, {R"(C:\WINDOWS\COMMAND.COM=0 1 80 )"}},
};
// clang-format on

// The engine's "$" files left in a folder: none after any edit, failed or not.
int TempFilesIn(const std::string& dir) {
  int n = 0;
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA((dir + "\\$*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return 0;
  do ++n; while (FindNextFileA(h, &fd));
  FindClose(h);
  return n;
}

std::string CorpusFile(const std::string& name) {
  return ReadWholeFile(std::string(PLX_WIN_TEST_DATA "/corpus/") + name);
}

TEST(ScriptlibCorpus, EachEditChangesOnlyItsLines) {
  for (const Edit& e : kEdits) {
    const std::string what = std::string(e.file) + ": " + e.function + " " + e.params;
    const std::string before = CorpusFile(e.file);
    ASSERT_FALSE(before.empty()) << e.file;
    ScriptRun run;
    VariableStore::Define("[WINDIR]", 'S');
    VariableStore::SetString("[WINDIR]", run.dir.Path().c_str());
    run.dir.Write(e.file, before);
    std::string script;
    if (IsIniFunction(e.function))
      script = std::string(e.function) + " \"" + run.dir.File(e.file) + "\", " + e.params + "\n";
    else
      script = "SETSYSFILE \"" + run.dir.Path() + "\", \"" + e.file + "\"\n" + e.function + " " + e.params + "\n";
    EXPECT_EQ(run.RunText(script), 0) << what << "\n" << run.Shown();
    EXPECT_EQ(run.Retval(), e.retval) << what;
    const std::string after = ReadWholeFile(run.dir.File(e.file));
    EXPECT_EQ(TempFilesIn(run.dir.Path()), 0) << what;
    if (e.retval != 0) {
      // A failed or empty edit puts the old file back as it was, line ends and all.
      EXPECT_EQ(after, before) << what;
      continue;
    }
    Hunk h = Diff(WithCrLf(SplitLines(before)), SplitLines(after));
    EXPECT_EQ(h.start, e.start) << what;
    EXPECT_EQ(h.removed, e.removed) << what;
    EXPECT_EQ(h.added, e.added) << what;
  }
}

}  // namespace
