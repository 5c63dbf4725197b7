#!/usr/bin/env python3
"""The package checker on damaged copies of the package: each fault must fail
the check with the file, the line number and the problem named."""
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

CHECKER = Path(sys.argv[1])
PACKAGE = Path(sys.argv[2])


class DamagedPackage(unittest.TestCase):
    def setUp(self):
        self.dir = Path(tempfile.mkdtemp(prefix="pkgcheck"))
        for f in PACKAGE.iterdir():
            shutil.copy(f, self.dir / f.name)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def run_checker(self):
        return subprocess.run([sys.executable, str(CHECKER), str(self.dir)],
                              capture_output=True, text=True)

    def edit_hex_line(self, number, change):
        path = self.dir / "application.hex"
        lines = path.read_bytes().split(b"\r\n")
        lines[number - 1] = change(lines[number - 1])
        path.write_bytes(b"\r\n".join(lines))

    def assert_fails(self, where, words):
        result = self.run_checker()
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertIn(where, result.stderr)
        self.assertIn(words, result.stderr)

    def test_copy_passes_with_summary(self):
        result = self.run_checker()
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("19762 records", result.stdout)
        self.assertIn("3852 blocks (last 52)", result.stdout)

    def test_bad_checksum(self):
        # Change one data digit: the stored checksum no longer matches.
        def damage(line):
            digit = b"1" if line[9:10] != b"1" else b"2"
            return line[:9] + digit + line[10:]
        self.edit_hex_line(1234, damage)
        self.assert_fails("application.hex:1234:", "checksum")

    def test_missing_record_mark(self):
        self.edit_hex_line(7, lambda line: line[1:])
        self.assert_fails("application.hex:7:", "':'")

    def test_odd_digit_count(self):
        self.edit_hex_line(20, lambda line: line[:-1])
        self.assert_fails("application.hex:20:", "odd number")

    def test_non_hex_character(self):
        self.edit_hex_line(30, lambda line: line[:5] + b"G" + line[6:])
        self.assert_fails("application.hex:30:", "not a hexadecimal digit")

    def test_byte_count_against_line_length(self):
        self.edit_hex_line(40, lambda line: line + b"0000")
        self.assert_fails("application.hex:40:", "byte count")

    def test_record_too_long_for_the_loader(self):
        body = bytes([17, 0, 0, 0]) + bytes(17)
        record = body + bytes([(-sum(body)) & 0xFF])
        self.edit_hex_line(50, lambda line: b":" + record.hex().upper().encode())
        self.assert_fails("application.hex:50:", "17 data bytes")

    def test_last_line_without_line_end(self):
        path = self.dir / "application.hex"
        path.write_bytes(path.read_bytes().rstrip(b"\r\n"))
        self.assert_fails("application.hex:19762:", "no line end")

    def test_missing_required_key(self):
        path = self.dir / "updater.properties"
        kept = [l for l in path.read_bytes().split(b"\r\n") if not l.startswith(b"error-message.NoResponse")]
        path.write_bytes(b"\r\n".join(kept))
        self.assert_fails("updater.properties", "error-message.NoResponse")

    def test_value_longer_than_the_program_keeps(self):
        path = self.dir / "unit.properties"
        path.write_bytes(path.read_bytes() + b"long = " + b"x" * 600 + b"\r\n")
        self.assert_fails("unit.properties:8:", "value of 600")

    def test_missing_file(self):
        (self.dir / "flash.bin").unlink()
        self.assert_fails("flash.bin", "file missing")


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
