#!/usr/bin/env python3
"""The terminal tool end to end, against simulated units (tq35b_sim).

Runs only inside a private network namespace made by tools/netns-run.sh:
every unit listens on a loopback or namespace-local address, and nothing
that the tool sends can leave the namespace. Each test group is its own
ctest entry (-k GROUP), so that the groups run in namespaces of their own.

    netns-run.sh -- cli_e2e_test.py --cli PATH --sim PATH [-k GROUP]
"""

import argparse
import json
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

CLI = None
SIM = None
NO_SOCKETS = None  # a library that makes every socket fail, preloaded by one test

# The exit codes the tool documents.
SUCCESS, FAILED, USAGE, NO_RESPONSE, WRONG_RESPONSE = 0, 1, 2, 3, 4


def in_private_namespace():
    outer = os.environ.get("TQ_OUTER_NETNS")
    return bool(outer) and os.readlink("/proc/self/ns/net") != outer


class Sim:
    """One simulated unit: a tq35b_sim process, stopped by stop()."""

    def __init__(self, *args, bind="127.0.0.2", serial=False):
        self.dir = tempfile.mkdtemp(prefix="tq-cli-")
        self.dump = os.path.join(self.dir, "unit.dump")
        command = [SIM, "--bind", bind, "--dump", self.dump]
        if serial:
            self.link = os.path.join(self.dir, "tty")
            command += ["--pty-link", self.link]
        else:
            command += ["--no-pty"]
        command += list(args)
        self.proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        ready = self.proc.stdout.readline()
        if not ready.startswith("ready "):
            self.proc.kill()
            raise RuntimeError("the simulated unit did not start: %r %s" % (ready, self.proc.stderr.read()))
        self.address = bind

    def dump_summary(self):
        """Stops the unit and reads the summary of its dump: mode, versions, commands."""
        self.stop()
        with open(self.dump) as f:
            return json.load(f)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def memory_equals_package(self):
        """Stops the unit and compares what reached its memory with the package."""
        self.stop()
        if not os.path.exists(self.dump):
            return False, "no dump was written"
        check = subprocess.run([SIM, "--verify-dump", self.dump], capture_output=True, text=True)
        return check.returncode == 0, (check.stdout + check.stderr).strip()


def run_cli(*args, stdin_text=None, timeout=300):
    return subprocess.run([CLI, *args], input=stdin_text if stdin_text is not None else "",
                          capture_output=True, text=True, timeout=timeout)


def query_text(address, tries=3):
    """query's report. The text interface gets 250 ms to answer, which a
    loaded machine can miss; a mode of "unknown" is asked again."""
    for _ in range(tries):
        result = run_cli("query", "--ip", address)
        if not re.search(r"Bootload mode:\s+unknown", result.stdout):
            break
    return result.stdout


def json_lines(text):
    return [json.loads(line) for line in text.splitlines() if line.strip()]


class SimTestCase(unittest.TestCase):
    def setUp(self):
        self.sims = []

    def tearDown(self):
        for sim in self.sims:
            sim.stop()

    def sim(self, *args, **kwargs):
        unit = Sim(*args, **kwargs)
        self.sims.append(unit)
        return unit

    def assertMemoryEqualsPackage(self, unit):
        same, why = unit.memory_equals_package()
        self.assertTrue(same, why)

    def assertExit(self, result, code):
        self.assertEqual(result.returncode, code, "stdout:\n%s\nstderr:\n%s" % (result.stdout, result.stderr))


class ExitCodes(SimTestCase):
    """Each documented exit code, from the outcome that should give it."""

    def test_success_writes_exactly_the_package(self):
        unit = self.sim()
        result = run_cli("update", "--ip", unit.address)
        self.assertExit(result, SUCCESS)
        self.assertIn("succeeded", result.stdout)
        self.assertMemoryEqualsPackage(unit)

    def test_no_unit_at_the_address_is_no_response(self):
        result = run_cli("update", "--ip", "127.0.0.9")
        self.assertExit(result, NO_RESPONSE)
        self.assertIn("did not answer", result.stdout)
        self.assertExit(run_cli("query", "--ip", "127.0.0.9"), NO_RESPONSE)
        self.assertExit(run_cli("exit-bootload", "--ip", "127.0.0.9"), NO_RESPONSE)

    def test_unaccepted_bootloader_is_wrong_response_and_nothing_is_written(self):
        for version in ("3.3", "2.9"):
            unit = self.sim("--bootloader-version", version)
            self.assertExit(run_cli("update", "--ip", unit.address), WRONG_RESPONSE)
            self.assertExit(run_cli("query", "--ip", unit.address), WRONG_RESPONSE)
            self.assertExit(run_cli("exit-bootload", "--ip", unit.address), WRONG_RESPONSE)
            same, _ = unit.memory_equals_package()
            self.assertFalse(same, "an unaccepted bootloader must receive nothing")

    def test_refused_frame_is_update_failed(self):
        unit = self.sim("--status0-at", "200")
        result = run_cli("update", "--ip", unit.address)
        self.assertExit(result, FAILED)
        self.assertIn("could not complete", result.stdout)

    def test_bad_usage_sends_nothing(self):
        unit = self.sim()
        for args in (["update"],
                     ["update", "--ip", "10.0.0"],
                     ["update", "--ip", "127.0.0.2", "--ip", "127.0.0.2"],
                     ["update", "--ip", "255.255.255.255"],
                     ["update", "--ip", "127.0.0.2", "--server-ui", "--no-server-ui"],
                     ["update", "--ip", "127.0.0.2", "--parser-port", "80"],
                     ["query", "--ip", "127.0.0.2", "--port", "/dev/null"],
                     ["query"],
                     ["discover", "--time", "0"],
                     ["frobnicate"]):
            self.assertExit(run_cli(*args), USAGE)
        same, why = unit.memory_equals_package()
        self.assertFalse(same)
        self.assertIn("unit none", why, "the unit's memory must still be empty")

    def test_an_unknown_subcommand_is_named_with_the_valid_ones(self):
        result = run_cli("bogus", "--ip", "127.0.0.2")
        self.assertExit(result, USAGE)
        self.assertIn("unknown subcommand 'bogus'", result.stderr)
        for name in ("info", "discover", "query", "enter-bootload", "exit-bootload", "update"):
            self.assertIn(name, result.stderr)
        self.assertNotIn("A subcommand is required", result.stderr)

    def test_help_lists_the_exit_codes(self):
        for args in (["--help"], ["update", "--help"], ["enter-bootload", "--help"]):
            result = run_cli(*args)
            self.assertExit(result, SUCCESS)
            for line in ("0  success", "1  the operation failed", "2  bad usage", "3  no response",
                         "4  wrong response"):
                self.assertIn(line, result.stdout)


