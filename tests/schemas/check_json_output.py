#!/usr/bin/env python3
"""Validates what vexu-cli writes for machines against docs/schemas/.

Each scenario below runs vexu-cli --json against the simulated box and board
in a directory of its own; every line it writes on stdout must be a JSON
object whose "event" names its schema (event-<event>.schema.json), and every
line of the run log it leaves, and each record the station database keeps,
must match run-record.schema.json. A
scenario's vexu-cli report --format json commands read the station
database those runs filled; each line they write must match
report.schema.json. A member
that no schema lists fails, naming the output line, the member and the
schema file and line where it would be added.

The lines of the ```json blocks of README.md and docs/*.md under --docs are
examples of the same lines (events, records and report lines) and are
checked the same way.

Usage: check_json_output.py --cli PATH --schemas DIR [--docs SOURCE_DIR]
Exit 0 when everything matches, 1 when something does not, 77 (skipped)
when no JSON Schema validator can be had.
"""

import argparse
import contextlib
import glob
import json
import os
import re
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time

try:
    import jsonschema
except ImportError as missing:
    print(f"SKIP: the JSON Schema validator cannot be had ({missing}); install python3-jsonschema")
    sys.exit(77)

RUN_LOG = os.path.join("state", "vexu-programmer", "runs.log")
STATION_DB = os.path.join("state", "vexu-programmer", "station.db")
SERIALS = ["--serial-at", "0x10", "--serial-format", "VX%04u"]


class Cmd:
    """One vexu-cli command of a scenario: its arguments (--json is added)
    and the exit status it must end with."""

    def __init__(self, args, exit, state_home="state", interrupt_at=(), report=False):
        self.args = args
        self.exit = exit
        # A report command: written for people and dashboards, without --json.
        self.report = report
        self.state_home = state_home
        # Ctrl-C at the first stdout line that holds the first of these
        # texts, again at the second, ...
        self.interrupt_at = interrupt_at


class Scenario:
    """Commands run in one directory, the events they must write between
    them and the run-log records they must leave."""

    def __init__(self, title, commands, events, records=0, files=None):
        self.title = title
        self.commands = commands
        self.events = set(events)
        self.records = records
        self.files = files or {}


