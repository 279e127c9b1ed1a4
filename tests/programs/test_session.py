#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 The krm59340 developers
# usage: test_session.py PROGRAM
# A Python script drives krm59340-cli session as the README shows: through line-buffered pipes, one command
# written and its answer read before the next, which only works when every answer is flushed at once. It steps
# channel 1 and reads it back on the simulated board with --state, and a second session finds the last step.
import json
import os
import signal
import subprocess
import sys
import tempfile

program = sys.argv[1]
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


# A missing answer would block readline for ever: the alarm ends the test instead.
signal.alarm(60)


def open_session(scratch, *options):
    env = dict(os.environ, XDG_CONFIG_HOME=scratch, KRM59340_LOCK_DIR=scratch)
    return subprocess.Popen([program, "--simulate", "--state", os.path.join(scratch, "board.ini"),
                             "--vref", "10", "--json", *options, "session"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1, env=env)


def ask(session, line):
    session.stdin.write(line + "\n")
    return json.loads(session.stdout.readline())


with tempfile.TemporaryDirectory() as scratch:
    session = open_session(scratch)
    for step in range(10):
        volts = 0.5 * step
        answer = ask(session, f"set 1 {volts} --verify")
        check(answer["ok"] and answer["verified"], f"set 1 {volts}: {answer}")
        code = answer["channels"][0]["code"]
        answer = ask(session, "read 1")
        check(answer["ok"] and answer["channels"][0]["code"] == code, f"read 1 after {volts}: {answer}")
    answer = ask(session, "set 25 1")
    check(not answer["ok"] and answer["status"] == 1 and "25" in answer["error"], f"set 25 1: {answer}")
    check(ask(session, "read 1")["ok"], "a bad line ended the session")
    check(ask(session, "quit") == {"ok": True, "command": "quit"}, "quit")
    check(session.wait() == 0, f"the session ended with {session.returncode}")

    session = open_session(scratch)
    answer = ask(session, "read 1")
    check(answer["channels"][0]["code"] == code, f"the state did not carry the last step: {answer}")
    session.stdin.close()
    check(session.stdout.read() == "" and session.wait() == 0, "the end of input did not end the session")

for failure in failures:
    print("FAIL:", failure)
if failures:
    sys.exit(1)
print("a Python script drove two sessions through line-buffered pipes")