class JsonEvents(SimTestCase):
    """--json gives one parseable event per line, ending with the outcome."""

    def test_events_parse_and_follow_the_update(self):
        unit = self.sim()
        result = run_cli("update", "--json", "--ip", unit.address, "--factory-defaults")
        self.assertExit(result, SUCCESS)
        events = json_lines(result.stdout)
        kinds = [e["event"] for e in events]
        self.assertEqual(kinds[0], "start")
        self.assertEqual(kinds[-1], "outcome")
        self.assertEqual(kinds.count("outcome"), 1)
        outcome = events[-1]
        self.assertEqual((outcome["result"], outcome["exit_code"]), ("succeeded", 0))
        self.assertTrue(all(e["unit"] == unit.address for e in events))

        found = [e for e in events if e["event"] == "unit"][0]
        self.assertEqual((found["in_bootloader"], found["bootloader"]), (True, "3.1"))

        steps = [e["step"] for e in events if e["event"] == "status"]
        self.assertEqual(steps, ["Initializing", "Server Application", "Server UI", "Factory Defaults"])

        progress = [e for e in events if e["event"] == "progress"]
        self.assertGreaterEqual(len(progress), 2)
        positions = [p["position"] for p in progress]
        self.assertEqual(positions, sorted(positions))
        last = progress[-1]
        # The packaged images: 19,762 records, 246,516 flash bytes, 10 for the defaults.
        self.assertEqual(last["total"], 19762 + 246516 + 10)
        self.assertEqual(last["position"], last["total"])
        self.assertEqual(last["bytes"], last["total_bytes"])
        self.assertEqual(last["percent"], 100.0)
        self.assertMemoryEqualsPackage(unit)

    def test_a_failure_ends_with_its_outcome_too(self):
        unit = self.sim("--status0-at", "50")
        result = run_cli("update", "--json", "--ip", unit.address)
        self.assertExit(result, FAILED)
        events = json_lines(result.stdout)
        self.assertEqual(events[-1]["event"], "outcome")
        self.assertEqual((events[-1]["result"], events[-1]["exit_code"]), ("failed", 1))

    def test_boxes_shown_by_workers_become_message_events(self):
        env = dict(os.environ, LD_PRELOAD=NO_SOCKETS, ASAN_OPTIONS="verify_asan_link_order=0")
        result = subprocess.run([CLI, "update", "--json", "--ip", "127.0.0.9"], input="", env=env,
                                capture_output=True, text=True, timeout=120)
        self.assertExit(result, NO_RESPONSE)
        events = json_lines(result.stdout)
        messages = [e for e in events if e["event"] == "message"]
        self.assertTrue(messages, result.stdout)
        self.assertTrue(all((m["caption"], m["text"]) == ("Socket Error", "Socket creation failed.") for m in messages),
                        messages)
        self.assertEqual(events[-1]["event"], "outcome")

    def test_query_and_exit_answer_in_json(self):
        unit = self.sim("--app-version", "2.5")
        result = run_cli("query", "--json", "--ip", unit.address)
        self.assertExit(result, SUCCESS)
        [answer] = json_lines(result.stdout)
        self.assertEqual((answer["bootloader"], answer["application"], answer["bootload_mode"]),
                         ("3.1", "2.5", "on"))
        result = run_cli("exit-bootload", "--json", "--ip", unit.address)
        self.assertExit(result, SUCCESS)
        self.assertEqual(json_lines(result.stdout)[-1]["result"], "exited")


