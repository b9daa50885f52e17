"""The controller simulator: command parsing from the daemon's byte stream,
and its behaviour on a real pseudo-terminal (version answer, event framing
and pacing, clean exit)."""

import importlib.machinery
import json
import os
import select
import signal
import subprocess
import time
import types
import unittest

from standins import TOOLS, ControllerSim

SIM_PATH = os.path.join(TOOLS, "controller-sim")


def load_sim():
    # The tool's file name has a hyphen and no .py, so load it by path.
    loader = importlib.machinery.SourceFileLoader("controller_sim", SIM_PATH)
    module = types.ModuleType(loader.name)
    module.__file__ = SIM_PATH
    loader.exec_module(module)
    return module


sim = load_sim()


class CommandStreamTest(unittest.TestCase):
    def test_command_split_across_reads_comes_out_whole(self):
        parser = sim.CommandParser()
        self.assertEqual(parser.feed(b"s:3AB,"), [])
        self.assertEqual(parser.feed(b"CD,EF"), [])
        self.assertEqual(parser.feed(b"\rc:re"), [b"s:3AB,CD,EF"])
        self.assertEqual(parser.pending, b"c:re")
        self.assertEqual(parser.feed(b"d\r"), [b"c:red"])
        self.assertEqual(parser.pending, b"")

    def test_byte_by_byte_feed_gives_same_commands_as_one_chunk(self):
        stream = b"v:\rs:212,34\rc:\rf:x\r"
        whole = sim.CommandParser().feed(stream)
        parser = sim.CommandParser()
        pieces = []
        for i in range(len(stream)):
            pieces.extend(parser.feed(stream[i:i + 1]))
        self.assertEqual(pieces, whole)
        self.assertEqual(whole, [b"v:", b"s:212,34", b"c:", b"f:x"])

    def test_stray_line_feed_is_not_hidden(self):
        # A daemon that ended commands with CR LF must show up as a command
        # that no longer parses, not be tidied away.
        parser = sim.CommandParser()
        cmds = [sim.parse_command(c) for c in parser.feed(b"c:red\r\nf:1\r")]
        self.assertEqual(cmds[0]["kind"], "colour")
        self.assertEqual(cmds[1]["kind"], "unknown")
        self.assertEqual(cmds[1]["raw"], "\nf:1")


class CommandMeaningTest(unittest.TestCase):
    def describe(self, raw):
        return sim.describe_command(sim.parse_command(raw))

    def test_each_command_reads_in_words(self):
        self.assertEqual(self.describe(b"s:3AB,CD,EF"), "tags: 3 [AB,CD,EF]")
        self.assertEqual(self.describe(b"c:red"), "colour: red")
        self.assertEqual(self.describe(b"f:x"), "sequence: x")
        self.assertEqual(self.describe(b"v:"), "version query")
        self.assertEqual(self.describe(b"c:"), "colour: ")
        self.assertIn("unknown", self.describe(b"x:1"))

    def test_count_running_into_digit_tags_is_split_by_the_list(self):
        cmd = sim.parse_command(b"s:212,34")
        self.assertEqual((cmd["count"], cmd["tags"], cmd["consistent"]),
                         (2, "12,34", True))
        cmd = sim.parse_command(b"s:11")
        self.assertEqual((cmd["count"], cmd["tags"]), (1, "1"))
        cmd = sim.parse_command(b"s:1")
        self.assertEqual((cmd["count"], cmd["tags"], cmd["entries"]),
                         (1, "", []))

    def test_wrong_tag_count_is_flagged(self):
        cmd = sim.parse_command(b"s:5AB,CD")
        self.assertFalse(cmd["consistent"])
        self.assertIn("does not match", sim.describe_command(cmd))
        cmd = sim.parse_command(b"s:AB")
        self.assertIsNone(cmd["count"])
        self.assertFalse(cmd["consistent"])

    def test_non_utf8_bytes_do_not_break_parsing(self):
        cmd = sim.parse_command(b"c:\xff\xfe")
        self.assertEqual(cmd["kind"], "colour")
        json.dumps(cmd)  # the log must still be writable

    def test_lines_are_framed_with_one_cr_lf(self):
        self.assertEqual(sim.frame_line("i:door=0"), b"i:door=0\r\n")
        self.assertEqual(sim.frame_line("i:door=0\r\n"), b"i:door=0\r\n")
        self.assertEqual(sim.frame_line("i:door=0\n"), b"i:door=0\r\n")
        self.assertAlmostEqual(sim.byte_interval(9600), 10 / 9600)


