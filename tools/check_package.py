#!/usr/bin/env python3
"""Checks the update package before it is built into the program.

    python3 tools/check_package.py <package-dir>

The program reads the package as it is, without validating anything, and sends
the HEX records to the unit exactly as written. So a broken line here would
reach a unit's memory. This script fails the build (exit code 1, one message
per fault naming file, line and problem) when a file could not be read safely
or correctly by the program; differences in shape from our own stand-in
package are not faults, since the real files differ. On success it prints a
one-line summary of what the package holds.
"""
import sys
from pathlib import Path

# The program's loader limits: a line buffer of 1023 characters, keys and
# values of 511, a converted HEX record of 256 bytes.
MAX_LINE = 1023
MAX_TEXT = 511
MAX_RECORD_BYTES = 256
# The update packs whole records into frames; the unit's bootloader takes
# records of at most 16 data bytes.
MAX_DATA_BYTES = 16
FLASH_BLOCK = 64

UNIT_REQUIRED = ["model", "announce-model", "build-version", "server-fw-version"]
UNIT_OPTIONAL = ["server-hw-version", "server-ui-version", "core-hw-version", "core-fw-version"]
UPDATER_REQUIRED = ["update-warning", "error-message.WrongResponse", "error-message.NoResponse",
                    "error-message.NoHexFile"]
UNIT_HELP = "help-message.Unit Preparation"
UPDATER_HELP = "help-message.Updater Instructions"

HEX_DIGITS = frozenset(b"0123456789abcdefABCDEF")
RECORD_NAMES = {0: "data", 1: "eof", 2: "esa", 3: "ssa", 4: "ela", 5: "sla"}


class Report:
    def __init__(self):
        self.errors = []
        self.warnings = []

    def error(self, where, text):
        self.errors.append("%s: error: %s" % (where, text))

    def warn(self, where, text):
        self.warnings.append("%s: warning: %s" % (where, text))


def split_lines(data):
    """Lines as the program's loader cuts them: a run of CR and LF ends a line.

    Yields (line number in an editor's counting, bytes). The last element
    tells whether the data ended without a line end (that line is lost).
    """
    lines = []
    number = 1
    start = 0
    i = 0
    n = len(data)
    while i < n:
        c = data[i]
        if c == 13 or c == 10:
            if i > start:
                lines.append((number, data[start:i]))
            # Count the lines an editor would show, CRLF being one line end.
            while i < n and data[i] in (13, 10):
                if data[i] == 10 or (data[i] == 13 and (i + 1 >= n or data[i + 1] != 10)):
                    number += 1
                i += 1
            start = i
        else:
            i += 1
    tail = (number, data[start:]) if start < n else None
    return lines, tail


# -------------------------------------------------------------------- HEX


def parse_hex_line(line):
    """Returns (record bytes, None) or (None, problem)."""
    if len(line) > MAX_LINE:
        return None, "line of %d characters is longer than the loader's %d" % (len(line), MAX_LINE)
    if line[:1] != b":":
        return None, "line does not start with ':'"
    digits = line[1:]
    bad = [c for c in digits if c not in HEX_DIGITS]
    if bad:
        return None, "character %r is not a hexadecimal digit" % chr(bad[0])
    if len(digits) % 2:
        return None, "odd number of hexadecimal digits (%d)" % len(digits)
    record = bytes.fromhex(digits.decode("ascii"))
    if len(record) > MAX_RECORD_BYTES:
        return None, "record of %d bytes is longer than the loader's %d" % (len(record), MAX_RECORD_BYTES)
    if len(record) < 5:
        return None, "record too short (%d bytes; at least 5 needed)" % len(record)
    if record[0] + 5 != len(record):
        return None, "byte count says %d data bytes, the line holds %d" % (record[0], len(record) - 5)
    if sum(record) & 0xFF:
        expected = (-sum(record[:-1])) & 0xFF
        return None, "bad checksum %02X (should be %02X)" % (record[-1], expected)
    if record[0] > MAX_DATA_BYTES:
        return None, "record with %d data bytes (at most %d)" % (record[0], MAX_DATA_BYTES)
    return record, None


def merge_runs(runs, join_gap):
    """Sorted (start, end) runs, joining those less than join_gap apart."""
    out = []
    for start, end in sorted(runs):
        if out and start <= out[-1][1] + join_gap:
            out[-1][1] = max(out[-1][1], end)
        else:
            out.append([start, end])
    return out


def check_hex(path, report):
    name = path.name
    data = path.read_bytes()
    lines, tail = split_lines(data)
    if tail is not None:
        report.error("%s:%d" % (name, tail[0]), "last line has no line end; the program would not read it")
    counts = {}
    base = 0
    runs = []
    seen_eof = False
    for number, line in lines:
        where = "%s:%d" % (name, number)
        record, problem = parse_hex_line(line)
        if problem:
            report.error(where, problem)
            continue
        rtype = record[3]
        if rtype not in RECORD_NAMES:
            report.error(where, "unknown record type %02X" % rtype)
            continue
        if seen_eof:
            report.error(where, "record after the end-of-file record")
        counts[rtype] = counts.get(rtype, 0) + 1
        size = record[0]
        address = (record[1] << 8) | record[2]
        if rtype == 0:
            if address + size > 0x10000:
                report.warn(where, "data record runs past the end of its 64 KiB segment")
            runs.append((base + address, base + address + size, number))
        elif rtype in (2, 4):
            if size != 2:
                report.error(where, "extended address record with %d data bytes (needs 2)" % size)
                continue
            value = (record[4] << 8) | record[5]
            base = value << 16 if rtype == 4 else value << 4
        elif rtype == 1:
            seen_eof = True
    if not seen_eof and lines:
        report.error(name, "no end-of-file record")
    if not lines:
        report.error(name, "no records")
    check_overlaps(name, runs, report)
    return counts, runs