SMALL = {"small.bin": b"\x5a" * 4096}
SCENARIOS = [
    Scenario("a passing run", [Cmd(["--simulate", "run"], 0)], {"progress", "log", "result"}, 1),
    Scenario("array verify fails", [Cmd(["--simulate=verify-fail-row=5", "run"], 1)], {"log", "result"}, 1),
    Scenario("programming mode refused", [Cmd(["--simulate=mode-refused=ir", "run"], 1)], {"result"}, 1),
    Scenario("box removed before the ID came back", [Cmd(["--simulate=unplug-after=3", "run"], 1)], {"result"}, 1),
    Scenario("box removed during the array", [Cmd(["--simulate=unplug-after=400", "run"], 1)], {"result"}, 1),
    Scenario("no serial flash chip", [Cmd(["--simulate=flash=none", "run", "--no-fpga"], 1)], {"result"}, 1),
    Scenario("serial flash page fails", [Cmd(["--simulate=flash-bit-error-page=2", "run", "--no-fpga"], 1)],
             {"result"}, 1),
    Scenario("run log cannot be written",
             [Cmd(["--simulate", "run", "--no-fpga"], 0, state_home="small.bin")], {"result"}, 0, SMALL),
    Scenario("a crashed run's serial is skipped",
             [Cmd(["--simulate=crash-at=50", "run"] + SERIALS, -6), Cmd(["--simulate", "run"] + SERIALS, 0)],
             {"serialSkipped", "result"}, 1),
    Scenario("a gang worker's run", [Cmd(["--simulate", "run", "--slot", "1-2.3", "--serial-at", "0x10",
                                          "--serial-value", "SN-7"], 0)], {"result"}, 1),
    Scenario("usage errors", [Cmd([], 2), Cmd(["--simulate=bogus", "run"], 2), Cmd(["run", "--no-such"], 2)],
             {"result"}),
    Scenario("no box", [Cmd(["--simulate=unplugged", "run"], 3), Cmd(["--simulate=unplugged", "list"], 3)],
             {"result"}),
    Scenario("a run ended by a second Ctrl-C", [Cmd(["--simulate=realtime", "run"], -signal.SIGINT,
                                                        interrupt_at=('"part":"fpga","percent":1,',
                                                                      '"part":"fpga","percent":2,'))],
             {"progress", "result"}, 1),
    Scenario("list", [Cmd(["--simulate=boxes=3", "list"], 0), Cmd(["--simulate=open-refusals=5", "list"], 5)],
             {"box", "result"}),
    Scenario("report log refused: a device is no file to write", [Cmd(["--simulate", "--report-log", "/dev/full", "flash", "id"], 2)],
             {"result"}),
    Scenario("actions", [Cmd(["--simulate", "action", "device_info", "read_idcode"], 0),
                         Cmd(["--simulate=idcode=0x032141CF", "action", "read_idcode", "device_info"], 1)],
             {"action", "log", "result"}),
    Scenario("flash commands",
             [Cmd(["--simulate", "--eeprom-image", "small.bin", "flash"], 0),
              Cmd(["--simulate", "flash", "id"], 0),
              Cmd(["--simulate=flash=none", "flash", "id"], 1),
              Cmd(["--simulate", "flash", "read", "-o", "read.bin"], 0),
              Cmd(["--simulate", "flash", "verify", "small.bin"], 1),
              Cmd(["--simulate", "flash", "erase"], 0),
              Cmd(["--simulate=flash-erase-fail-page=3", "flash", "erase"], 1)],
             {"progress", "result"}, 0, SMALL),
    Scenario("image and settings files",
             [Cmd(["image", "build", "-o", "demo.dat", "--demo"], 0),
              Cmd(["image", "info", "demo.dat"], 0),
              Cmd(["image", "info", "zeros.dat"], 1),
              Cmd(["image", "info", "missing.dat"], 2),
              Cmd(["image", "scramble", "demo.dat", "stored.bin"], 0),
              Cmd(["image", "unscramble", "stored.bin", "plain.dat"], 0),
              Cmd(["settings", "write", "AppSetting.bin"], 0),
              Cmd(["settings", "set", "AppSetting.bin", "fpgaCaptionBackColor", "0x00112233"], 0),
              Cmd(["settings", "set", "AppSetting.bin", "noSuchField", "1"], 2),
              Cmd(["settings", "show", "AppSetting.bin"], 0)],
             {"result"}, 0, {"zeros.dat": bytes(300)}),
    Scenario("station stopped while it waits for a box",
             [Cmd(["--simulate=unplugged", "run", "--station"], 0, interrupt_at=('"state":"waiting"',))],
             {"station", "summary"}),
    Scenario("station with serial numbers",
             [Cmd(["--simulate=station-boxes=2", "run", "--station"] + SERIALS, 0),
              Cmd(["--simulate=station-boxes=3", "--eeprom-image", "small.bin", "run", "--station", "--no-fpga",
                   "--serial-at", "0x10", "--serial-file", "serials.txt"], 1)],
             {"station", "summary", "result", "progress"}, 4, dict(SMALL, **{"serials.txt": b"A-1\nA-2\n"})),
    Scenario("the station database's reports",
             [Cmd(["--simulate", "run"] + SERIALS, 0),
              Cmd(["--simulate=verify-fail-row=5", "run"] + SERIALS, 1),
              Cmd(["--simulate", "run"] + SERIALS, 0),
              Cmd(["--simulate=flash=none", "run", "--no-fpga"] + SERIALS, 1),
              Cmd(["--simulate=boxes=2,station-boxes=1", "run", "--station", "--gang"] + SERIALS, 0),
              Cmd(["report", "--format", "json"], 0, report=True),
              Cmd(["report", "yield", "--format", "json", "--since", "2000-01-01", "--until", "2000-01-02"], 0,
                  report=True),
              Cmd(["report", "failures", "--format", "json"], 0, report=True),
              Cmd(["report", "history", "--serial", "VX0002", "--format", "json"], 0, report=True),
              Cmd(["report", "history", "--board", "VX0002", "--format", "json"], 0, report=True)],
             {"progress", "log", "result", "station", "summary",
              "report:yield", "report:failures", "report:serialHistory", "report:boardHistory"}, 6),
    Scenario("gang station with serial numbers",
             [Cmd(["--simulate=boxes=2,station-boxes=1,fault-box=2,unplug-after=400", "run", "--station",
                   "--gang"] + SERIALS, 1)],
             {"progress", "station", "summary", "result"}, 2),
]


