"""Reads a quorvelin report (--report FILE, JSON Lines; docs/report.md) for
scripts/merge and scripts/plot: line by line, each record checked as it is
read, so that a report costs the memory of the record in hand.

- records(path): the records, each parsed and named by FILE:LINE; a line
  that is not JSON (NaN and Infinity included) or not a record of a report
  stops with a ReportError naming the line. A last line cut short (no
  newline) stops too, unless the caller takes it (cut_short).
- check(record, where, kind): the record walked along a description of its
  fields (kind); what is missing, of another kind, holds a value no run
  writes, or breaks a rule between fields stops with a ReportError. A kind
  that is "closed" also refuses fields it does not describe.
- kind_of(record): the full description of a record of a report of FORMAT,
  by its type, mode or event: every field it may hold, closed.
- pick(type, required, optional): a description of only some fields (all
  modes and events together), open: for a reader that uses those alone.
- Checks: what one record may not be after those before it (the start
  first, ticks in order, the scenario's steps, one summary last).
- parse_time and rfc3339: the report's times.

Python's standard library only.
"""

import json
from datetime import datetime, timezone

FORMAT = 1
LARGEST_COUNT = 2 ** 64 - 1
TYPES = ("start", "tick", "event", "summary")


class ReportError(Exception):
    """A report that cannot be read; the message says where and why."""


def parse_time(stamp):
    """An RFC 3339 time of the report (UTC, "Z") as a datetime."""
    try:
        return datetime.fromisoformat(stamp.replace("Z", "+00:00"))
    except (AttributeError, ValueError):
        raise ReportError(f"not an RFC 3339 time: {stamp!r}") from None