class Parallel(SimTestCase):
    """Several units at once: each its own update, one failure stops no other."""

    def three_units_one_falls_silent(self):
        good1 = self.sim(bind="127.0.0.2")
        silent = self.sim("--silent-from", "3000", bind="127.0.0.3")
        good2 = self.sim(bind="127.0.0.4")
        return good1, silent, good2

    def test_three_units_one_silent_summary_and_memories(self):
        good1, silent, good2 = self.three_units_one_falls_silent()
        result = run_cli("update", "--ip", good1.address, "--ip", silent.address, "--ip", good2.address)
        self.assertExit(result, FAILED)
        table = result.stdout[result.stdout.index("UNIT "):].splitlines()
        self.assertEqual(len(table), 4, result.stdout)
        rows = {line.split()[0]: line.split()[1] for line in table[1:]}
        self.assertEqual(rows, {good1.address: "succeeded", silent.address: "FAILED", good2.address: "succeeded"})
        self.assertIn("stopped in", table[2])
        self.assertMemoryEqualsPackage(good1)
        self.assertMemoryEqualsPackage(good2)
        same, _ = silent.memory_equals_package()
        self.assertFalse(same)

    def test_three_units_in_json_end_with_the_summary(self):
        good1, silent, good2 = self.three_units_one_falls_silent()
        result = run_cli("update", "--json", "--ip", good1.address, "--ip", silent.address, "--ip", good2.address)
        self.assertExit(result, FAILED)
        events = json_lines(result.stdout)
        self.assertEqual(events[-1]["event"], "summary")
        self.assertEqual(events[-1]["exit_code"], FAILED)
        self.assertEqual([(u["unit"], u["result"]) for u in events[-1]["units"]],
                         [(good1.address, "succeeded"), (silent.address, "failed"), (good2.address, "succeeded")])
        outcomes = {e["unit"]: e["result"] for e in events if e["event"] == "outcome"}
        self.assertEqual(len(outcomes), 3)
        # The units ran side by side: all had started before the first one ended.
        kinds = [e["event"] for e in events]
        self.assertLess(max(i for i, k in enumerate(kinds) if k == "unit"), kinds.index("outcome"),
                        "the updates ran one after the other")
        self.assertMemoryEqualsPackage(good1)
        self.assertMemoryEqualsPackage(good2)

    def test_all_units_without_answer_share_the_no_response_code(self):
        result = run_cli("update", "--ip", "127.0.0.8", "--ip", "127.0.0.9")
        self.assertExit(result, NO_RESPONSE)
        table = result.stdout[result.stdout.index("UNIT "):].splitlines()[1:]
        self.assertEqual([row.split()[1:3] for row in table], [["no", "response"]] * 2, result.stdout)


class ProgressBar(SimTestCase):
    """On a terminal the update shows a bar that is redrawn in place."""

    def test_terminal_shows_a_redrawn_bar_with_figures(self):
        unit = self.sim("--delay-out", "100%:1")  # slow enough for several redraws
        pid, fd = pty.fork()
        if pid == 0:
            os.environ["TERM"] = "xterm"
            os.execv(CLI, [CLI, "update", "--ip", unit.address])
        output = b""
        deadline = time.time() + 120
        while time.time() < deadline:
            ready, _, _ = select.select([fd], [], [], 1)
            if not ready:
                continue
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                break
            if not chunk:
                break
            output += chunk
        _, status = os.waitpid(pid, 0)
        self.assertEqual(os.waitstatus_to_exitcode(status), SUCCESS, output.decode(errors="replace"))
        text = output.decode()
        self.assertGreater(text.count("\x1b[1A"), 3, "the bar line is redrawn in place")
        bars = re.findall(r"\[(#*)(-*)\]\s+(\d+\.\d)% \d+\.\d/610\.1 kB \S+ k?B/s (\d+:\d\d) left", text)
        self.assertGreater(len(bars), 3, text[-2000:])
        shares = [float(b[2]) for b in bars]
        self.assertEqual(shares, sorted(shares))
        self.assertIn("succeeded", text)
        self.assertRegex(text, r"\[#+\] 100\.0% 610\.1/610\.1 kB")
        self.assertMemoryEqualsPackage(unit)


class BootloadMode(SimTestCase):
    """Leaving bootload mode, and what query reports before and after."""

    def test_exit_bootload_starts_the_application(self):
        unit = self.sim("--app-version", "1.7")
        before = run_cli("query", "--ip", unit.address)
        self.assertExit(before, SUCCESS)
        self.assertRegex(before.stdout, r"Bootloader:\s+3\.1\n")
        self.assertRegex(before.stdout, r"Application:\s+1\.7\n")
        self.assertRegex(before.stdout, r"Bootload mode:\s+on\n")
        self.assertExit(run_cli("exit-bootload", "--ip", unit.address), SUCCESS)
        after = run_cli("query", "--ip", unit.address)
        self.assertRegex(after.stdout, r"Bootloader:\s+does not answer")

    def test_exit_bootload_without_an_answer_to_the_exit_command_still_exits(self):
        unit = self.sim("--exit-silent")
        self.assertExit(run_cli("exit-bootload", "--ip", unit.address), SUCCESS)


class Serial(SimTestCase):
    """The same update over a serial line (the unit's pseudo-terminal)."""

    def test_update_over_the_serial_line(self):
        unit = self.sim(serial=True)
        result = run_cli("update", "--json", "--port", unit.link)
        self.assertExit(result, SUCCESS)
        self.assertEqual(json_lines(result.stdout)[-1]["unit"], unit.link)
        self.assertMemoryEqualsPackage(unit)

    def test_query_over_the_serial_line(self):
        unit = self.sim("--app-version", "2.5", serial=True)
        result = run_cli("query", "--port", unit.link)
        self.assertExit(result, SUCCESS)
        self.assertRegex(result.stdout, r"Application:\s+2\.5\n")


