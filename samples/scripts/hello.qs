; hello.qs: greets the workstation, runs a program and records how it ended.
; Compile with:  qsc samples/scripts/hello.qs -o HELLO.QSC

DEFINE "[GREETING]", S
DEFINE "[PROGRAM]", S
STRCOPY [GREETING], "Hello, "
STRCAT [GREETING], [MACHINENAME]
WRITELN [GREETING]

; CMD.EXE ends with the exit code it is asked for; ShellWait leaves that code in [RETVAL].
STRCOPY [PROGRAM], [WINSYSDIR]
APPENDPATH [PROGRAM], "CMD.EXE"
ShellWait [PROGRAM], "/C EXIT 3", KEEPPATH
IF [RETVAL], =, 3
  WriteLog "hello.qs: the program ended with code 3, as asked"
  WRITELN "The program ended with code 3, as asked."
ELSE
  WriteLog "hello.qs: the program did not end with code 3"
  WRITELN "The program did not end as asked."
ENDIF
