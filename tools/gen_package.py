#!/usr/bin/env python3
"""Writes the stand-in update package into resources/package/.

We do not ship the real firmware, so this script produces files of the same
shape as the package of build V1.8: the application HEX image, the flash
file-system image, the two properties texts and the release notes. Everything
is deterministic (a fixed seed and our own generator), so running the script
again gives the same bytes and the committed files never drift.

    python3 tools/gen_package.py [output-dir]
"""
import struct
import sys
import zlib
from pathlib import Path

SEED = 0x7A35B018

# ------------------------------------------------------------------ random


class Rng:
    """splitmix64: small, fast and the same on every Python version."""

    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFFFFFFFFFF

    def next64(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & 0xFFFFFFFFFFFFFFFF
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & 0xFFFFFFFFFFFFFFFF
        return z ^ (z >> 31)

    def below(self, n):
        return self.next64() % n

    def between(self, low, high):
        """A whole number from low to high inclusive."""
        return low + self.below(high - low + 1)

    def shuffle(self, items):
        for i in range(len(items) - 1, 0, -1):
            j = self.below(i + 1)
            items[i], items[j] = items[j], items[i]

    def bytes(self, n):
        out = bytearray()
        while len(out) < n:
            out += self.next64().to_bytes(8, "little")
        return bytes(out[:n])


# --------------------------------------------------------- application HEX

# Program flash holding the application: five 64 KiB segments, the first and
# the last only partly used.
APP_START = 0x1D00B180
APP_END = 0x1D04D3F8          # first address after the application
APP_SECTIONS = 2554           # each section starts with its own address record
APP_RECORDS = 17201
# The word at the top of program flash and the boot configuration block.
TOP_WORD = 0x1D07FFFC
BOOT_CONFIG = 0x1FC00480
BOOT_CONFIG_SIZE = 44


def segments_of_application():
    """(start, end) of the application's share of each 64 KiB segment."""
    out = []
    start = APP_START
    while start < APP_END:
        end = min((start | 0xFFFF) + 1, APP_END)
        out.append((start, end))
        start = end
    return out


def share_out(total, weights):
    """Splits total into whole parts proportional to weights, summing exactly."""
    whole = sum(weights)
    parts = [total * w // whole for w in weights]
    for i in range(total - sum(parts)):
        parts[i % len(parts)] += 1
    return parts


def split_records(rng, records, sections):
    """Record counts per section: at least one each, a few large sections."""
    counts = [1] * sections
    weights = [rng.between(1, 12) if rng.below(10) else rng.between(20, 60) for _ in range(sections)]
    extra = share_out(records - sections, weights)
    return [c + e for c, e in zip(counts, extra)]


def section_sizes(rng, counts, room):
    """Byte sizes: full 16-byte records, the last one a whole number of words."""
    sizes = [16 * (n - 1) + 4 * rng.between(1, 4) for n in counts]
    # Shorten last records until the sections fit the segment.
    i = 0
    while sum(sizes) > room:
        if sizes[i] % 16 != 4:
            sizes[i] -= 4
        i = (i + 1) % len(sizes)
    return sizes


def gaps_between(rng, sections, room):
    """Free words between sections (none before the first or after the last)."""
    if sections < 2:
        return []
    words = room // 4
    weights = [0 if rng.below(3) == 0 else rng.between(1, 20) for _ in range(sections - 1)]
    # A handful of larger holes, like the space a linker leaves between regions.
    for _ in range(max(1, sections // 200)):
        weights[rng.below(sections - 1)] += 400
    if sum(weights) == 0:
        weights[0] = 1
    return [4 * w for w in share_out(words, weights)]


def layout_application(rng):
    """A list of sections (address, size) filling the application range."""
    segments = segments_of_application()
    lengths = [end - start for start, end in segments]
    section_counts = share_out(APP_SECTIONS, lengths)
    record_counts = share_out(APP_RECORDS, lengths)
    sections = []
    for (start, end), n_sections, n_records in zip(segments, section_counts, record_counts):
        counts = split_records(rng, n_records, n_sections)
        sizes = section_sizes(rng, counts, end - start)
        gaps = gaps_between(rng, n_sections, end - start - sum(sizes))
        address = start
        for i, size in enumerate(sizes):
            sections.append((address, size))
            address += size + (gaps[i] if i < len(gaps) else 0)
        assert address == end, (hex(address), hex(end))
    return sections


def hex_record(address, rtype, data):
    body = bytes([len(data), (address >> 8) & 0xFF, address & 0xFF, rtype]) + data
    checksum = (-sum(body)) & 0xFF
    return ":" + (body + bytes([checksum])).hex().upper()


def section_lines(rng, address, size):
    """The address record and the data records of one section."""
    lines = [hex_record(0, 0x04, struct.pack(">H", address >> 16))]
    offset = 0
    while offset < size:
        count = min(16, size - offset)
        lines.append(hex_record((address + offset) & 0xFFFF, 0x00, rng.bytes(count)))
        offset += count
    return lines


def build_application(rng):
    sections = layout_application(rng)
    sections.append((TOP_WORD, 4))
    sections.append((BOOT_CONFIG, BOOT_CONFIG_SIZE))
    # Sections leave the linker in an order of their own, not by address.
    rng.shuffle(sections)
    lines = []
    for address, size in sections:
        lines += section_lines(rng, address, size)
    lines.append(":00000001FF")
    return "".join(line + "\r\n" for line in lines).encode("ascii")


# ------------------------------------------------------------ flash image

FLASH_SIZE = 246516
FLASH_MAGIC = b"TQFS"
FS_VERSION = 1
NAME_FIELD = 32
ENTRY_FORMAT = "<%dsIIII" % NAME_FIELD   # name, offset, size, crc32, flags
HEADER_FORMAT = "<4sHHII"                # magic, version, files, directory bytes, image bytes
FLAG_TEXT = 1


def page(title, body):
    return ("<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"us-ascii\">\n"
            "<title>TQ35B - %s</title>\n<link rel=\"stylesheet\" href=\"/style.css\">\n"
            "<script src=\"/ui.js\"></script>\n</head>\n<body onload=\"ui.start('%s')\">\n"
            "<nav><a href=\"/index.html\">Status</a> <a href=\"/audio.html\">Audio</a> "
            "<a href=\"/network.html\">Network</a> <a href=\"/system.html\">System</a></nav>\n"
            "<h1>%s</h1>\n%s</body>\n</html>\n") % (title, title.lower(), title, body)


def table(rows):
    cells = "".join("<tr><th>%s</th><td id=\"%s\">-</td></tr>\n" % (label, ident) for label, ident in rows)
    return "<table>\n%s</table>\n" % cells


def web_files(rng):
    channels = "".join(
        "<fieldset><legend>Channel %d</legend>\n"
        "<label>Gain <input type=\"range\" id=\"gain%d\" min=\"-80\" max=\"12\"></label>\n"
        "<label>Mute <input type=\"checkbox\" id=\"mute%d\"></label>\n"
        "<label>Delay (ms) <input type=\"number\" id=\"delay%d\" min=\"0\" max=\"500\"></label>\n"
        "</fieldset>\n" % (n, n, n, n) for n in range(1, 5))
    files = [
        ("index.html", page("Status", table([
            ("Model", "model"), ("Firmware", "fw"), ("User interface", "ui"),
            ("Temperature", "temp"), ("Supply", "supply"), ("Uptime", "uptime")]))),
        ("audio.html", page("Audio", channels)),
        ("network.html", page("Network", table([
            ("Address", "ip"), ("Mask", "mask"), ("Gateway", "gw"),
            ("Host name", "host"), ("Link", "link")]) +
            "<button onclick=\"ui.save('net')\">Apply</button>\n")),
        ("system.html", page("System", table([
            ("Serial number", "serial"), ("Hours on", "hours")]) +
            "<button onclick=\"ui.post('/cgi/restart')\">Restart</button>\n"
            "<button onclick=\"ui.post('/cgi/defaults')\">Factory settings</button>\n")),
        ("style.css", "".join(
            "%s { margin: %dpx; padding: %dpx; color: #%06x; }\n"
            % (sel, rng.below(9), rng.below(9), rng.below(0x1000000))
            for sel in ["body", "nav", "nav a", "h1", "table", "th", "td", "fieldset",
                        "legend", "label", "input", "button", "button:hover", ".alarm", ".ok"])),
        ("ui.js", "var ui = {\n"
            "  start: function (page) { ui.page = page; ui.poll(); },\n"
            "  poll: function () {\n"
            "    var r = new XMLHttpRequest();\n"
            "    r.onload = function () { ui.fill(JSON.parse(r.responseText)); };\n"
            "    r.open('GET', '/cgi/state?page=' + ui.page); r.send();\n"
            "    setTimeout(ui.poll, 2000);\n  },\n"
            "  fill: function (state) {\n"
            "    for (var k in state) { var e = document.getElementById(k); if (e) e.textContent = state[k]; }\n"
            "  },\n"
            "  post: function (url) { var r = new XMLHttpRequest(); r.open('POST', url); r.send(); },\n"
            "  save: function (group) { ui.post('/cgi/save?group=' + group); }\n};\n"),
        ("strings.txt", "".join("s%03d=%s\n" % (i, w) for i, w in enumerate(
            ["Status", "Audio", "Network", "System", "Apply", "Restart", "Saved", "Failed",
             "Channel", "Gain", "Mute", "Delay", "Temperature", "Supply", "Uptime"]))),
    ]
    text = [(name, body.encode("ascii"), FLAG_TEXT) for name, body in files]
    # Pictures of the pages: opaque to everyone but the unit's web server.
    pictures = [("img/panel.bin", rng.bytes(96 * 1024), 0),
                ("img/icons.bin", rng.bytes(48 * 1024), 0),
                ("img/logo.bin", rng.bytes(17 * 1024 + 300), 0)]
    return text + pictures


def align(n, unit):
    return (n + unit - 1) // unit * unit


def build_flash(rng):
    files = web_files(rng)
    header_size = struct.calcsize(HEADER_FORMAT)
    entry_size = struct.calcsize(ENTRY_FORMAT)
    directory_size = header_size + entry_size * len(files)
    offset = align(directory_size, 16)
    entries = []
    data = bytearray()
    for name, body, flags in files:
        entries.append(struct.pack(ENTRY_FORMAT, name.encode("ascii"), offset, len(body),
                                   zlib.crc32(body), flags))
        data += body + bytes(align(len(body), 16) - len(body))
        offset += align(len(body), 16)
    image = bytearray(struct.pack(HEADER_FORMAT, FLASH_MAGIC, FS_VERSION, len(files),
                                  directory_size, FLASH_SIZE))
    for entry in entries:
        image += entry
    image += bytes(align(directory_size, 16) - directory_size)
    image += data
    assert len(image) <= FLASH_SIZE, len(image)
    # Unused flash reads as erased.
    image += b"\xFF" * (FLASH_SIZE - len(image))
    return bytes(image)


# ------------------------------------------------------------- properties

KEY_COLUMN = 40   # where the "=" sits, with tab stops every 8 columns
LIMIT_TEXT = 511  # the program keeps at most this many characters of a key or value
LIMIT_LINE = 1023


def property_line(key, value):
    pad = "\t" * max(1, (KEY_COLUMN - len(key) + 7) // 8)
    text = value.replace("\n", "\\n")
    assert len(key) <= LIMIT_TEXT and len(value) <= LIMIT_TEXT, key
    line = "%s%s = %s" % (key, pad, text)
    assert len(line) <= LIMIT_LINE, key
    return line + "\r\n"


def properties(pairs):
    return "".join(property_line(k, v) for k, v in pairs).encode("ascii")


UNIT_PREPARATION = (
    "Get the unit ready before you start the updater:\n\n"
    "1. Connect it to this computer, either with an RS-232 serial cable to its "
    "control port or with an Ethernet cable to the same network as the computer.\n"
    "2. Switch it on and wait until the front panel shows that it has started.\n"
    "3. On a network, give it an address in the computer's subnet, or let it take "
    "one from the network.\n"
    "4. Turn the audio down and keep the unit powered until the update is over.")

UNIT_PAIRS = [
    ("model", "TQ35B"),
    ("announce-model", "TQ35B"),
    ("build-version", "V1.8"),
    ("server-ui-version", "V1.8"),
    ("server-fw-version", "V1.8"),
    ("server-hw-version", "V1.1"),
    ("help-message.Unit Preparation.1", UNIT_PREPARATION),
]

UPDATER_INSTRUCTIONS = [
    "This updater puts the firmware it carries onto a TQ35B unit.\n\n"
    "An update has four stages: connect the unit, find it, switch it to bootload "
    "mode, and run the update. The next pages go through them one by one.\n\n"
    "Prepare the unit first (Help, Unit Preparations).",

    "Connecting\n\n"
    "Choose Ethernet or Serial in the main window.\n"
    "For Ethernet, the unit and this computer must be on the same network.\n"
    "For Serial, pick the COM port that the cable is plugged into; the updater "
    "talks to the unit's bootloader at 115200 bit/s.",

    "Finding the unit\n\n"
    "Press Discover to list the units that answer on the networks of this computer "
    "or on its serial ports, then pick one and press OK.\n"
    "You can also type the unit's address, or choose its COM port, directly.\n"
    "The status line then shows whether the unit is in bootload mode.",

    "Bootload mode\n\n"
    "The unit takes new firmware only in bootload mode.\n"
    "Press Enter Bootload and type the four-digit installer PIN. The unit restarts "
    "into its bootloader, and the window shows the bootloader and application "
    "versions once it answers.",

    "Choosing what to write\n\n"
    "Server Firmware writes the application program.\n"
    "Server UI writes the unit's web pages.\n"
    "Factory Defaults resets the unit's settings to those it left the factory with.\n"
    "Parts that this package does not carry cannot be chosen.",

    "Updating\n\n"
    "Press Update and confirm the warning. The progress bar shows how far the update "
    "has come; over a serial cable it takes several minutes.\n"
    "Do not switch off the unit or this computer and do not unplug any cable "
    "while the update runs.",

    "Finishing\n\n"
    "When the update has finished, a message says whether it succeeded.\n"
    "Press Exit Bootload to start the new firmware.\n"
    "If the update failed, the unit stays in its bootloader: check the connection "
    "and run the update again.",
]

UPDATER_PAIRS = [
    ("update-warning",
     "The update overwrites the parts you chose on the unit.\n\n"
     "Do not switch off the unit or this computer, and do not unplug any cable, "
     "until the update has finished.\n\nStart the update now?"),
    ("error-message.WrongResponse",
     "The unit answered, but not as a bootloader that this updater supports.\n"
     "Check that the selected unit is a TQ35B in bootload mode."),
    ("error-message.NoResponse",
     "The unit did not answer.\n"
     "Check the cable or the address, check that the unit is switched on and in "
     "bootload mode, and try again."),
    ("error-message.NoHexFile",
     "This updater carries no firmware image, so it cannot update a unit.\n"
     "Please get a complete copy of the updater."),
    ("error-message.MBlockOverflow",
     "The firmware image does not fit into the unit's memory block.\n"
     "The update was stopped; the package may be damaged."),
] + [("help-message.Updater Instructions.%d" % (i + 1), text)
     for i, text in enumerate(UPDATER_INSTRUCTIONS)]

# ------------------------------------------------------------------ notes

BUILD_NOTES = """TQ35B firmware package - build V1.8
====================================

Contents
  Server firmware     V1.8
  Server UI           V1.8
  Server hardware     V1.1 and later

Changes since V1.7
  - Faster start-up after a power cut: the unit is ready about two seconds
    sooner.
  - Network: the unit keeps its address when the link drops for a short time.
  - Network: discovery answers now carry the unit's host name.
  - Audio: the mute of channel 4 no longer clicks when it is released.
  - Audio: gain steps of 0.5 dB across the whole range.
  - Web pages: the status page refreshes every two seconds and shows the
    supply voltage.
  - Web pages: settings are kept when the browser window is closed before
    Apply was pressed.
  - Serial control: commands may end in CR, LF or both.

Known limits
  - Updating over a serial cable takes several minutes; Ethernet is faster.
  - After Factory Defaults the unit takes its address from the network again.

Installing
  Follow the updater's help (Help, Update Instructions). Keep the unit
  powered until the updater reports the result.
"""


def build_notes():
    return BUILD_NOTES.replace("\n", "\r\n").encode("ascii")


# ------------------------------------------------------------------- main


def main():
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "resources" / "package"
    out.mkdir(parents=True, exist_ok=True)
    rng = Rng(SEED)
    files = {
        "application.hex": build_application(rng),
        "flash.bin": build_flash(rng),
        "unit.properties": properties(UNIT_PAIRS),
        "updater.properties": properties(UPDATER_PAIRS),
        "build_notes.txt": build_notes(),
    }
    for name, data in files.items():
        (out / name).write_bytes(data)
        print("%-20s %8d bytes" % (name, len(data)))


if __name__ == "__main__":
    main()
