#!/usr/bin/env python3
"""Builds the packages with CPack from the build trees, as the README says,
and checks what is in them.

    check_packages.py deb NATIVE_BUILD OUT_DIR
        the .deb: control fields, files, the programs run from the unpacked
        package, and its manual pages equal what the programs' --help gives
    check_packages.py zip WINDOWS_BUILD OUT_DIR
        the zip of the shipped 32-bit build: both programs (PE32, i386), the
        README with CRLF lines
    check_packages.py zip-wine WINE_BUILD OUT_DIR DRIVER_EXE
        the zip of the Windows build that Wine runs here (the 32-bit one, or
        the 64-bit test build where 32-bit programs cannot run): both
        programs start under Wine from the unpacked folder (in
        tools/wine-run.sh)

Ends with "N passed, M failed"; the exit code is 77 when wine-run.sh skips.
"""

import glob
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
results = {"passed": 0, "failed": 0}


def check(what, condition, detail=""):
    if condition:
        results["passed"] += 1
        print(f"ok: {what}")
    else:
        results["failed"] += 1
        print(f"FAILED: {what}" + (f": {detail}" if detail else ""))
    return condition


def run(args, **kw):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=600, **kw)


def project_version():
    text = open(os.path.join(SOURCE, "CMakeLists.txt")).read()
    return re.search(r"project\(\S+ VERSION (\S+)", text).group(1)


def cpack(build, out, pattern):
    """Runs the README's cpack command for the tree; returns the one package made."""
    for old in glob.glob(os.path.join(out, pattern)):
        os.remove(old)
    done = run(["cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", out])
    made = glob.glob(os.path.join(out, pattern))
    if not check(f"cpack makes {pattern}", done.returncode == 0 and len(made) == 1, done.stdout[-2000:]):
        sys.exit(1)
    return made[0]


def check_deb(build, out):
    version = project_version()
    deb = cpack(build, out, "tq35b_*.deb")
    check("file name tq35b_VERSION_ARCH.deb", os.path.basename(deb).startswith(f"tq35b_{version}_"), deb)

    def field(name):
        return run(["dpkg-deb", "-f", deb, name]).stdout.strip()

    check("Package: tq35b", field("Package") == "tq35b")
    check(f"Version: {version}", field("Version") == version, field("Version"))
    check("Maintainer: a name and an address", re.fullmatch(r".+ <[^<>@\s]+@[^<>\s]+>", field("Maintainer")),
          field("Maintainer"))
    depends = field("Depends")
    check("Depends worked out from the programs (libc6, libstdc++6)",
          re.search(r"\blibc6 \(>= [\d.]+\)", depends) and "libstdc++6" in depends, depends)
    description = field("Description").split("\n")
    check("Description: a summary line and a long text", len(description) > 3 and len(description[0]) < 80,
          "\n".join(description))

    listing = run(["dpkg-deb", "-c", deb]).stdout
    files = sorted(line.split()[-1] for line in listing.splitlines() if not line.startswith("d"))
    expected = ["./usr/bin/tq35b", "./usr/bin/tq35b-sim", "./usr/share/doc/tq35b/README.md",
                "./usr/share/man/man1/tq35b-sim.1.gz", "./usr/share/man/man1/tq35b.1.gz"]
    check("holds the two programs, their manual pages and the README", files == expected, "\n".join(files))

    root = tempfile.mkdtemp(prefix="tq-deb.")
    try:
        run(["dpkg-deb", "-x", deb, root])
        bin_dir = os.path.join(root, "usr/bin")
        tq35b = os.path.join(bin_dir, "tq35b")
        got = run([tq35b, "--version"])
        check("tq35b --version: the program's version and the package build",
              got.returncode == 0 and got.stdout.strip() == f"tq35b {version} (TQ35B package V1.8)", got.stdout)
        got = run([tq35b, "info"])
        check("tq35b info runs from the package", got.returncode == 0 and "V1.8" in got.stdout, got.stdout[-500:])
        got = run([os.path.join(bin_dir, "tq35b-sim"), "--help"])
        check("tq35b-sim --help names it tq35b-sim", got.returncode == 0 and
              got.stdout.startswith("usage: tq35b-sim [options]"), got.stdout[:200])
        check("the programs are stripped", "not stripped" not in run(["file", tq35b]).stdout)
        for name, extra in (("tq35b", ["--commands"]), ("tq35b-sim", [])):
            page = os.path.join(root, f"usr/share/man/man1/{name}.1.gz")
            see_also = "tq35b" if name == "tq35b-sim" else "tq35b-sim"
            got = run([sys.executable, os.path.join(SOURCE, "tools/gen_manpage.py"), "--program",
                       os.path.join(bin_dir, name), "--name", name, "--version", version, "--see-also", see_also] +
                      extra + ["--check", page])
            check(f"{name}.1 says what {name} --help says", got.returncode == 0, got.stdout)
            text = run(["man", "-l", "-P", "cat", page], env=dict(os.environ, MANWIDTH="100")).stdout
            check(f"{name}.1 has the exit-code table", re.search(r"EXIT STATUS\n\s+0\s+\S", text), text[-800:])
    finally:
        shutil.rmtree(root)


