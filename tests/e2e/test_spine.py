"""The agent's run from start to end: server lookup, requester, server passes, aborts."""
import os
import time
import unittest

from plxenv import AgentTestCase, NetworkDrive, WINEPREFIX, install_agent, results_text, run_agent, wine

AGENT = r"\\SRV\SYS\PUBLIC\PLXWIN32.EXE"

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
ABORTED = "\nProgram aborted.\n"


def scenario(servers=("SRV", "SRV2"), with_paths=True):
    seed = {"servers": [{"ServerId": i + 1, "ServerName": s} for i, s in enumerate(servers)],
            "installed": []}
    if with_paths:
        for s in servers:
            seed["installed"].append({"Server": s, "Item": "KVR610", "Path": "SYS:\\APPS\\PLIVEX",
                                      "Second": "PLIVEX.CFG"})
            seed["installed"].append({"Server": s, "Item": "SISITE", "Path": "", "Second": "HQ"})
    return seed


class SpineTest(AgentTestCase):

    def lay_out(self, port, package_servers="SRV,SRV2", network=None, servers=("SRV", "SRV2"), workstation=None):
        public = os.path.join(self.share.volume("SRV", "SYS"), "PUBLIC")
        install_agent(
            public,
            corvnet={"Network": network or {"NodeAddress": "00A0C9123456"},
                     "Workstation": workstation or {"UserName": "ALICE"},
                     "User.ALICE": {"PackageServers": package_servers}},
            dblinkr32={"Servers": {s: "127.0.0.1:%d" % port for s in servers}})
        return public

    def assert_aborted_with(self, report, *lines):
        text = results_text(report)
        for line in lines:
            self.assertIn(line, text)
        self.assertTrue(text.endswith(ABORTED), text)
        self.assertTrue(report["close_enabled"])
        self.assertEqual(report["exit_code"], 0)

    def test_every_package_server_is_worked_once(self):
        d = self.start_dblinkd(scenario())
        self.lay_out(d.port, package_servers="SRV,SRV2")
        report = run_agent(AGENT)
        text = results_text(report)
        self.assertTrue(report["finished"], report)
        self.assertEqual(report["caption"], "Orvik Distribution Agent")
        self.assertTrue(text.startswith("PLXWIN32 Initializing...\n"), text)
        first = "Looking for packages on server SRV, please wait...\n\n"
        second = "Looking for packages on server SRV2, please wait...\n\n"
        self.assertEqual(text.count(first), 1, text)
        self.assertEqual(text.count(second), 1, text)
        self.assertLess(text.index(first), text.index(second))
        self.assertNotIn("ERROR", text)
        self.assertNotIn("aborted", text)
        self.assertEqual(report["controls"]["203"], "SRV")
        self.assertEqual(report["controls"]["204"], "ALICE")
        self.assertTrue(report["close_enabled"])
        self.assertTrue(report["exited"])
        self.assertEqual(report["exit_code"], 0)

    def test_quickscript_mode_works_one_server_only(self):
        d = self.start_dblinkd(scenario())
        self.lay_out(d.port, package_servers="SRV,SRV2")
        report = run_agent(AGENT, ["/QS=SETUP"])
        text = results_text(report)
        self.assertIn("Looking for packages on server SRV, please wait...", text)
        self.assertNotIn("SRV2", text)
        self.assertNotIn("No packages scheduled for today!", text)
        self.assertNotIn("No more packages scheduled.", text)
        self.assertTrue(report["close_enabled"])
        self.assertEqual(report["exit_code"], 0)

    def test_bad_argument_and_help_show_the_usage_text(self):
        d = self.start_dblinkd(scenario())
        self.lay_out(d.port)
        for args, expected in ((["/LOGX"], "Unrecognized or bad argument: /LOGX\n\n" + USAGE),
                               (["/retries=32001"], "Unrecognized or bad argument: /retries=32001\n\n" + USAGE),
                               (["/?", "/BOGUS"], USAGE)):
            report = run_agent(AGENT, args)
            self.assertEqual(results_text(report), "PLXWIN32 Initializing...\n" + expected + ABORTED, args)
            self.assertTrue(report["close_enabled"])
            self.assertEqual(report["exit_code"], 0)

    def test_run_from_a_local_folder_is_refused(self):
        local = os.path.join(WINEPREFIX, "drive_c", "plxlocal")
        install_agent(local, corvnet={"Workstation": {"UserName": "ALICE"}}, dblinkr32={"Servers": {}})
        try:
            report = run_agent(r"C:\plxlocal\PLXWIN32.EXE")
        finally:
            import shutil
            shutil.rmtree(local, ignore_errors=True)
        self.assert_aborted_with(report, "\nERROR 0147: Agent must be run from a network drive.\n\n")

    def test_started_from_a_network_drive_letter(self):
        d = self.start_dblinkd(scenario())
        sys_dir = self.share.volume("SRV", "SYS")
        drive = NetworkDrive(sys_dir)
        self.assertTrue(drive.map(), "no free drive letter in the prefix")
        try:
            exe = "%s:\\PUBLIC\\PLXWIN32.EXE" % drive.letter.upper()
            corvnet = {"Workstation": {"UserName": "ALICE"}, "User.ALICE": {"PackageServers": "SRV"},
                       "Drives": {drive.letter.upper(): r"\\SRV\SYS"}}
            dblinkr32 = {"Servers": {"SRV": "127.0.0.1:%d" % d.port}}
            install_agent(os.path.join(sys_dir, "PUBLIC"), corvnet=corvnet, dblinkr32=dblinkr32)
            report = run_agent(exe)
            self.assertIn("Looking for packages on server SRV, please wait...", results_text(report))
            self.assertEqual(report["controls"]["203"], "SRV")
            # A network letter whose share nobody can name.
            del corvnet["Drives"]
            install_agent(os.path.join(sys_dir, "PUBLIC"), corvnet=corvnet, dblinkr32=dblinkr32)
            report = run_agent(exe)
        finally:
            drive.unmap()
        self.assert_aborted_with(
            report, "\nERROR 0159: Unable to determine server name, or incorrect agent for this\n"
                    "network type.  Ensure that the Orvik NLM/NT Service is loaded, or specify\n"
                    "the /server= option.\n\n")

    def test_unsupported_network_configuration(self):
        d = self.start_dblinkd(scenario())
        self.lay_out(d.port, network={"Unsupported": "1"})
        report = run_agent(AGENT)
        self.assert_aborted_with(report, "\nERROR 0165: Unable to run in this network configuration.\n\n")

    def test_network_layer_and_user_failures(self):
        d = self.start_dblinkd(scenario())
        self.lay_out(d.port, network={"Attached": "OTHER"})
        self.assert_aborted_with(run_agent(AGENT), "\nERROR 0131: Network initialization error: 2250\n\n")
        self.lay_out(d.port, workstation={"LoggedIn": "0"})
        self.assert_aborted_with(run_agent(AGENT), "\nERROR 0163: Network initialization error. 1245.\n"
                                                   "   Could not determine the user or server name.\n\n")

    def test_windows_95_skips_impersonation_and_needs_its_boot_drive(self):
        d = self.start_dblinkd(scenario())
        self.lay_out(d.port)
        app = r"HKCU\Software\Wine\AppDefaults\PLXWIN32.EXE"
        setup = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Setup"
        wine(["reg", "add", app, "/v", "Version", "/d", "win95", "/f"])
        try:
            text = results_text(run_agent(AGENT))
            self.assertNotIn("Impersonation", text)
            self.assertIn("Looking for packages on server SRV2, please wait...", text)
            # Without the boot directory in the registry the variables cannot be set.
            wine(["reg", "delete", setup, "/v", "BootDir", "/f"])
            report = run_agent(AGENT)
        finally:
            wine(["reg", "add", setup, "/v", "BootDir", "/d", "C:\\", "/f"])
            wine(["reg", "delete", app, "/f"])
        self.assert_aborted_with(report, "\nERROR 0101: Error determining boot drive letter.\n\n",
                                 "\nERROR 0130: Error -1 occurred during variable initialization.\n\n")

    def test_stopped_service_reports_after_retries_and_time_out(self):
        d = self.start_dblinkd(scenario())
        self.lay_out(d.port)
        d.stop()
        start = time.monotonic()
        report = run_agent(AGENT, ["/RETRIES=2", "/TIMEOUT=1"])
        elapsed = time.monotonic() - start
        self.assert_aborted_with(
            report,
            "Unable to initialize database communications with server SRV (rc = 10100)\n",
            "\nDATABASE ERROR 10100: SRV: UNABLE TO INITIALIZE SERVER\n\n")
        # Two attempts of one second each; the rest is Wine starting two programs.
        self.assertGreaterEqual(report["millis"], 2000, report)
        self.assertLess(elapsed, 9, elapsed)

    def test_unknown_second_server_aborts_at_connect(self):
        d = self.start_dblinkd(scenario(servers=("SRV",)))
        self.lay_out(d.port, package_servers="SRV2", servers=("SRV", "SRV2"))
        report = run_agent(AGENT)
        self.assert_aborted_with(
            report,
            "Looking for packages on server SRV, please wait...\n",
            "Unable to connect to the database on server SRV2 (rc = 10100)\n",
            "\nDATABASE ERROR 10100: SRV2: UNABLE TO INITIALIZE SERVER\n\n")

    def test_server_without_package_path_aborts(self):
        d = self.start_dblinkd(scenario(servers=("SRV",), with_paths=False))
        self.lay_out(d.port, servers=("SRV",))
        report = run_agent(AGENT)
        self.assert_aborted_with(
            report,
            "Unable to determine package path on server SRV (rc = 10301)\n",
            "\nDATABASE ERROR 10301: SRV: PRODUCT NOT IN GUV FILE\n\n")

    def test_workstation_id_that_cannot_be_stored_aborts(self):
        d = self.start_dblinkd(scenario())
        self.lay_out(d.port)
        blocker = os.path.join(WINEPREFIX, "drive_c", "equip.id")
        saved = None
        if os.path.isfile(blocker):
            saved = open(blocker, "rb").read()
            os.chmod(blocker, 0o644)
            os.unlink(blocker)
        os.mkdir(blocker)  # a folder where the id file belongs can be neither read nor replaced
        try:
            report = run_agent(AGENT)
        finally:
            os.rmdir(blocker)
            if saved is not None:
                with open(blocker, "wb") as f:
                    f.write(saved)
        self.assert_aborted_with(report, "\nERROR 0109: Unable to find or create a unique ID for this workstation. \n"
                                         "Either the boot drive is write protected or has insufficient space.\n\n")

    def test_second_agent_ends_at_once_without_a_window(self):
        d = self.start_dblinkd(scenario())
        self.lay_out(d.port)
        report = run_agent(AGENT, second=True)
        self.assertIsNotNone(report["second"], report)
        self.assertTrue(report["second"]["exited"])
        self.assertEqual(report["second"]["exit_code"], 0)
        self.assertFalse(report["second"]["window"])
        self.assertLess(report["second"]["millis"], 5000)


if __name__ == "__main__":
    unittest.main()
