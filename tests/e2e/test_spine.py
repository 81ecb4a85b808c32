"""The agent's run from start to end: server lookup, requester, server passes, aborts."""
import os
import unittest

from agentcase import ABORTED, ID_FILE, AgentCase, document
from plxharness import DRIVE_C

USAGE = (
    "Syntax:\n"
    "   PLXWIN32.EXE [/silent] [/log] [/altlog=file.ext] [/autoexit] [/?]\n"
    "            [/retries=] [/timeout=]\n\n"
    "Where:\n"
    "   /silent   - suppress all output\n"
    "   /log      - logs output to default log file: CORVSD.LOG\n"
    "   /altlog=  - use alternate log file, specify alternate filename to use\n"
    "   /retries= - number of times to retry pinging DBLINK.NLM (1-32,000)\n"
    "   /timeout= - number of seconds to wait for DBLINK.NLM to reply (1-60)\n"
    "   /autoexit - automatically exit the Orvik Distribution agent after 5 seconds\n"
    "   /?        - displays this message\n\n")
TWO = ("SRV", "SRV2")
NO_SERVER_NAME = ("\nERROR 0159: Unable to determine server name, or incorrect agent for this\n"
                  "network type.  Ensure that the Orvik NLM/NT Service is loaded, or specify\n"
                  "the /server= option.\n\n")

# (what, document, serve() arguments, lines of the results box); every run ends aborted.
ABORTS = [
    ("unsupported network", document(servers=TWO), dict(servers=TWO, Network={"Unsupported": "1"}),
     ["\nERROR 0165: Unable to run in this network configuration.\n\n"]),
    ("network layer fails", document(servers=TWO), dict(servers=TWO, Network={"Attached": "OTHER"}),
     ["\nERROR 0131: Network initialization error: 2250\n\n"]),
    ("nobody logged in", document(servers=TWO), dict(servers=TWO, Workstation={"LoggedIn": "0"}),
     ["\nERROR 0163: Network initialization error. 1245.\n   Could not determine the user or server name.\n\n"]),
    ("second server unknown to its service", document(), dict(servers=TWO, package_servers="SRV2"),
     ["Looking for packages on server SRV, please wait...\n",
      "Unable to connect to the database on server SRV2 (rc = 10100)\n",
      "\nDATABASE ERROR 10100: SRV2: UNABLE TO INITIALIZE SERVER\n\n"]),
    ("server without package path", document(paths=False), {},
     ["Unable to determine package path on server SRV (rc = 10301)\n",
      "\nDATABASE ERROR 10301: SRV: PRODUCT NOT IN GUV FILE\n\n"]),
]


