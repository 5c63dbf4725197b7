#!/usr/bin/env python3
"""check_manifest.py EXE...: each Windows program carries the application
manifest as its resource RT_MANIFEST 1, and that manifest asks for what the
programs need: run as the invoking user, Windows 7 to 11 as supported
systems, Common Controls 6.0, and system DPI awareness.

Walks the PE file's resource directory itself, so that it checks the
resource Windows reads at start-up, not just some bytes in the file.
Prints one line per program; exit 1 at the first that falls short.
"""
import struct
import sys
import xml.etree.ElementTree as ET

RT_MANIFEST = 24
MANIFEST_ID = 1
SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10 and 11",
}


class Pe:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not a PE file")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        directories = optional + (96 if magic == 0x10B else 112)
        self.resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            size, rva, raw_size, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
            self.sections.append((rva, max(size, raw_size), raw))

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return rva - start + raw
        raise ValueError("address 0x%x lies in no section" % rva)

    def entries(self, directory):
        """(id or None for a named entry, offset of the entry's target, is a directory)."""
        base = self.offset(self.resource_rva)
        named, ids = struct.unpack_from("<12xHH", self.data, base + directory)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
            yield (None if name & 0x80000000 else name), target & 0x7FFFFFFF, bool(target & 0x80000000)

    def resource(self, type_id, name_id):
        if not self.resource_rva:
            return None
        base = self.offset(self.resource_rva)
        for tid, types, _ in self.entries(0):
            if tid != type_id:
                continue
            for nid, languages, _ in self.entries(types):
                if nid != name_id:
                    continue
                for _, leaf, is_dir in self.entries(languages):
                    if is_dir:
                        continue
                    rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    start = self.offset(rva)
                    return self.data[start:start + size]
        return None


def shortcomings(manifest):
    ns = {
        "v1": "urn:schemas-microsoft-com:asm.v1",
        "v3": "urn:schemas-microsoft-com:asm.v3",
        "compat": "urn:schemas-microsoft-com:compatibility.v1",
        "ws2005": "http://schemas.microsoft.com/SMI/2005/WindowsSettings",
        "ws2016": "http://schemas.microsoft.com/SMI/2016/WindowsSettings",
    }
    root = ET.fromstring(manifest)
    missing = []
    levels = [e.get("level") for e in root.iter("{%s}requestedExecutionLevel" % ns["v3"])]
    if levels != ["asInvoker"]:
        missing.append("requestedExecutionLevel asInvoker (found %s)" % levels)
    found = {e.get("Id", "").lower() for e in root.iter("{%s}supportedOS" % ns["compat"])}
    missing += ["supportedOS " + name for guid, name in SUPPORTED_OS.items() if guid not in found]
    controls = [
        e for e in root.iter("{%s}assemblyIdentity" % ns["v1"])
        if e.get("name") == "Microsoft.Windows.Common-Controls" and e.get("version") == "6.0.0.0"
    ]
    if not controls:
        missing.append("a dependency on Common Controls 6.0.0.0")
    aware = [(e.text or "").strip().lower() for e in root.iter("{%s}dpiAware" % ns["ws2005"])]
    awareness = [(e.text or "").strip().lower() for e in root.iter("{%s}dpiAwareness" % ns["ws2016"])]
    if aware != ["true"] or awareness not in ([], ["system"]):
        missing.append("system DPI awareness (dpiAware %s, dpiAwareness %s)" % (aware, awareness))
    return missing


def main(paths):
    if not paths:
        print("usage: check_manifest.py EXE...", file=sys.stderr)
        return 2
    for path in paths:
        with open(path, "rb") as f:
            manifest = Pe(f.read()).resource(RT_MANIFEST, MANIFEST_ID)
        if manifest is None:
            print("%s: no application manifest (RT_MANIFEST 1)" % path)
            return 1
        missing = shortcomings(manifest)
        if missing:
            print("%s: the manifest lacks %s" % (path, "; ".join(missing)))
            return 1
        print("%s: manifest present: asInvoker, Windows 7 to 11, Common Controls 6.0, system DPI aware" % path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