def pointer_lines(text):
    """The line on which each JSON pointer's member or item starts."""
    lines = {}
    decoder = json.JSONDecoder()
    space = re.compile(r"\s*")

    def skip(i):
        return space.match(text, i).end()

    def value(i, pointer):
        i = skip(i)
        lines.setdefault(pointer, text.count("\n", 0, i) + 1)
        if text[i] in "{[":
            closing = "}" if text[i] == "{" else "]"
            i = skip(i + 1)
            index = 0
            while text[i] != closing:
                if closing == "}":
                    start = i
                    key, i = json.decoder.scanstring(text, i + 1)
                    child = pointer + "/" + key.replace("~", "~0").replace("/", "~1")
                    lines[child] = text.count("\n", 0, start) + 1
                    i = skip(i) + 1  # the colon
                else:
                    child = f"{pointer}/{index}"
                    index += 1
                i = skip(value(i, child))
                if text[i] == ",":
                    i = skip(i + 1)
            return i + 1
        return decoder.raw_decode(text, i)[1]

    value(0, "")
    return lines


def shape_of(value):
    """The members of the value's objects, without their values."""
    if isinstance(value, dict):
        return {key: shape_of(item) for key, item in value.items()}
    if isinstance(value, list):
        return [shape_of(item) for item in value[:1]]
    return None


def with_member_added(instance):
    """Copies of the instance, each with a member added to one of its objects."""
    paths = []

    def walk(node, path):
        if isinstance(node, dict):
            paths.append(path)
            for key, item in node.items():
                walk(item, path + [key])
        elif isinstance(node, list):
            for index, item in enumerate(node):
                walk(item, path + [index])

    walk(instance, [])
    for path in paths:
        changed = json.loads(json.dumps(instance))
        target = changed
        for part in path:
            target = target[part]
        target["undocumentedMember"] = 0
        yield path, changed


class Schemas:
    def __init__(self, directory):
        self.directory = directory
        self.documents = {}
        self.lines = {}
        for name in sorted(os.listdir(directory)):
            if not name.endswith(".schema.json"):
                continue
            with open(os.path.join(directory, name), encoding="utf-8") as f:
                text = f.read()
            try:
                self.documents[name] = json.loads(text)
                self.lines[name] = pointer_lines(text)
                jsonschema.Draft202012Validator.check_schema(self.documents[name])
            except (ValueError, jsonschema.exceptions.SchemaError) as error:
                raise SystemExit(f"FAIL {os.path.join(directory, name)} is no JSON Schema: {error}")
        # Every subschema by identity: an error names the one it failed in.
        self.nodes = {}
        for name, document in self.documents.items():
            self._index(name, document, "")
        self.validators = {name: self._validator(name) for name in self.documents}
        self.used = set()
        self.samples = {}  # one output line of each shape, for the strictness check

    def strictness_problems(self):
        """Every object of every kind of line written must refuse a member
        that no schema lists: one added anywhere has to fail."""
        problems = {}
        for name, instance, source in self.samples.values():
            for path, changed in with_member_added(instance):
                if self.validators[name].is_valid(changed):
                    member = "/" + "/".join(str(part) for part in path + ["undocumentedMember"])
                    problems.setdefault((name, member), f"{name} takes a member no schema lists, {member}, in {source}")
        return list(problems.values())

    def _index(self, name, node, pointer):
        if isinstance(node, dict):
            self.nodes[id(node)] = (name, pointer)
            for key, child in node.items():
                self._index(name, child, f"{pointer}/{key}")
        elif isinstance(node, list):
            for index, child in enumerate(node):
                self._index(name, child, f"{pointer}/{index}")

    def _validator(self, name):
        schema = self.documents[name]
        try:
            import referencing
            registry = referencing.Registry().with_resources(
                (key, referencing.Resource.from_contents(document)) for key, document in self.documents.items())
            return jsonschema.Draft202012Validator(schema, registry=registry)
        except ImportError:
            resolver = jsonschema.RefResolver(name, schema, store=dict(self.documents))
            return jsonschema.Draft202012Validator(schema, resolver=resolver)

    def where(self, error):
        """The schema file and line of an error's keyword; for a member that
        is not allowed, the member list where it would be added."""
        name, pointer = self.nodes.get(id(error.schema), (None, None))
        if name is None:
            return "(a schema of its own)"
        node = error.schema
        if error.validator in ("additionalProperties", "unevaluatedProperties"):
            if "properties" not in node and isinstance(node.get("$ref"), str):
                target, _, fragment = node["$ref"].partition("#")
                name = target or name
                node, pointer = self.documents[name], ""
                for part in filter(None, fragment.split("/")):
                    node, pointer = node[part], f"{pointer}/{part}"
            pointer += "/properties"
        else:
            pointer += "/" + str(error.validator)
        line = self.lines[name].get(pointer, 1)
        return f"{os.path.join(self.directory, name)}:{line} ({pointer})"

    def check(self, name, instance, source):
        """Problems of one output line, each naming source, member and schema."""
        self.used.add(name)
        shape = (name, json.dumps(shape_of(instance), sort_keys=True))
        self.samples.setdefault(shape, (name, instance, source))
        problems = []
        errors = sorted(self.validators[name].iter_errors(instance), key=lambda e: [str(p) for p in e.absolute_path])
        failing = {tuple(error.absolute_path) for error in errors}
        for error in errors:
            path = tuple(error.absolute_path)
            if error.validator == "unevaluatedProperties":
                # A member whose own value fails is not evaluated either: its
                # own errors say more.
                names = re.findall(r"'([^']*)'", error.message.rsplit("(", 1)[-1])
                if names and all(any(f[:len(path) + 1] == path + (n,) for f in failing) for n in names):
                    continue
            member = "/" + "/".join(str(part) for part in path)
            problems.append(f"{source}: at {member}: {error.message}\n    schema {self.where(error)}")
        return problems