def check_overlaps(name, runs, report):
    """Two records writing the same address would make the image depend on order."""
    ordered = sorted(runs)
    for (s1, e1, n1), (s2, e2, n2) in zip(ordered, ordered[1:]):
        if s2 < e1:
            report.warn("%s:%d" % (name, n2), "data at 0x%08X overlaps the record on line %d" % (s2, n1))


def describe_hex(counts, runs):
    total = sum(counts.values())
    kinds = ", ".join("%s %d" % (RECORD_NAMES[t], counts[t]) for t in sorted(counts))
    spans = merge_runs([(s, e) for s, e, _ in runs], 0x1000)
    ranges = ", ".join("0x%08X-0x%08X" % (s, e) for s, e in spans) or "none"
    return "hex %d records (%s), data %s" % (total, kinds, ranges)


# ------------------------------------------------------------- properties


def parse_property(text):
    """Key and value as the program stores them."""
    key, sep, rest = text.partition("=")
    value = rest.replace("\\n", "\n") if sep else ""
    return key.strip(" \t"), value.strip(" \t")


def check_properties(path, required, optional, help_prefix, report):
    name = path.name
    data = path.read_bytes()
    lines, tail = split_lines(data)
    if tail is not None:
        report.error("%s:%d" % (name, tail[0]), "last line has no line end; the program would not read it")
    values = {}
    for number, raw in lines:
        where = "%s:%d" % (name, number)
        if len(raw) > MAX_LINE:
            report.error(where, "line of %d characters is longer than the loader's %d" % (len(raw), MAX_LINE))
            continue
        if any(b >= 0x80 for b in raw):
            report.warn(where, "bytes outside ASCII are read in the user's code page")
        key, value = parse_property(raw.decode("latin-1"))
        if len(key) > MAX_TEXT or len(value) > MAX_TEXT:
            report.error(where, "%s of %d characters is longer than the program's %d" % (
                "key" if len(key) > MAX_TEXT else "value", max(len(key), len(value)), MAX_TEXT))
            continue
        if key in values:
            report.warn(where, "key %r defined again; the first definition is used" % key)
            continue
        values[key] = value
    for key in required:
        if not values.get(key):
            report.error(name, "required key %r is missing or empty" % key)
    pages = 0
    while values.get("%s.%d" % (help_prefix, pages + 1)):
        pages += 1
    if pages == 0:
        report.warn(name, "no help pages %r" % (help_prefix + ".1"))
    present = [k for k in optional if k in values]
    return values, pages, present


def check_version_text(values, report):
    text = values.get("server-fw-version", "")
    parts = text[1:].split(".") if text.startswith("V") else []
    if text and not (len(parts) >= 2 and parts[0].isdigit() and parts[1][:1].isdigit()):
        report.warn("unit.properties", "server-fw-version %r does not read as V<major>.<minor>; "
                    "the unit would be stamped 1.1" % text)


# ------------------------------------------------------------------ flash


def check_flash(path, report):
    data = path.read_bytes()
    if not data:
        report.warn(path.name, "empty flash image")
        return "flash empty"
    blocks = (len(data) + FLASH_BLOCK - 1) // FLASH_BLOCK
    last = len(data) - (blocks - 1) * FLASH_BLOCK
    magic = data[:4].decode("latin-1")
    magic = magic if magic.isprintable() else data[:4].hex()
    return "flash %d bytes in %d blocks (last %d), magic %s" % (len(data), blocks, last, magic)


def check_notes(path, report):
    data = path.read_bytes()
    if any(b >= 0x80 for b in data):
        report.warn(path.name, "bytes outside ASCII are read in the user's code page")
    return len(data)


# ------------------------------------------------------------------- main


def main(argv):
    if len(argv) != 2:
        print("usage: check_package.py <package-dir>", file=sys.stderr)
        return 2
    folder = Path(argv[1])
    report = Report()
    names = ["application.hex", "flash.bin", "unit.properties", "updater.properties", "build_notes.txt"]
    missing = [n for n in names if not (folder / n).is_file()]
    for n in missing:
        report.error(str(folder / n), "file missing")
    summary = []
    if "application.hex" not in missing:
        counts, runs = check_hex(folder / "application.hex", report)
        summary.append(describe_hex(counts, runs))
    if "flash.bin" not in missing:
        summary.append(check_flash(folder / "flash.bin", report))
    if "unit.properties" not in missing:
        values, pages, present = check_properties(folder / "unit.properties", UNIT_REQUIRED,
                                                  UNIT_OPTIONAL, UNIT_HELP, report)
        check_version_text(values, report)
        summary.append("unit %s %s, %d help page(s)" % (values.get("model", "?"),
                                                        values.get("build-version", "?"), pages))
    if "updater.properties" not in missing:
        _, pages, _ = check_properties(folder / "updater.properties", UPDATER_REQUIRED, [],
                                       UPDATER_HELP, report)
        summary.append("updater %d help page(s)" % pages)
    if "build_notes.txt" not in missing:
        summary.append("notes %d bytes" % check_notes(folder / "build_notes.txt", report))
    for line in report.warnings:
        print(line, file=sys.stderr)
    if report.errors:
        shown = report.errors[:50]
        for line in shown:
            print(line, file=sys.stderr)
        if len(report.errors) > len(shown):
            print("... and %d more errors" % (len(report.errors) - len(shown)), file=sys.stderr)
        print("package check FAILED: %d error(s)" % len(report.errors), file=sys.stderr)
        return 1
    print("package OK: " + "; ".join(summary))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