class SimProcess(ControllerSim):
    """The simulator as a child process, plus our end of its terminal."""

    def __init__(self, testcase, *args, stdin=subprocess.DEVNULL):
        self.fd = None
        super().__init__(*args, stdin=stdin)
        testcase.addCleanup(self.stop)
        # The simulator has put the line in raw mode already.
        self.fd = os.open(self.tty, os.O_RDWR | os.O_NOCTTY)

    def stop(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None
        return super().stop()

    def read_until(self, wanted, seconds=10):
        """Reads from the terminal until `wanted` bytes arrived; returns
        (data, [(time, chunk), ...])."""
        data, chunks = b"", []
        deadline = time.monotonic() + seconds
        while len(data) < wanted:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([self.fd], [], [], left)
            if ready:
                chunk = os.read(self.fd, 4096)
                chunks.append((time.monotonic(), chunk))
                data += chunk
        return data, chunks

    def quiet_for(self, seconds):
        ready, _, _ = select.select([self.fd], [], [], seconds)
        return os.read(self.fd, 4096) if ready else b""


class SimOnTerminalTest(unittest.TestCase):
    def test_version_query_gets_version_answer(self):
        s = SimProcess(self, "--version", "2.1.4")
        os.write(s.fd, b"v:\r")
        expected = b"version=2.1.4\r\n"
        data, _ = s.read_until(len(expected))
        self.assertEqual(data, expected)

    def test_version_split_over_two_writes_is_still_answered(self):
        s = SimProcess(self)
        os.write(s.fd, b"v")
        time.sleep(0.1)
        os.write(s.fd, b":\r")
        expected = b"version=1.0.8\r\n"
        self.assertEqual(s.read_until(len(expected))[0], expected)

    def test_no_version_stays_silent(self):
        s = SimProcess(self, "--no-version")
        os.write(s.fd, b"v:\r")
        self.assertEqual(s.quiet_for(1.0), b"")

    def test_events_are_sent_in_order_with_cr_lf(self):
        s = SimProcess(self, "--fast", "--send", "i:door=0,mac=x",
                       "--send", "i:auth=1")
        expected = b"i:door=0,mac=x\r\ni:auth=1\r\n"
        self.assertEqual(s.read_until(len(expected))[0], expected)

    def test_events_wait_for_the_handshake_when_asked(self):
        s = SimProcess(self, "--fast", "--wait-queries", "2",
                       "--send", "i:boot=1")
        self.assertEqual(s.quiet_for(0.5), b"")
        os.write(s.fd, b"v:\r")
        first = b"version=1.0.8\r\n"
        self.assertEqual(s.read_until(len(first))[0], first)
        self.assertEqual(s.quiet_for(0.5), b"")
        os.write(s.fd, b"v:\r")
        rest = first + b"i:boot=1\r\n"
        self.assertEqual(s.read_until(len(rest))[0], rest)

    def test_default_pacing_spreads_a_line_over_its_baud_time(self):
        # 480 bytes at 9600 baud take 0.5 s on a real line. The lower bound
        # only grows on a busy machine, so it cannot fail for slowness.
        line = "i:" + "k=v," * 119 + "z"
        s = SimProcess(self, "--send", line)
        expected = sim.frame_line(line)
        data, chunks = s.read_until(len(expected))
        self.assertEqual(data, expected)
        self.assertGreater(chunks[-1][0] - chunks[0][0], 0.25)
        self.assertGreater(len(chunks), 5)

    def test_stdin_lines_are_sent_and_eof_ends_the_process(self):
        s = SimProcess(self, "--fast", "--exit-on-eof", stdin=subprocess.PIPE)
        s.proc.stdin.write(b"i:door=1\r\n\ni:x=2\n")
        s.proc.stdin.close()
        expected = b"i:door=1\r\ni:x=2\r\n"
        self.assertEqual(s.read_until(len(expected))[0], expected)
        self.assertEqual(s.proc.wait(10), 0)

    def test_sigterm_ends_cleanly_and_log_holds_both_directions(self):
        s = SimProcess(self, "--fast", "--send", "i:door=0")
        s.read_until(len(b"i:door=0\r\n"))
        os.write(s.fd, b"s:3AB,CD,EF\rc:red\rf:x\r")
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and len(s.log()) < 4:
            time.sleep(0.05)
        s.proc.send_signal(signal.SIGTERM)
        self.assertEqual(s.proc.wait(10), 0)
        entries = s.log()
        self.assertEqual([(e["dir"], e["kind"]) for e in entries],
                         [("tx", "line"), ("rx", "tags"), ("rx", "colour"),
                          ("rx", "sequence")])
        self.assertEqual(entries[1]["entries"], ["AB", "CD", "EF"])
        shown = s.output()
        for words in ("tags: 3 [AB,CD,EF]", "colour: red", "sequence: x"):
            self.assertIn(words, shown)


if __name__ == "__main__":
    unittest.main()