def run_command(args, directory, env, interrupt_at):
    """Exit status (negative: the signal), stdout and stderr of a command."""
    if not interrupt_at:
        done = subprocess.run(args, cwd=directory, env=env, capture_output=True, timeout=90)
        return done.returncode, done.stdout, done.stderr
    with tempfile.TemporaryFile() as stderr:
        process = subprocess.Popen(args, cwd=directory, env=env, stdout=subprocess.PIPE, stderr=stderr)
        # A command that hangs is ended; its exit status then tells.
        limit = threading.Timer(90, process.kill)
        limit.start()
        stdout = b""
        sent = 0
        for line in process.stdout:
            stdout += line
            if sent < len(interrupt_at) and interrupt_at[sent].encode() in line:
                process.send_signal(signal.SIGINT)
                sent += 1
        process.wait()
        limit.cancel()
        stderr.seek(0)
        return process.returncode, stdout, stderr.read()


def run_scenario(scenario, cli, schemas):
    problems = []
    seen = set()
    with tempfile.TemporaryDirectory(prefix="vexu-schemas-") as directory:
        for file, data in scenario.files.items():
            with open(os.path.join(directory, file), "wb") as f:
                f.write(data)
        for command in scenario.commands:
            args = [cli] + ([] if command.report else ["--json"]) + command.args
            shown = "vexu-cli " + " ".join(args[1:])
            env = dict(os.environ, XDG_STATE_HOME=os.path.join(directory, command.state_home), VEXU_JOURNAL="off")
            try:
                returncode, stdout, stderr = run_command(args, directory, env, command.interrupt_at)
            except subprocess.TimeoutExpired:
                problems.append(f"{shown}: still running after 90 s")
                continue
            if returncode != command.exit:
                problems.append(f"{shown}: exit {returncode}, expected {command.exit}\n"
                                f"{stderr.decode(errors='replace')}")
            lines = stdout.decode("utf-8", errors="replace").split("\n")
            if lines and lines[-1] == "":
                lines.pop()
            elif lines:
                problems.append(f"{shown}: the last stdout line has no line end")
            for number, line in enumerate(lines, 1):
                source = f"{shown}: stdout line {number}"
                if command.report:
                    problems += check_report_line(schemas, line, source, seen)
                    continue
                if not line.startswith('{"event":'):
                    problems.append(f"{source}: not an object whose first member is \"event\": {line[:120]}")
                    continue
                problems += check_line(schemas, line, source, seen)
        log = os.path.join(directory, RUN_LOG)
        records = []
        if os.path.exists(log):
            with open(log, encoding="utf-8") as f:
                records = f.read().splitlines()
        for number, line in enumerate(records, 1):
            problems += schemas.check("run-record.schema.json", json.loads(line),
                                      f"{scenario.title}: runs.log line {number}")
        if len(records) != scenario.records:
            problems.append(f"{scenario.title}: {len(records)} run-log records, expected {scenario.records}")
        # The station database keeps each record whole too (its "record"
        # column): the same schema, one row per run-log line.
        database = os.path.join(directory, STATION_DB)
        rows = []
        if os.path.exists(database):
            with contextlib.closing(sqlite3.connect(database)) as db:
                rows = [row[0] for row in db.execute("SELECT record FROM records ORDER BY rowid")]
        for number, text in enumerate(rows, 1):
            problems += schemas.check("run-record.schema.json", json.loads(text),
                                      f"{scenario.title}: station.db record {number}")
        if records and len(rows) != len(records):
            problems.append(f"{scenario.title}: {len(rows)} station.db records, {len(records)} in the run log")
    missing = scenario.events - seen
    if missing:
        problems.append(f"{scenario.title}: no {', '.join(sorted(missing))} event written")
    return problems