class SpineTest(AgentCase):

    def test_every_package_server_is_worked_once(self):
        self.serve(document(servers=TWO), servers=TWO)
        report = self.agent()
        text = report["text"]
        self.assertTrue(report["finished"] and report["exited"], report)
        self.assertEqual(report["caption"], "Orvik Distribution Agent")
        self.assertTrue(text.startswith("PLXWIN32 Initializing...\n"), text)
        passes = ["Looking for packages on server %s, please wait...\n\n" % s for s in TWO]
        self.assertEqual([text.count(p) for p in passes], [1, 1], text)
        self.assertLess(text.index(passes[0]), text.index(passes[1]))
        self.assertNotIn("ERROR", text)
        self.assertNotIn("aborted", text)
        self.assertEqual((report["controls"]["203"], report["controls"]["204"]), ("SRV", "ALICE"))
        self.assertTrue(report["close_enabled"])
        self.assertEqual(report["exit_code"], 0)
        # /QS= works the first server only and says nothing of an empty list.
        text = self.agent("/QS=SETUP")["text"]
        self.assertIn(passes[0], text)
        for absent in ("SRV2", "No packages scheduled for today!", "No more packages scheduled."):
            self.assertNotIn(absent, text)

    def test_bad_argument_and_help_show_the_usage_text(self):
        self.serve(document())
        for args, expected in ((["/LOGX"], "Unrecognized or bad argument: /LOGX\n\n" + USAGE),
                               (["/retries=32001"], "Unrecognized or bad argument: /retries=32001\n\n" + USAGE),
                               (["/?", "/BOGUS"], USAGE)):
            report = self.agent(*args)
            self.assertEqual(report["text"], "PLXWIN32 Initializing...\n" + expected + ABORTED, args)
            self.assert_aborted_with(report)

    def test_aborts(self):
        for what, doc, layout, lines in ABORTS:
            with self.subTest(what):
                self.serve(doc, **layout)
                self.assert_aborted_with(self.agent(), *lines)

    def test_run_from_a_local_folder_is_refused(self):
        local = self.h.guard(os.path.join(DRIVE_C, "plxlocal"))
        self.h.install(local, corvnet={"Workstation": {"UserName": "ALICE"}}, dblinkr32={"Servers": {}})
        self.assert_aborted_with(self.agent(exe=r"C:\plxlocal\PLXWIN32.EXE"),
                                 "\nERROR 0147: Agent must be run from a network drive.\n\n")

    def test_workstation_id_that_cannot_be_stored_aborts(self):
        self.serve(document())
        os.unlink(ID_FILE)
        os.mkdir(ID_FILE)  # a folder can be neither read nor replaced
        self.assert_aborted_with(self.agent(), "\nERROR 0109: Unable to find or create a unique ID for this "
                                 "workstation. \nEither the boot drive is write protected or has insufficient space.\n\n")

    def test_started_from_a_network_drive_letter(self):
        self.serve(document())
        sys_dir = self.h.unc("SRV", "SYS")
        self.h.drives({"r": ("network", sys_dir)})
        corvnet = {"Workstation": {"UserName": "ALICE"}, "User.ALICE": {"PackageServers": "SRV"},
                   "Drives": {"R": r"\\SRV\SYS"}}
        dblinkr32 = {"Servers": {"SRV": "127.0.0.1:%d" % self.svc.port}}
        self.h.install(self.public, corvnet=corvnet, dblinkr32=dblinkr32)
        report = self.agent(exe=r"R:\PUBLIC\PLXWIN32.EXE")
        self.assertIn("Looking for packages on server SRV, please wait...", report["text"])
        self.assertEqual(report["controls"]["203"], "SRV")
        del corvnet["Drives"]  # a network letter whose share nobody can name
        self.h.install(self.public, files=(), corvnet=corvnet)
        self.assert_aborted_with(self.agent(exe=r"R:\PUBLIC\PLXWIN32.EXE"), NO_SERVER_NAME)

    def test_windows_95_skips_impersonation_and_needs_its_boot_drive(self):
        self.serve(document(servers=TWO), servers=TWO)
        self.h.reg({r"HKEY_CURRENT_USER\Software\Wine\AppDefaults\PLXWIN32.EXE": {"Version": "win95"},
                    r"HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Setup": {"BootDir": "C:\\"}})
        text = self.agent()["text"]
        self.assertNotIn("Impersonation", text)
        self.assertIn("Looking for packages on server SRV2, please wait...", text)
        # Without the boot directory in the registry the variables cannot be set.
        self.h.reg({r"HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Setup": {"BootDir": None}})
        self.assert_aborted_with(self.agent(), "\nERROR 0101: Error determining boot drive letter.\n\n",
                                 "\nERROR 0130: Error -1 occurred during variable initialization.\n\n")

    def test_lost_service_costs_exactly_the_retries(self):
        svc = self.h.service(document())
        px = self.h.proxy(svc.port)
        px.down()
        self.serve(document(), port=px.port)
        report = self.agent("/RETRIES=2", "/TIMEOUT=1")
        self.assert_aborted_with(report, "Unable to initialize database communications with server SRV (rc = 10100)\n",
                                 "\nDATABASE ERROR 10100: SRV: UNABLE TO INITIALIZE SERVER\n\n")
        self.assertEqual(px.connections, 2)  # one link tried per retry
        self.assertGreaterEqual(report["millis"], 2000)  # each waits out its time-out

    def test_second_agent_ends_at_once_without_a_window(self):
        self.serve(document())
        second = self.agent(second=True)["second"]
        self.assertEqual((second["exited"], second["exit_code"], second["window"]), (True, 0, False), second)


if __name__ == "__main__":
    unittest.main()