class EnterBootload(SimTestCase):
    """Entering bootload mode with the PIN from standard input."""

    def test_pin_on_stdin_enters_bootload_mode_and_the_update_follows(self):
        unit = self.sim("--mode", "application", "--pin", "4711")
        before = query_text(unit.address)
        self.assertRegex(before, r"Bootloader:\s+does not answer")
        self.assertRegex(before, r"Bootload mode:\s+off \(enter-bootload can switch it on\)")

        result = run_cli("enter-bootload", "--ip", unit.address, stdin_text="4711\n")
        self.assertExit(result, SUCCESS)
        self.assertIn("Bootload Mode Enabled.", result.stdout)
        self.assertNotIn("4711", result.stdout + result.stderr, "the PIN is never shown")

        after = run_cli("query", "--ip", unit.address)
        self.assertRegex(after.stdout, r"Bootloader:\s+3\.1\n")
        self.assertExit(run_cli("update", "--ip", unit.address), SUCCESS)
        self.assertMemoryEqualsPackage(unit)

    def test_wrong_pin_is_refused_by_the_unit(self):
        unit = self.sim("--mode", "application", "--pin", "4711")
        result = run_cli("enter-bootload", "--json", "--ip", unit.address, stdin_text="1234\n")
        self.assertExit(result, FAILED)
        [event] = json_lines(result.stdout)
        self.assertEqual((event["result"], event["text"]), ("failed", "Unable to enter Bootload Mode."))
        self.assertRegex(query_text(unit.address), r"Bootload mode:\s+off")

    def test_a_pin_that_is_not_four_digits_is_bad_usage_and_never_sent(self):
        unit = self.sim("--mode", "application", "--pin", "1234")
        for line in ("12345\n", "12a4\n", "\n", "", "1234" + "5" * 100 + "\n"):
            result = run_cli("enter-bootload", "--ip", unit.address, stdin_text=line)
            self.assertExit(result, USAGE)
        # Only the first line counts: a second one is never read.
        result = run_cli("enter-bootload", "--ip", unit.address, stdin_text="99\n1234\n")
        self.assertExit(result, USAGE)
        self.assertRegex(query_text(unit.address), r"Bootload mode:\s+off")

    def test_the_pin_is_not_taken_from_the_command_line_or_the_environment(self):
        unit = self.sim("--mode", "application", "--pin", "1234")
        self.assertExit(run_cli("enter-bootload", "--ip", unit.address, "--pin", "1234"), USAGE)
        env = dict(os.environ, PIN="1234", TQ35B_PIN="1234")
        result = subprocess.run([CLI, "enter-bootload", "--ip", unit.address], input="", env=env,
                                capture_output=True, text=True, timeout=60)
        self.assertExit(result, USAGE)

    def test_a_unit_without_text_interface_is_no_response(self):
        unit = self.sim("--mode", "application", "--no-tcp")
        self.assertExit(run_cli("enter-bootload", "--ip", unit.address, stdin_text="1234\n"), NO_RESPONSE)

    def test_over_the_serial_line_at_the_units_text_rate(self):
        unit = self.sim("--mode", "application", "--text-rate", "19200", "--no-tcp", serial=True)
        result = run_cli("enter-bootload", "--port", unit.link, stdin_text="1234\n")
        self.assertExit(result, SUCCESS)
        self.assertExit(run_cli("update", "--port", unit.link), SUCCESS)
        self.assertMemoryEqualsPackage(unit)


class Discover(SimTestCase):
    """discover lists the units that answer, with their marks.

    The namespace holds 10.77.0.1/24 on lo; 192.168.50.0/24 and
    169.254.0.0/16 are local routes without an interface of their own.
    """

    def network_units(self):
        self.sim("--announce-from", "10.77.0.5", bind="10.77.0.5")
        self.sim("--announce-from", "10.77.0.6", "--mode", "application", bind="10.77.0.6")
        self.sim("--announce-from", "192.168.50.7", "--mode", "application", "--no-tcp", bind="10.77.0.7")
        self.sim("--announce-from", "169.254.7.9", "--no-tcp", bind="10.77.0.8")
        self.sim("--announce-from", "10.77.0.9", "--model-line", "Varno TQ99", bind="10.77.0.9")
        self.sim("--announce-from", "10.77.0.10", "--announce-repeat", "3", bind="10.77.0.10")

    def test_the_table_lists_each_unit_once_with_mode_and_marks(self):
        self.network_units()
        result = run_cli("discover", "--time", "3")
        self.assertExit(result, SUCCESS)
        rows = [line.split(None, 3) for line in result.stdout.splitlines()[1:]]
        table = {row[0]: (row[1], row[2], row[3] if len(row) > 3 else "") for row in rows}
        self.assertEqual(table, {
            "10.77.0.5": ("02-54-51-4D-00-05", "bootload", ""),
            "10.77.0.10": ("02-54-51-4D-00-0A", "bootload", ""),
            "10.77.0.6": ("02-54-51-4D-00-06", "application", ""),
            "192.168.50.7": ("02-54-51-A8-32-07", "application", "other-subnet"),
            "169.254.7.9": ("02-54-51-FE-07-09", "bootload", "other-subnet, link-local"),
        }, result.stdout)
        modes = [row[2] for row in rows]
        self.assertEqual(modes, sorted(modes, key=lambda m: m != "bootload"), "bootload units come first")

    def test_json_events_one_per_unit_then_the_end(self):
        self.network_units()
        result = run_cli("discover", "--json", "--time", "3")
        self.assertExit(result, SUCCESS)
        events = json_lines(result.stdout)
        self.assertEqual(events[-1], {"event": "done", "units": 5, "exit_code": 0})
        link_local = [e for e in events if e.get("address") == "169.254.7.9"]
        self.assertEqual(link_local, [{"event": "unit", "address": "169.254.7.9", "mac": "02-54-51-FE-07-09",
                                       "other_subnet": True, "link_local": True, "mode": "bootload"}])

    def test_nobody_answering_is_no_response(self):
        result = run_cli("discover", "--time", "2")
        self.assertExit(result, NO_RESPONSE)
        self.assertIn("No unit answered.", result.stdout)

    def test_serial_ports_in_bootload_and_in_application_mode(self):
        boot = self.sim("--udp-port", "-1", "--no-tcp", serial=True)
        app = self.sim("--udp-port", "-1", "--no-tcp", "--mode", "application", "--text-rate", "19200",
                       serial=True)
        result = run_cli("discover", "--serial", "--json", "--time", "8", "--port", boot.link, "--port", app.link)
        self.assertExit(result, SUCCESS)
        found = {e["port"]: e["mode"] for e in json_lines(result.stdout) if e["event"] == "unit"}
        self.assertEqual(found, {os.path.realpath(boot.link): "bootload", os.path.realpath(app.link): "application"})