def check_line(schemas, line, source, seen=None):
    """Problems of one line written for machines: an event, or else a run record."""
    try:
        value = json.loads(line)
    except ValueError as error:
        return [f"{source}: not JSON ({error}): {line[:120]}"]
    if isinstance(value, dict) and next(iter(value), None) == "report":
        return check_report_line(schemas, line, source, seen if seen is not None else set())
    if not isinstance(value, dict) or "event" not in value:
        return schemas.check("run-record.schema.json", value, source)
    kind = value["event"]
    if not isinstance(kind, str) or next(iter(value)) != "event":
        return [f"{source}: not an object whose first member is \"event\": {line[:120]}"]
    if seen is not None:
        seen.add(kind)
    name = f"event-{kind}.schema.json"
    if name not in schemas.documents:
        return [f"{source}: event \"{kind}\" has no schema ({schemas.directory}/{name})"]
    return schemas.check(name, value, source)


def check_report_line(schemas, line, source, seen):
    """Problems of one line of vexu-cli report --format json."""
    try:
        value = json.loads(line)
    except ValueError as error:
        return [f"{source}: not JSON ({error}): {line[:120]}"]
    if not isinstance(value, dict) or next(iter(value), None) != "report":
        return [f"{source}: not an object whose first member is \"report\": {line[:120]}"]
    seen.add(f"report:{value['report']}")
    return schemas.check("report.schema.json", value, source)


def check_doc_examples(root, schemas):
    """Problems of the lines of the ```json blocks in the documentation."""
    problems = []
    files = [os.path.join(root, "README.md")] + sorted(glob.glob(os.path.join(root, "docs", "**", "*.md"),
                                                                 recursive=True))
    for path in files:
        inside = False
        with open(path, encoding="utf-8") as f:
            for number, line in enumerate(f.read().split("\n"), 1):
                if line.strip().startswith("```"):
                    inside = line.strip() == "```json"
                elif inside and line.strip():
                    problems += check_line(schemas, line, f"{os.path.relpath(path, root)}:{number}")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cli", required=True)
    parser.add_argument("--schemas", required=True)
    parser.add_argument("--docs", help="the source tree whose README.md and docs/*.md hold examples")
    options = parser.parse_args()
    options.cli = os.path.abspath(options.cli)
    schemas = Schemas(options.schemas)
    outcomes = []  # (title, problems) of each check

    def tell(title, problems):
        print(f"{'FAIL' if problems else 'ok  '} {title}")
        for problem in problems:
            print("  " + problem.replace("\n", "\n  "))
        outcomes.append(bool(problems))

    for scenario in SCENARIOS:
        started = time.monotonic()
        problems = run_scenario(scenario, options.cli, schemas)
        tell(f"{scenario.title} ({time.monotonic() - started:.1f} s)", problems)
    if options.docs:
        tell("the JSON examples of README.md and docs/*.md", check_doc_examples(options.docs, schemas))
    # Run after the scenarios and examples: it uses the lines they wrote.
    tell("every object of every line refuses a member no schema lists", schemas.strictness_problems())
    unused = sorted(set(schemas.documents) - schemas.used)
    tell("every schema describes lines that were written",
         [f"nothing written matched against {name}" for name in unused])
    failed = sum(outcomes)
    print(f"{len(outcomes) - failed} passed, {failed} failed")
    return 1 if failed else 0

if __name__ == "__main__":
    sys.exit(main())