def pe_machine(data):
    """The machine field of a PE image, or None."""
    if data[:2] != b"MZ":
        return None
    at = struct.unpack_from("<I", data, 0x3C)[0]
    if data[at:at + 4] != b"PE\0\0":
        return None
    return struct.unpack_from("<H", data, at + 4)[0]


PROGRAMS = ("tq35b.exe", "tq35b_updater.exe", "tq35b_venue.exe")


def check_zip(build, out):
    version = project_version()
    package = cpack(build, out, "tq35b-*-windows-*.zip")
    folder = f"tq35b-{version}-windows-x86"
    check("file name tq35b-VERSION-windows-x86.zip", os.path.basename(package) == folder + ".zip", package)
    with zipfile.ZipFile(package) as z:
        names = sorted(n for n in z.namelist() if not n.endswith("/"))
        check("holds the three programs and the README in one folder",
              names == [f"{folder}/README.txt"] + [f"{folder}/{exe}" for exe in PROGRAMS], names)
        for exe in PROGRAMS:
            data = z.read(f"{folder}/{exe}") if f"{folder}/{exe}" in names else b""
            check(f"{exe} is a 32-bit x86 Windows program", pe_machine(data) == 0x14C)
        readme = z.read(f"{folder}/README.txt") if f"{folder}/README.txt" in names else b""
        lines = readme.split(b"\n")[:-1]
        check("README.txt: CRLF lines, the version and the package build filled in",
              lines and all(line.endswith(b"\r") for line in lines) and version.encode() in readme and
              b"V1.8" in readme and b"@" not in readme, readme[:200])
        check("README.txt has a section on the venue window", b"\r\ntq35b_venue.exe\r\n" in readme)


# Runs inside wine-run.sh: both programs from the unpacked folder.
INSIDE_WINE = r'''
set -euo pipefail
dir=$1 driver=$2 version=$3
cd "$dir"
out=$("$WINE" tq35b.exe --version | tr -d '\r')
[[ $out == "tq35b $version (TQ35B package V1.8)" ]] || { echo "FAILED: tq35b.exe --version said: $out"; exit 1; }
echo "ok: tq35b.exe --version: $out"
"$WINE" tq35b.exe info | tr -d '\r' | grep -q 'V1.8' || { echo "FAILED: tq35b.exe info"; exit 1; }
echo "ok: tq35b.exe info"
"$WINE" tq35b_updater.exe &
"$WINE" "$driver" script - <<'EOF' || { echo "FAILED: tq35b_updater.exe showed no main window"; exit 1; }
wait-window FWUPDATER 60000
expect TQ35B Firmware Updater
text 1014
expect Build Version:\t\tV1.8
EOF
echo "ok: tq35b_updater.exe opens its main window"
"$WINE" tq35b_venue.exe --time 1 &
"$WINE" "$driver" --class TQVENUE script - <<'EOF' || { echo "FAILED: tq35b_venue.exe did not search"; exit 1; }
wait-window TQVENUE 60000
text 1100
expect-within 60000 No unit answered. Check the cable and the network, then Search again.
EOF
echo "ok: tq35b_venue.exe opens its window and searches, its workers beside it"
'''


def check_zip_wine(build, out, driver):
    version = project_version()
    package = cpack(build, out, "tq35b-*-windows-*.zip")
    work = tempfile.mkdtemp(prefix="tq-zip.")
    try:
        with zipfile.ZipFile(package) as z:
            z.extractall(work)
        folder = os.path.join(work, os.path.basename(package)[:-len(".zip")])
        for exe in PROGRAMS:
            os.chmod(os.path.join(folder, exe), 0o755)
        args = [os.path.join(SOURCE, "tools/wine-run.sh"), "--windows-program", driver]
        if os.environ.get("TQ_WINE_TEMPLATE"):
            args += ["--keep-prefix", os.environ["TQ_WINE_TEMPLATE"]]
        done = subprocess.run(args + ["--netns", "--timeout", "300", "--", "bash", "-c", INSIDE_WINE, "zip-wine",
                                      folder, driver, version], timeout=900)
        if done.returncode == 77:
            sys.exit(77)
        check(f"the programs start under Wine from the unpacked {os.path.basename(package)}", done.returncode == 0,
              f"exit {done.returncode}")
    finally:
        shutil.rmtree(work)


def main():
    modes = {"deb": (check_deb, 2), "zip": (check_zip, 2), "zip-wine": (check_zip_wine, 3)}
    if len(sys.argv) < 2 or sys.argv[1] not in modes or len(sys.argv) != 2 + modes[sys.argv[1]][1]:
        sys.exit(__doc__)
    run_mode, _ = modes[sys.argv[1]]
    os.makedirs(sys.argv[3], exist_ok=True)
    run_mode(*sys.argv[2:])
    print(f"{results['passed']} passed, {results['failed']} failed")
    return 1 if results["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