def rfc3339(moment):
    return moment.astimezone(timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")


# ---- what a field may hold ---------------------------------------------------

class Wrong(Exception):
    """A field at fault. Raised where the fault is found, knowing only the
    field's own name; each object or list it passes through on its way out
    puts its name in front, so no path is built for a field that is right."""

    def __init__(self, sentence, *names):
        super().__init__()
        self.sentence, self.names = sentence, list(names)

    def within(self, name):
        self.names.insert(0, name)
        return self

    def text(self):
        """What is wrong, to follow "the X record": " lacks a.b", "'s a.b should be ..."."""
        path = "".join(f"[{n}]" if isinstance(n, int) else f".{n}" for n in self.names).lstrip(".")
        return self.sentence(path)


def described(value):
    """What a JSON value is, in a few words."""
    if value is None or isinstance(value, bool):
        return json.dumps(value)
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "text"
    return "a list" if isinstance(value, list) else "an object"


def of_another_kind(name, value):
    return Wrong(lambda path: f"'s {path} should be {name}, not {described(value)}")


def impossible(problem):
    return Wrong(lambda path: f"'s {path} {problem}")


class Leaf:
    """A value of one kind: what it must be (named as an error says it), what
    a value of that kind may not be (problem: a sentence, or None), and how
    the values of several reports merge ("sum", "max", "any" of the flags,
    or "same": one value, the first's)."""

    def __init__(self, name, holds, problem=None, merge="same"):
        self.name, self.holds, self.problem, self.merge = name, holds, problem, merge

    def check(self, value):
        if not self.holds(value):
            raise of_another_kind(self.name, value)
        if self.problem:
            problem = self.problem(value)
            if problem:
                raise impossible(problem)


class Count(Leaf):
    """A whole number from 0 to 2^64 - 1, checked the quick way: a tick
    holds about a hundred of them."""

    def check(self, value):
        if type(value) is not int or value < 0 or value > LARGEST_COUNT:
            Leaf.check(self, value)


class Obj:
    """An object: the fields every such object has, and those some have; a
    rule between its fields (a sentence about "{path}", or None); closed:
    fields it does not describe are refused."""

    name = "an object"

    def __init__(self, required, optional=None, rule=None, closed=True):
        self.required, self.optional, self.rule, self.closed = required, optional or {}, rule, closed
        self.fields = dict(self.required, **self.optional)
        self.names = set(self.required)

    def check(self, value):
        if type(value) is not dict:
            raise of_another_kind(self.name, value)
        if not self.names <= value.keys():
            missing = next(name for name in self.required if name not in value)
            raise Wrong(lambda path: f" lacks {path}", missing)
        fields = self.fields
        for name, item in value.items():
            kind = fields.get(name)
            if kind is None:
                if self.closed:
                    raise Wrong(lambda path: f" holds {path}, which no report of format {FORMAT} has", name)
                continue
            try:
                kind.check(item)
            except Wrong as wrong:
                raise wrong.within(name)
        if self.rule:
            sentence = self.rule(value)
            if sentence:
                raise Wrong(lambda path: "'s " + sentence.format(path=path) if path
                            else " " + sentence.format(path="").lstrip())


class ListOf:
    """A list of items of one kind, of a given length or any."""

    def __init__(self, item, length=None, name="a list"):
        self.item, self.length, self.name = item, length, name

    def check(self, value):
        if type(value) is not list:
            raise of_another_kind(self.name, value)
        if self.length is not None and len(value) != self.length:
            raise Wrong(lambda path: f"'s {path} should be {self.name}, not a list of {len(value)}")
        item = self.item
        for index, each in enumerate(value):
            try:
                item.check(each)
            except Wrong as wrong:
                raise wrong.within(index)


class StatusMap:
    """Counts by status code: {"2": 20} is 20 times NoAddrAvail."""

    name = "an object"

    def __init__(self, item):
        self.item = item

    def check(self, value):
        if type(value) is not dict:
            raise of_another_kind(self.name, value)
        for status, each in value.items():
            if not (status.isascii() and status.isdigit() and int(status) <= 255):
                raise Wrong(lambda path: f"'s {path}'s key {status!r} is not a status code")
            try:
                self.item.check(each)
            except Wrong as wrong:
                raise wrong.within(status)


class Nullable:
    def __init__(self, inner):
        self.inner, self.name = inner, inner.name + " or null"

    def check(self, value):
        if value is None:
            return
        inner = self.inner
        if isinstance(inner, Leaf):
            holds = inner.holds(value)
        else:
            holds = isinstance(value, list if isinstance(inner, ListOf) else dict)
        if not holds:
            raise of_another_kind(self.name, value)
        inner.check(value)


def is_number(value):
    """JSON's true and false are no numbers."""
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def count_problem(value):
    if isinstance(value, float):
        return f"is {value!r}: not a whole number"
    if value < 0:
        return f"is {value!r}: it cannot be below 0"
    return f"is {value!r}: above 2^64 - 1, the largest count"


def integer_problem(value):
    if isinstance(value, float):
        return f"is {value!r}: not a whole number"
    return f"is {value!r}: beyond 64 bits" if abs(value) > LARGEST_COUNT else None


def time_problem(value):
    try:
        parse_time(value)
    except ReportError as error:
        return f"is {error}"
    return None


COUNT = Count("a number", is_number, count_problem, "sum")
NUMBER = Leaf("a number", is_number, lambda value: f"is {value!r}: it cannot be below 0" if value < 0 else None)
INTEGER = Leaf("a number", is_number, integer_problem)
TEXT = Leaf("text", lambda value: isinstance(value, str))
FLAG = Leaf("true or false", lambda value: isinstance(value, bool), merge="any")
TIME = Leaf("text", lambda value: isinstance(value, str), time_problem)
TEXTS = Leaf("a list of texts", lambda value: isinstance(value, list) and all(isinstance(v, str) for v in value))
SAME = Count("a number", is_number, count_problem, "same")
HIGHEST = Count("a number", is_number, count_problem, "max")


# ---- rules between fields ----------------------------------------------------

def histogram_rule(h):
    held = sum(n for _, n in h["buckets"])
    if held != h["count"]:
        return f"{{path}}.buckets hold {held} of its count {h['count']}"
    if h["count"] and h["min"] > h["max"]:
        return f"{{path}} has its min {h['min']} above its max {h['max']}"
    values = [value for value, _ in h["buckets"]]
    if values != sorted(set(values)) or any(n == 0 for _, n in h["buckets"]):
        return "{path}.buckets are not the non-empty buckets in ascending order"
    return None


def step_rule(step):
    if step["answered"] > step["sent"]:
        return f"{{path}} answered {step['answered']} of {step['sent']} sent"
    return None


def clients_rule(c):
    if c["completed"] + c["timed_out"] + c["pending"] + c["cleared"] != c["started"]:
        return (f"{{path}}: started {c['started']} is not completed {c['completed']} + timed_out {c['timed_out']} "
                f"+ pending {c['pending']} + cleared {c['cleared']}")
    return None


def ramp_step_rule(step):
    if step["completed"] + step["failed"] != step["started"]:
        return f"{{path}} started {step['started']} is not completed {step['completed']} + failed {step['failed']}"
    return None


# ---- the records ---------------------------------------------------------------

PAIR = ListOf(COUNT, 2, name="a [value, count] pair")
HISTOGRAM = Obj({"count": COUNT, "sum": COUNT, "min": COUNT, "max": COUNT, "buckets": ListOf(PAIR)},
                rule=histogram_rule)
QUICK_LATENCY = Obj({"count": COUNT, "p50": COUNT, "p99": COUNT})
LATENCY = Obj({"count": COUNT, "min": COUNT, "mean": NUMBER, "p50": COUNT, "p90": COUNT, "p99": COUNT,
               "p999": COUNT, "max": COUNT})
REFUSED = StatusMap(COUNT)
STEP_COUNTS = {"sent": COUNT, "answered": COUNT, "timed_out": COUNT, "refused": REFUSED, "no_lease_offered": COUNT,
               "duplicates": COUNT, "no_server_id": COUNT, "unbuildable": COUNT}
# With --check-leases, with --retransmit, and the counts of later versions.
STEP_OPTIONAL = {"duplicate_leases": COUNT, "retransmitted": COUNT, "needed_retransmissions": ListOf(COUNT, 3),
                 "rapid_commit_not_honoured": COUNT, "released_without_binding": COUNT,
                 "reservations_checked": COUNT, "reservations_not_honoured": COUNT}
# A second's answers may be to messages sent the second before: only a
# whole run's steps answer no more than they sent.
TICK_STEP = Obj(dict(STEP_COUNTS, latency_us=QUICK_LATENCY), STEP_OPTIONAL)
SUMMARY_STEP = Obj(dict({"step": SAME, "message": TEXT}, **STEP_COUNTS, latency_us=LATENCY, histogram=HISTOGRAM),
                   STEP_OPTIONAL, step_rule)


def exchange(latency):
    """A population's RENEWs or REBINDs; the histogram since a later version."""
    return Obj({"sent": COUNT, "retransmitted": COUNT, "answered": COUNT, "refused": REFUSED, "timed_out": COUNT,
                "duplicate_leases": COUNT, "latency_us": latency}, {"histogram": HISTOGRAM, "no_lease_offered": COUNT})


def population(latency, **more):
    """A population test's counts: a second's, or (with more) the run's."""
    return Obj(dict({name: COUNT for name in ("bound_now", "bound", "lost", "unbound", "released",
                                              "release_answered")},
                    renew=exchange(latency), rebind=exchange(latency), **more),
               {"timers_raised": COUNT, "not_bound": COUNT})


SETTINGS = Obj({"device": TEXT, "server": TEXT, "clients": SAME, "test_duration_s": SAME, "timeout_s": SAME,
                "nthreads": SAME, "error_threshold_percent": NUMBER,
                "segment": Obj({"index": SAME, "count": SAME}), "local_address": TEXT,
                "start_at": Nullable(TIME),
                "ramp": Nullable(Obj({"from": SAME, "to": SAME, "step": SAME, "seconds": SAME}))},
               {"retransmit": FLAG, "check_leases": FLAG, "reservations": FLAG, "population": SAME, "time_compression": NUMBER,
                "steady_start": FLAG, "seed": Nullable(INTEGER)})
MERGED = Obj({"segments": SAME, "files": TEXTS, "device": TEXTS, "local_address": TEXTS},
             {"seeds": ListOf(Nullable(INTEGER))})
START = Obj({"type": TEXT, "format": SAME, "version": TEXT, "command_line": TEXTS, "mode": TEXT, "messages": TEXTS,
             "start": TIME, "settings": SETTINGS,
             "histogram_layout": Obj({"unit": TEXT, "exact_below": SAME, "sub_buckets": SAME, "highest": SAME})},
            {"merged": MERGED})
SECOND = Obj({"received": COUNT, "unmatched_replies": COUNT, "rcvbuf_drops": COUNT, "started": COUNT,
              "completed": COUNT, "timed_out": COUNT, "latency_us": QUICK_LATENCY, "steps": ListOf(TICK_STEP)},
             {"population": population(QUICK_LATENCY)})
TICK = Obj({"type": TEXT, "time": TIME, "tick": SAME, "results": COUNT, "timeouts": COUNT, "pending": COUNT,
            "low_water": HIGHEST, "rate": HIGHEST, "high_water": HIGHEST, "avg_ms": SAME, "max_ms": HIGHEST,
            "min_ms": SAME, "second": SECOND})
EVENT_BASE = {"type": TEXT, "time": TIME, "tick": SAME, "event": TEXT, "text": TEXT}
# Each event's figures (docs/report.md, event).
EVENT_FIGURES = {
    "probe_complete": ("high_water",), "unable_to_continue": (), "preparing": (), "run_start": ("rate", "duration_s"),
    "run_failed": ("seconds", "failed", "clients"), "run_passed": ("low_water",), "late_tick": ("late_ms",),
    "pause": (), "resume": (), "finished": ("reported",), "release": ("bound",),
    "ramp_step": ("step", "rate", "duration_s"), "ramp_pause": (),
    "ramp_step_done": ("step", "rate", "started", "completed", "failed", "passed"), "interrupted": ("signal",),
}
EVENTS = {kind: Obj(dict(EVENT_BASE, **{name: COUNT for name in figures}),
                    {"segment": SAME} if kind == "interrupted" else None,
                    ramp_step_rule if kind == "ramp_step_done" else None)
          for kind, figures in EVENT_FIGURES.items()}
CLIENTS = Obj({name: COUNT for name in ("started", "completed", "timed_out", "stalled", "pending", "cleared")},
              rule=clients_rule)
RAMP_STEP = Obj({"step": SAME, "rate": SAME, "started": COUNT, "completed": COUNT, "failed": COUNT, "passed": FLAG},
                rule=ramp_step_rule)
SUMMARY_BASE = {"type": TEXT, "mode": TEXT, "interrupted": FLAG, "offered_rate": SAME, "start": TIME, "end": TIME,
                "duration_s": NUMBER, "clients": CLIENTS, "latency_us": LATENCY, "histogram": HISTOGRAM,
                "steps": ListOf(SUMMARY_STEP), "received": COUNT, "unmatched_replies": COUNT, "rcvbuf_drops": COUNT,
                "result": NUMBER}
# With --retransmit, with --check-leases, and the figures of later versions.
SUMMARY_OPTIONAL = {"last_completion_s": NUMBER, "duplicate_leases": COUNT, "generator_saturated": FLAG,
                    "tick_late_ms_max": HIGHEST}
# With --threshold: each threshold's verdict. A merge leaves them out (its
# own --threshold judges the merged summary again).
VERDICT = Obj({"expression": TEXT, "value": Nullable(NUMBER), "limit": NUMBER, "unit": Nullable(TEXT),
               "passed": FLAG})
SUMMARY_JUDGED = {"thresholds": ListOf(VERDICT)}
MARKS = {"low_water": SAME, "high_water": SAME}
SUMMARY_BY_MODE = {"once": {}, "endless": {"served_rate": NUMBER}, "highload": MARKS,
                   "ramp": dict(MARKS, ramp=Obj({"steps": ListOf(RAMP_STEP), "capacity": SAME})),
                   "population": {"population": population(LATENCY, bound_at_end=COUNT)}}
SUMMARIES = {mode: Obj(dict(SUMMARY_BASE, **extra), dict(SUMMARY_OPTIONAL, **SUMMARY_JUDGED))
             for mode, extra in SUMMARY_BY_MODE.items()}
MODES = tuple(SUMMARIES)
# Every field a record of a type may hold, whatever its mode or event.
ALL_FIELDS = {
    "start": START, "tick": TICK,
    "event": Obj(dict(EVENT_BASE, **{name: COUNT for figures in EVENT_FIGURES.values() for name in figures},
                      segment=SAME)),
    "summary": Obj(dict(SUMMARY_BASE, **SUMMARY_OPTIONAL, **SUMMARY_JUDGED,
                        **{name: kind for extra in SUMMARY_BY_MODE.values() for name, kind in extra.items()})),
}


def kind_of(record):
    """The closed description of a record: by its type, and its event or mode."""
    kind = record["type"]
    if kind in ("start", "tick"):
        return START if kind == "start" else TICK
    name = record.get("event" if kind == "event" else "mode")
    if not isinstance(name, str):
        return Obj(EVENT_BASE) if kind == "event" else Obj(SUMMARY_BASE)
    if kind == "event":
        if name not in EVENTS:
            raise Wrong(lambda path: f" is an event {name}, which no report of format {FORMAT} has")
        return EVENTS[name]
    if name not in SUMMARIES:
        raise Wrong(lambda path: f"'s mode {name!r} is none that a report of format {FORMAT} has")
    return SUMMARIES[name]


def pick(record_type, required=(), optional=()):
    """An open description of some fields of a record type ("a.b" is b inside
    a), their kinds taken from every field that type may hold."""
    tree = {}
    for paths, needed in ((required, True), (optional, False)):
        for path in paths:
            node = tree
            for name in path.split("."):
                entry = node.setdefault(name, [False, {}])
                entry[0] = entry[0] or needed
                node = entry[1]
    return picked(tree, ALL_FIELDS[record_type])


def picked(tree, whole):
    required, optional = {}, {}
    for name, (needed, inside) in tree.items():
        kind = whole.fields[name]
        (required if needed else optional)[name] = picked(inside, kind) if inside else kind
    return Obj(required, optional, closed=False)


def kept(value, kind):
    """Of value, only the fields kind describes."""
    if not isinstance(kind, Obj) or not isinstance(value, dict):
        return value
    return {name: kept(item, kind.fields[name]) for name, item in value.items() if name in kind.fields}


def check(record, where, kind=None):
    """Checks record against kind (by default kind_of(record)); a fault stops
    with a ReportError: "FILE:LINE: the tick record's rate should be ..."."""
    try:
        (kind or kind_of(record)).check(record)
    except Wrong as wrong:
        raise ReportError(f"{where}: the {record['type']} record{wrong.text()}") from None


# ---- reading -----------------------------------------------------------------

def no_json_number(word):
    raise ValueError(f"{word} is no JSON number")


def parsed(line, where):
    """One line as a record: an object with a type a report has."""
    try:
        record = json.loads(line, parse_constant=no_json_number)
    except ValueError as error:
        raise ReportError(f"{where}: not JSON ({error})") from None
    except RecursionError:
        raise ReportError(f"{where}: not JSON (nested too deep)") from None
    kind = record.get("type") if isinstance(record, dict) else None
    if not isinstance(kind, str) or kind not in TYPES:
        raise ReportError(f"{where}: not a record of a quorvelin report")
    return record


def whole_but_newline(line):
    """A last line that is a record but for its newline."""
    try:
        json.loads(line)
    except ValueError:
        return False
    return True


def records(path, cut_short=None):
    """The records of the report at path, as (FILE:LINE, record), read line
    by line (see numbered)."""
    try:
        with open(path, encoding="utf-8") as lines:
            yield from numbered(path, lines, cut_short)
    except OSError as error:
        raise ReportError(f"{path}: {error.strerror}") from None


def numbered(path, lines, cut_short=None):
    """The records of the lines of the report at path, as (FILE:LINE,
    record). A last line without its newline is cut short: with cut_short,
    cut_short(where) is told and the line left out, unless it is a whole
    record; without, it stops the reading."""
    try:
        for number, line in enumerate(lines, 1):
            if not line.strip():
                continue
            where = f"{path}:{number}"
            if not line.endswith("\n"):
                if cut_short is None:
                    raise ReportError(f"{where}: the last line is cut short (no newline): the report is incomplete")
                if not whole_but_newline(line):
                    cut_short(where)
                    return
            yield where, parsed(line, where)
    except OSError as error:
        raise ReportError(f"{path}: {error.strerror}") from None
    except UnicodeDecodeError:
        raise ReportError(f"{path}: not a text file") from None


class Checks:
    """What a record of a whole report may not be after the records before
    it: the start first and once, ticks numbered and timed in order, the
    scenario's steps in every tick and in the summary, the summary last and
    of the start's mode. Keeps the start and the last tick, nothing more."""

    def __init__(self, path, program):
        self.path, self.program = path, program
        self.start, self.summary, self.last_tick = None, None, None

    def take(self, record, where):
        """Checks one record, fully (check) and against those before it."""
        kind = record["type"]
        if kind == "start" and is_number(record.get("format")) and record["format"] != FORMAT:
            # Before its fields: a later format may have others.
            raise ReportError(f"{self.path}: report format {record['format']}; this {self.program} reads {FORMAT}")
        check(record, where)
        a = "an" if kind == "event" else "a"
        if kind != "start" and self.start is None:
            raise ReportError(f"{where}: {a} {kind} record before the start record")
        if self.summary is not None:
            raise ReportError(f"{where}: {a} {kind} record after the summary")

        def wrong(sentence):
            raise ReportError(f"{where}: the {kind} record{sentence}")
        getattr(self, "take_" + kind)(record, wrong)

    def take_start(self, start, wrong):
        if self.start is not None:
            wrong(" is the second of the report")
        if start["mode"] not in MODES:
            wrong(f"'s mode {start['mode']!r} is none that a report of format {FORMAT} has")
        if start["mode"] == "population":
            for name in ("population", "time_compression"):
                if name not in start["settings"]:
                    wrong(f" lacks settings.{name}")
        segment = start["settings"]["segment"]
        if not segment["index"] < segment["count"]:
            wrong(f"'s settings.segment: segment {segment['index']}/{segment['count']} "
                  f"is not a segment of {segment['count']}")
        self.start = start

    def scenario_steps(self, steps, wrong):
        if len(steps) != len(self.start["messages"]):
            wrong(f" has {len(steps)} steps; the scenario has {len(self.start['messages'])} messages")

    def take_tick(self, tick, wrong):
        self.scenario_steps(tick["second"]["steps"], wrong)
        moment = parse_time(tick["time"])
        if self.last_tick:
            number, before, stamp = self.last_tick
            if tick["tick"] <= number:
                wrong(f"'s tick {tick['tick']} is not after the tick before it ({number})")
            if moment < before:
                wrong(f"'s time {tick['time']} is before the tick before it ({stamp})")
        self.last_tick = tick["tick"], moment, tick["time"]

    def take_event(self, event, wrong):
        pass

    def take_summary(self, summary, wrong):
        if summary["mode"] != self.start["mode"]:
            wrong(f"'s mode {summary['mode']} is not the start record's {self.start['mode']}")
        self.scenario_steps(summary["steps"], wrong)
        for k, (step, message) in enumerate(zip(summary["steps"], self.start["messages"])):
            if (step["step"], step["message"]) != (k + 1, message):
                wrong(f"'s steps[{k}] is step {step['step']} {step['message']}; "
                      f"the scenario's step {k + 1} is {message}")
        if parse_time(summary["end"]) < parse_time(summary["start"]):
            wrong(f" ends at {summary['end']}, before it starts ({summary['start']})")
        self.summary = summary

    def finish(self):
        """The report read to its end: its start and summary are there."""
        if self.start is None:
            raise ReportError(f"{self.path}: no start record")
        if self.summary is None:
            raise ReportError(f"{self.path}: no summary record: the run did not end (or ended with an error)")