def announcing(address, *args):
    """Arguments of a unit at `address` that answers discovery from there."""
    return dict(args=("--announce-from", address) + args, bind=address)


class Venue(SimTestCase):
    """update --all: a venue of mixed units in one command.

    The namespace holds 10.77.0.1/24 on lo; each unit listens on and
    answers discovery from an address of its own in it.
    """

    CURRENT = "1.8"  # the package's server firmware version

    def unit(self, address, *args):
        spec = announcing(address, *args)
        return self.sim(*spec["args"], bind=spec["bind"])

    def mixed_venue(self):
        return {
            "numbered": self.unit("10.77.0.5"),
            "plain": self.unit("10.77.0.6", "--no-sequence"),
            "app1": self.unit("10.77.0.7", "--mode", "application", "--app-version", "1.2"),
            "app2": self.unit("10.77.0.8", "--mode", "application"),
            "current": self.unit("10.77.0.9", "--app-version", self.CURRENT),
            "silent": self.unit("10.77.0.10", "--silent-from", "3000"),
        }

    def test_a_dry_run_sends_only_the_search_and_the_queries(self):
        units = self.mixed_venue()
        report_path = os.path.join(units["numbered"].dir, "plan.json")
        result = run_cli("update", "--all", "--time", "5", "--skip-current", "--dry-run", "--json",
                         "--report", report_path, stdin_text="1234\n")
        self.assertExit(result, SUCCESS)
        events = json_lines(result.stdout)
        self.assertEqual((events[-1]["event"], events[-1]["exit_code"], len(events[-1]["units"])), ("summary", 0, 6))
        with open(report_path) as f:
            report = json.load(f)
        self.assertEqual((report["ending"], len(report["units"])), ("dry run", 6))
        self.assertEqual({u["result"] for u in report["units"]}, {"not-reached"})
        plan = {e["unit"]: e for e in events if e["event"] == "plan"}
        self.assertEqual({u: plan[u]["action"] for u in plan}, {
            "10.77.0.5": "update", "10.77.0.6": "update", "10.77.0.7": "enter-then-update",
            "10.77.0.8": "enter-then-update", "10.77.0.9": "skip", "10.77.0.10": "update"})
        self.assertEqual((plan["10.77.0.9"]["mode"], plan["10.77.0.9"]["application"]), ("bootload", self.CURRENT))
        self.assertEqual(plan["10.77.0.7"]["mode"], "application")
        for name, unit in units.items():
            summary = unit.dump_summary()
            expected_mode = "application" if name.startswith("app") else "bootload"
            self.assertEqual(summary["mode"], expected_mode, name)
            names = {c["name"] for c in summary["commands"].values() if c["received"]}
            self.assertLessEqual(names, {"ReadBootloaderVersion", "ReadApplicationVersion"}, name)
            self.assertEqual(summary["program"]["bytes"] + summary["flash"]["bytes"], 0, name)

    def test_mixed_venue_updates_what_it_should_and_says_so(self):
        units = self.mixed_venue()
        report_path = os.path.join(units["numbered"].dir, "visit.json")
        result = run_cli("update", "--all", "--time", "5", "--skip-current", "--report", report_path,
                         stdin_text="1234\n", timeout=600)
        self.assertExit(result, FAILED)

        table = result.stdout[result.stdout.rindex("UNIT "):].splitlines()
        rows = {line.split()[0]: line for line in table[1:]}
        self.assertEqual(sorted(rows), sorted(u.address for u in units.values()), result.stdout)
        for name in ("numbered", "plain", "app1", "app2"):
            self.assertRegex(rows[units[name].address], r"\bsucceeded\b.*\bapplication\b", name)
        self.assertRegex(rows[units["current"].address], r"skipped \(current\)")
        self.assertRegex(rows[units["silent"].address], r"FAILED at update.*\bbootload\b")

        with open(report_path) as f:
            report = json.load(f)
        self.assertEqual(report["exit_code"], FAILED)
        got = {u["unit"]: u for u in report["units"]}
        for name in ("numbered", "plain", "app1", "app2"):
            unit = got[units[name].address]
            self.assertEqual((unit["result"], unit["mode_after"], unit["application_after"]),
                             ("succeeded", "application", self.CURRENT), name)
        self.assertEqual(got["10.77.0.7"]["application_before"], "1.2")
        self.assertEqual((got["10.77.0.9"]["result"], got["10.77.0.9"]["mode_after"]), ("skipped", "application"))
        self.assertEqual((got["10.77.0.10"]["result"], got["10.77.0.10"]["failed_step"],
                          got["10.77.0.10"]["mode_after"]), ("failed", "update", "bootload"))

        for name in ("numbered", "plain", "app1", "app2"):
            self.assertMemoryEqualsPackage(units[name])
            self.assertEqual(units[name].dump_summary()["mode"], "application", name)
        current = units["current"].dump_summary()
        self.assertEqual(current["mode"], "application")
        self.assertEqual(current["program"]["bytes"] + current["flash"]["bytes"], 0, "the current unit was written")
        silent = units["silent"].dump_summary()
        self.assertEqual(silent["mode"], "bootload")

    def test_the_pin_is_tried_on_one_unit_first(self):
        # The first unit in address order gets the PIN first. When it takes
        # it, a unit with a PIN of its own fails alone; when it refuses it,
        # no other unit is sent the PIN.
        for first_refuses in (False, True):
            with self.subTest(first_refuses=first_refuses):
                pins = ("9876", "1234") if first_refuses else ("1234", "9876")
                first = self.unit("10.77.0.5", "--mode", "application", "--pin", pins[0])
                second = self.unit("10.77.0.6", "--mode", "application", "--pin", pins[1])
                right, wrong = (second, first) if first_refuses else (first, second)
                result = run_cli("update", "--all", "--time", "3", "--json", stdin_text="1234\n", timeout=600)
                self.assertExit(result, FAILED)
                events = json_lines(result.stdout)
                self.assertEqual(events[-1]["event"], "summary")
                summary = {u["unit"]: u for u in events[-1]["units"]}
                self.assertEqual(sorted(e["unit"] for e in events if e["event"] == "round"),
                                 [first.address, second.address], "every unit has its round line")
                self.assertEqual((summary[wrong.address]["result"], summary[wrong.address]["failed_step"],
                                  summary[wrong.address]["exit_code"]), ("failed", "enter bootload", FAILED))
                if first_refuses:
                    self.assertEqual(summary[right.address]["result"], "not-reached")
                    self.assertIn("refused the installer PIN", summary[right.address]["text"])
                    self.assertEqual(right.dump_summary()["mode"], "application")
                else:
                    self.assertEqual((summary[right.address]["result"], summary[right.address]["mode_after"]),
                                     ("succeeded", "application"))
                    self.assertMemoryEqualsPackage(right)
                refused = wrong.dump_summary()
                self.assertEqual((refused["mode"], refused["program"]["bytes"]), ("application", 0))
                for unit in (first, second):
                    unit.stop()
                self.sims.clear()

    def test_the_pin_never_travels_in_arguments_and_a_bad_one_writes_nothing(self):
        unit = self.unit("10.77.0.5", "--mode", "application")
        result = run_cli("update", "--all", "--time", "1", "--yes", stdin_text="12\n")
        self.assertExit(result, USAGE)
        self.assertExit(run_cli("update", "--all", "--pin", "1234"), USAGE)
        self.assertEqual(unit.dump_summary()["mode"], "application")

    def test_usage_and_an_empty_network(self):
        self.assertExit(run_cli("update", "--all", "--port", "/dev/null"), USAGE)
        for option in (["--skip-current"], ["--dry-run"], ["--time", "3"], ["--report", "x.json"]):
            self.assertExit(run_cli("update", "--ip", "10.77.0.99", *option), USAGE)
        report_path = os.path.join(tempfile.mkdtemp(prefix="tq-cli-"), "visit.json")
        result = run_cli("update", "--all", "--time", "1", "--report", report_path)
        self.assertExit(result, NO_RESPONSE)
        self.assertIn("No unit answered.", result.stdout)
        with open(report_path) as f:
            self.assertEqual(json.load(f)["ending"], "no unit found")

    def test_a_report_that_cannot_be_written_is_refused_before_anything_is_sent(self):
        unit = self.unit("10.77.0.5", "--mode", "application")
        folder = tempfile.mkdtemp(prefix="tq-cli-")
        for path in (os.path.join(folder, "missing", "visit.json"), folder):
            result = run_cli("update", "--all", "--time", "1", "--yes", "--report", path, stdin_text="1234\n")
            self.assertExit(result, USAGE)
            self.assertIn("cannot write the report to " + path, result.stderr)
        summary = unit.dump_summary()
        self.assertEqual((summary["mode"], summary["frames"]["received"], summary["commands"]), ("application", 0, {}))
        self.assertEqual(os.listdir(folder), [], "nothing is left beside the report")

    def test_jobs_bounds_the_units_written_at_once(self):
        units = [self.unit("10.77.0.%d" % (10 + i)) for i in range(12)]
        result = run_cli("update", "--all", "--time", "3", "--jobs", "4", "--json", "--no-server-ui", timeout=600)
        self.assertExit(result, SUCCESS)
        events = json_lines(result.stdout)
        # Each unit's worker runs from its first event to its round line;
        # the parent shows them in the order they came, so no more than four
        # may be open at any point of the stream.
        first, last = {}, {}
        for i, event in enumerate(events):
            if event["event"] in ("stage", "start", "unit", "status", "progress", "outcome", "round"):
                first.setdefault(event["unit"], i)
                if event["event"] == "round":
                    last[event["unit"]] = i
        self.assertEqual(sorted(last), sorted(u.address for u in units))
        most = max(sum(1 for u in first if first[u] <= i <= last[u]) for i in range(len(events)))
        self.assertLessEqual(most, 4)
        self.assertEqual([u["result"] for u in events[-1]["units"]], ["succeeded"] * 12)

    def test_ctrl_c_lets_the_unit_being_written_finish_and_prints_the_table(self):
        unit = self.unit("10.77.0.5", "--delay-out", "100%:1")
        proc = subprocess.Popen([CLI, "update", "--all", "--time", "1", "--json"], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        lines = []
        for line in proc.stdout:
            lines.append(json.loads(line))
            if lines[-1]["event"] == "progress":
                proc.send_signal(signal.SIGINT)
                break
        rest, err = proc.communicate(timeout=600)
        lines += json_lines(rest)
        self.assertEqual(proc.returncode, SUCCESS, err)
        self.assertIn("stopping", err)
        self.assertEqual(lines[-1]["event"], "summary")
        self.assertEqual([(u["unit"], u["result"]) for u in lines[-1]["units"]], [(unit.address, "succeeded")])
        self.assertMemoryEqualsPackage(unit)


class VenueSearch(SimTestCase):
    """update --all finds every unit that answers, and each unit once.

    The namespace holds 10.77.0.1/24 on lo.
    """

    def planned(self, *args):
        result = run_cli("update", "--all", "--dry-run", "--json", *args, timeout=600)
        self.assertExit(result, SUCCESS)
        return [e for e in json_lines(result.stdout) if e["event"] == "plan"]

    def test_a_hundred_units_are_all_planned_by_the_default_search(self):
        addresses = ["10.77.0.%d" % (20 + i) for i in range(100)]
        for address in addresses:
            self.sim("--announce-from", address, bind=address)
        plan = self.planned()
        self.assertEqual(sorted(e["unit"] for e in plan), sorted(addresses))
        self.assertEqual({e["action"] for e in plan}, {"update"})
        self.assertEqual(len({e["mac"] for e in plan}), 100, "each unit's own hardware address")

    def test_a_unit_named_and_found_is_planned_once_by_the_name_given(self):
        self.sim("--announce-from", "10.77.0.5", "--udp-port", "7000", bind="10.77.0.5")
        plan = self.planned("--time", "2", "--ip", "10.77.0.5:7000", "--ip", "10.77.0.5")
        self.assertEqual([(e["unit"], e["mac"], e["action"]) for e in plan],
                         [("10.77.0.5:7000", "02-54-51-4D-00-05", "update")])

    def test_a_unit_whose_restart_moves_it_is_found_again_by_its_hardware_address(self):
        unit = self.sim("--announce-from", "10.77.0.5", "--mode", "application", "--bootload-address", "10.77.0.50",
                        bind="10.77.0.5")
        report_path = os.path.join(unit.dir, "visit.json")
        result = run_cli("update", "--all", "--time", "2", "--yes", "--json", "--report", report_path,
                         stdin_text="1234\n", timeout=600)
        self.assertExit(result, SUCCESS)
        with open(report_path) as f:
            report = json.load(f)
        [row] = report["units"]
        # Its application keeps the old address: the unit ends where it was.
        self.assertEqual((row["unit"], row["mac"], row["result"], row.get("moved_to"), row["mode_after"]),
                         ("10.77.0.5", "02-54-51-4D-00-05", "succeeded", None, "application"), row)
        stages = [e["text"] for e in json_lines(result.stdout) if e["event"] == "stage"]
        self.assertIn("the unit (02-54-51-4D-00-05) answers at 10.77.0.50 now", stages)
        self.assertIn("the unit (02-54-51-4D-00-05) answers at 10.77.0.5 now", stages)
        self.assertMemoryEqualsPackage(unit)


class VenueStop(SimTestCase):
    """Ctrl-C, hang-ups and a lost updater while four units are being written.

    Each unit takes 1 ms over each frame, so an update takes seconds and
    the signals arrive while all four are being written.
    """

    def four_units_being_written(self, report_path, *options):
        units = [self.sim("--announce-from", "10.77.0.%d" % (5 + i), "--handling", "1", bind="10.77.0.%d" % (5 + i))
                 for i in range(4)]
        proc = subprocess.Popen([CLI, "update", "--all", "--time", "2", "--json", "--yes", "--report", report_path,
                                 *options], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        writing, lines = set(), []
        for line in proc.stdout:
            lines.append(json.loads(line))
            if lines[-1]["event"] == "progress":
                writing.add(lines[-1]["unit"])
                if len(writing) == 4:
                    break
        self.assertEqual(len(writing), 4, lines)
        errors = []
        reader = threading.Thread(target=lambda: errors.extend(proc.stderr), daemon=True)
        reader.start()
        return units, proc, lines, errors

    def wait_for(self, condition, what, seconds=300):
        deadline = time.time() + seconds
        while not condition():
            self.assertLess(time.time(), deadline, "timed out waiting for " + what)
            time.sleep(0.05)

    def read_report(self, path):
        with open(path) as f:
            return {u["unit"]: u for u in json.load(f)["units"]}

    def send(self, proc, errors, sig, shown):
        """Sends a signal and waits until the updater has shown its effect
        (its text on stderr), or has ended."""
        proc.send_signal(sig)
        if shown:
            self.wait_for(lambda: any(shown in e for e in errors) or proc.poll() is not None, repr(shown))

    def test_units_being_written_finish_whatever_the_updater_is_sent(self):
        # The signals, each with the text the updater shows once it took
        # it, and whether the updater lives to write the table and the
        # report itself.
        cases = {
            "two Ctrl-C": ([(signal.SIGINT, "stopping"), (signal.SIGINT, "still being written")], True),
            "a hang-up": ([(signal.SIGHUP, "stopping (the terminal went away)")], True),
            "the updater killed": ([(signal.SIGKILL, None)], False),
        }
        for name, (signals, survives) in cases.items():
            with self.subTest(name):
                folder = tempfile.mkdtemp(prefix="tq-cli-")
                report_path = os.path.join(folder, "visit.json")
                units, proc, lines, errors = self.four_units_being_written(report_path)
                try:
                    for sig, shown in signals:
                        self.send(proc, errors, sig, shown)
                    events = lines + json_lines(proc.stdout.read())
                    proc.wait(timeout=600)
                    if not survives:
                        # The last worker to finish completes the report.
                        def all_in():
                            try:
                                return {u["result"] for u in self.read_report(report_path).values()} == {
                                    "succeeded"}
                            except (OSError, ValueError):
                                return False
                        self.wait_for(all_in, "the workers' report")
                    # What reached the units first: each was finished and runs its application.
                    for unit in units:
                        self.assertMemoryEqualsPackage(unit)
                        self.assertEqual(unit.dump_summary()["mode"], "application", name)
                    report = self.read_report(report_path)
                    for unit in units:
                        self.assertEqual((report[unit.address]["result"], report[unit.address]["mode_after"]),
                                         ("succeeded", "application"), name)
                    if survives:
                        self.assertEqual(proc.returncode, SUCCESS, "".join(errors))
                        self.assertEqual(events[-1]["event"], "summary")
                        self.assertEqual(sorted(e["unit"] for e in events if e["event"] == "round"),
                                         sorted(u.address for u in units))
                        self.assertEqual(os.listdir(folder), ["visit.json"], "the units' records are cleared away")
                finally:
                    if proc.poll() is None:
                        proc.kill()
                    for unit in units:
                        unit.stop()
                    self.sims.clear()

    def test_ctrl_c_during_the_search_ends_it_and_writes_nothing(self):
        # A search of a minute at least, stopped once the unit has been heard:
        # the command ends without waiting the minute out, and nothing is
        # written.
        work = tempfile.mkdtemp(prefix="tq-cli-")
        self.addCleanup(shutil.rmtree, work, True)
        answered = os.path.join(work, "answered.log")
        unit = self.sim("--announce-from", "10.77.0.5", "--announce-log", answered, bind="10.77.0.5")
        report = os.path.join(work, "stopped.json")
        start = time.time()
        proc = subprocess.Popen([CLI, "update", "--all", "--time", "120", "--yes", "--report", report],
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        self.wait_for(lambda: os.path.exists(answered) and os.path.getsize(answered) > 0, "the unit's first answer")
        proc.send_signal(signal.SIGINT)
        proc.communicate(timeout=100)
        self.assertLess(time.time() - start, 100)
        with open(report) as f:
            self.assertEqual(json.load(f)["ending"], "stopped")
        summary = unit.dump_summary()
        self.assertEqual(summary["updates_ended"] + summary["program_erases"] + summary["flash_erases"], 0)

    def test_a_third_ctrl_c_abandons_them_part_written_in_bootload_mode(self):
        report_path = os.path.join(tempfile.mkdtemp(prefix="tq-cli-"), "visit.json")
        units, proc, _, errors = self.four_units_being_written(report_path)
        for shown in ("stopping", "still being written", "abandoning"):
            self.send(proc, errors, signal.SIGINT, shown)
        proc.communicate(timeout=600)
        self.assertEqual(proc.returncode, FAILED, "".join(errors))
        report = self.read_report(report_path)
        for unit in units:
            self.assertEqual((report[unit.address]["result"], report[unit.address]["mode_after"]),
                             ("failed", "bootload"))
            self.assertIn("part-written", report[unit.address]["text"])
            self.assertEqual(unit.dump_summary()["mode"], "bootload")
            same, _ = unit.memory_equals_package()
            self.assertFalse(same)


def main():
    global CLI, SIM, NO_SOCKETS
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--no-sockets")
    parser.add_argument("-k", dest="group")
    args, rest = parser.parse_known_args()
    CLI, SIM = os.path.abspath(args.cli), os.path.abspath(args.sim)
    NO_SOCKETS = args.no_sockets and os.path.abspath(args.no_sockets)
    if not in_private_namespace():
        print("cli_e2e_test: refusing to run outside a private network namespace (use tools/netns-run.sh)",
              file=sys.stderr)
        return 3
    loader = unittest.TestLoader()
    module = sys.modules[__name__]
    suite = loader.loadTestsFromName(args.group, module) if args.group else loader.loadTestsFromModule(module)
    outcome = unittest.TextTestRunner(verbosity=2).run(suite)
    return 0 if outcome.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
