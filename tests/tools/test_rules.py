import unittest

import hosttest
from qornhost.rules import (RuleError, case_key, check_base_url, check_client_path,
                            check_release_id, inspect_launcher, loopback_bind_address,
                            parse_launcher_version)


class ClientPathRules(unittest.TestCase):
    REFUSED = [
        ("../Main.exe", "unsafe"), ("Data/../a", "unsafe"), ("Data//a", "unsafe"),
        ("Data/a.", "unsafe"), ("Data/a ", "unsafe"), ("/Main.exe", "unsafe"),
        ("Main.exe/", "unsafe"), ("", "1 to 230"), ("a" * 231, "1 to 230"),
        ("\U0001F600" * 115 + "a", "1 to 230"),
        ("C:/Main.exe", "not allowed"), ("a\\b", "not allowed"), ("a\tb", "not allowed"),
        ("x|y", "not allowed"), ("CON.txt", "device"), ("A/NUL", "device"), ("con", "device"),
        ("Nul.tar.gz", "device"), ("COM\u00b9.txt", "device"), ("LPT\u00b3.log", "device"),
        ("lpt9", "device"), ("COM0", "device"),
        (".qorn-launcher/a", "launcher"), ("Updater.exe", "launcher"),
        ("QORNUPDATETOOL.exe/x", "launcher"),
        ("bad\udcffname", "UTF-8"),
    ]
    ACCEPTED = ["Data/nhân vật/a.bmd", "COM10", "CONSOLE", "COMX", "NULL", "COM\u2074",
                "Data/Updater.exe", "Data/.qorn-launcher", ".hidden", "a..b", "a" * 230,
                "\U0001F600" * 115]

    def test_refused_paths_name_the_broken_rule(self):
        for path, reason in self.REFUSED:
            with self.subTest(path=path):
                with self.assertRaisesRegex(RuleError, reason):
                    check_client_path(path)

    def test_accepted_paths(self):
        for path in self.ACCEPTED:
            with self.subTest(path=path):
                check_client_path(path)

    def test_case_key_keeps_length(self):
        self.assertEqual(case_key("Main.exe"), "MAIN.EXE")
        self.assertEqual(case_key("nhân vật"), "NHÂN VẬT")
        # Upper cases longer than one code unit are not applied.
        self.assertEqual(case_key("straße"), "STRAßE")
        self.assertEqual(case_key("\ufb01le"), "\ufb01LE")
        self.assertEqual(case_key("\U00010428"), "\U00010428")


class IdentifiersAndUrls(unittest.TestCase):
    def test_release_ids(self):
        for good in ("r1", "1.2.3", "r-1.2_3", "a" * 80, "r1."):
            check_release_id(good)
        for bad in ("", "a" * 81, "-r1", "_r1", ".r1", "r..1", "r 1", "rü", "r1\n"):
            with self.subTest(bad=bad), self.assertRaises(RuleError):
                check_release_id(bad)

    def test_launcher_versions(self):
        self.assertGreater(parse_launcher_version("2.0.10.0"),
                           parse_launcher_version("2.0.9.65535"))
        self.assertEqual(parse_launcher_version("65535.65535.65535.65535"), 2**64 - 1)
        for bad in ("2.0.8", "2.0.8.0.0", "-1.0.0.0", "65536.0.0.0", "1..2.3", "1.2.x.4",
                    "1.2.3.\u0664"):
            with self.subTest(bad=bad), self.assertRaises(RuleError):
                parse_launcher_version(bad)

    def test_base_urls(self):
        self.assertEqual(check_base_url("https://update.example.net/"),
                         "https://update.example.net")
        for good in ("http://127.0.0.1:54321", "http://LocalHost:1", "http://[::1]:8080"):
            check_base_url(good)
        for bad in ("http://update.example.net", "https://u:p@host", "https://host/#x",
                    "https://host/prefix", "https://host/?a=1", "ftp://host", "host:80",
                    "https://host:0", "https://host:99999"):
            with self.subTest(bad=bad), self.assertRaises(RuleError):
                check_base_url(bad)

    def test_server_binds_loopback_only(self):
        self.assertEqual(loopback_bind_address("localhost"), "127.0.0.1")
        self.assertEqual(loopback_bind_address("[::1]"), "::1")
        self.assertEqual(loopback_bind_address("127.0.0.2"), "127.0.0.2")
        for bad in ("0.0.0.0", "::", "192.168.1.1", "example.net"):
            with self.subTest(bad=bad), self.assertRaises(RuleError):
                loopback_bind_address(bad)


class LauncherExecutables(unittest.TestCase):
    def test_architecture_and_version_are_read(self):
        self.assertEqual(inspect_launcher(hosttest.make_pe()),
                         ("win-x64", parse_launcher_version("2.0.8.0")))
        self.assertEqual(inspect_launcher(hosttest.make_pe(0x14C, 0x10B, (1, 2, 3, 4)))[0],
                         "win-x86")

    def test_refused_executables(self):
        cases = {
            "MZ": b"PK\x03\x04" + bytes(100),
            "DLL": hosttest.make_pe(dll=True),
            "architecture": hosttest.make_pe(machine=0xAA64),
            "version": hosttest.make_pe(version=None),
        }
        for reason, data in cases.items():
            with self.subTest(reason=reason), self.assertRaisesRegex(RuleError, reason):
                inspect_launcher(data)


if __name__ == "__main__":
    unittest.main()
