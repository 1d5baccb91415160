"""Thresholds on the figures of a quorvelin report's summary record, for
`merge --threshold EXPR`: the grammar quorvelin's own --threshold reads, and
the same judgement (README.md, "Thresholds"). Both are run over
tests/fixtures/thresholds/cases.tsv, so that they keep one meaning.

    FIGURE OP NUMBER[UNIT]      p99<5ms, step2.p50 < 800us, completed>=99.9%

- parse(expression): a Threshold, or a ThresholdError saying what is wrong;
- judge(threshold, summary): a Verdict against a summary record (a dict),
  or a ThresholdError when the summary has no such figure;
- Verdict.line() and Verdict.record(): the line printed after the summary
  and the item of the summary's "thresholds".

Python's standard library only.
"""

import math
import re
from dataclasses import dataclass
from typing import Optional

LATENCIES = ("p50", "p90", "p99", "p999", "min", "mean", "max")
CLIENT_COUNTS = ("started", "completed", "timed_out", "stalled", "pending", "cleared", "refused", "no_lease_offered",
                 "duplicate_leases", "received", "unmatched_replies", "rcvbuf_drops", "result", "bound",
                 "bound_at_end", "lost", "unbound", "released", "release_answered", "not_bound")
STEP_COUNTS = ("sent", "answered", "timed_out", "refused", "no_lease_offered", "rapid_commit_not_honoured",
               "released_without_binding", "duplicates", "no_server_id", "unbuildable", "duplicate_leases",
               "retransmitted")
EXCHANGE_COUNTS = ("sent", "retransmitted", "answered", "refused", "no_lease_offered", "timed_out",
                   "duplicate_leases")
POPULATION_COUNTS = ("bound", "bound_at_end", "lost", "unbound", "released", "release_answered", "not_bound")
COUNTS = {"client": CLIENT_COUNTS, "step": STEP_COUNTS, "renew": EXCHANGE_COUNTS, "rebind": EXCHANGE_COUNTS}
# Status names as the summary prints them (RFC 8415 section 21.13, RFC 5007).
STATUS_NAMES = ("Success", "UnspecFail", "NoAddrAvail", "NoBinding", "NotOnLink", "UseMulticast", "NoPrefixAvail",
                "UnknownQueryType", "MalformedQuery", "NotConfigured", "NotAllowed")
OPERATORS = {"<": lambda a, b: a < b, "<=": lambda a, b: a <= b, ">": lambda a, b: a > b,
             ">=": lambda a, b: a >= b, "==": lambda a, b: a == b, "!=": lambda a, b: a != b}
TIME_SCALE = {"us": 1, "ms": 1e3, "s": 1e6}
# What quorvelin's trim takes for blanks (C's isspace).
BLANKS = " \t\n\r\f\v"
# "." stops at a line end, as in quorvelin's regular expressions.
SCOPED = re.compile(r"(?:step([0-9]{1,6})|(renew)|(rebind))\.(.*)")
LIMIT = re.compile(r"([0-9]+(?:\.[0-9]+)?)(us|ms|s|%)?")


class ThresholdError(Exception):
    """An expression that cannot be read or judged: --threshold "EXPR": why."""

    def __init__(self, expression, reason):
        super().__init__(f'--threshold "{expression}": {reason}')


@dataclass
class Threshold:
    expression: str
    scope: str = "client"       # "client", "step", "renew" or "rebind"
    step: int = 0               # from 1, in the step scope
    name: str = ""              # "p99" ("p99.9" reads as "p999"), "completed", "refused"...
    status: Optional[int] = None  # refused.STATUS
    op: str = "<"
    limit: float = 0.0
    unit: str = ""              # "", "us", "ms", "s" or "%"


@dataclass
class Verdict:
    expression: str
    value: Optional[float]      # in the threshold's unit; None for a share or a latency of nothing
    limit: float
    unit: str
    passed: bool

    def line(self):
        """Threshold p99<5ms: 3.871 ms, passed"""
        value = "n/a"
        if self.value is not None:
            x = self.value
            whole = self.unit == "" and x == math.floor(x) and abs(x) < 9e15
            value = ("%.0f" if whole else "%.1f" if self.unit == "us" else "%.3f") % x
            if self.unit:
                value += " " + self.unit
        return f"Threshold {self.expression}: {value}, {'passed' if self.passed else 'failed'}"

    def record(self):
        return {"expression": self.expression, "value": None if self.value is None else float(self.value),
                "limit": self.limit, "unit": self.unit or None, "passed": self.passed}


# ---- reading -------------------------------------------------------------------

def read_op(t, at):
    e = t.expression
    two = e[at:at + 2]
    if two in ("<=", ">=", "==", "!="):
        return two
    if e[at] in "<>":
        return e[at]
    raise ThresholdError(e, f'"{e[at]}" is no comparison: use <, <=, >, >=, == or !=')


def read_status(t, text):
    if re.fullmatch(r"[0-9]{1,3}", text) and int(text) <= 255:
        return int(text)
    # Case is folded in ASCII only, as quorvelin folds it.
    for code, name in enumerate(STATUS_NAMES):
        if text.isascii() and text.lower() == name.lower():
            return code
    raise ThresholdError(t.expression, f'unknown status "{text}": a code from 0 to 255, or a name such as NoAddrAvail')


def read_figure(t, figure):
    name = figure
    m = SCOPED.fullmatch(figure)
    if m:
        if m.group(1) is not None:
            t.scope, t.step = "step", int(m.group(1))
            if t.step == 0:
                raise ThresholdError(t.expression, "steps are counted from 1, the scenario's first message")
        else:
            t.scope = "renew" if m.group(2) else "rebind"
        name = m.group(4)
    if name == "p99.9":
        name = "p999"
    if name.startswith("refused."):
        t.status = read_status(t, name[len("refused."):])
        name = "refused"
    if name not in LATENCIES and name not in COUNTS[t.scope]:
        raise ThresholdError(t.expression, f'unknown figure "{figure}"')
    t.name = name


def read_limit(t, text):
    m = LIMIT.fullmatch(text)
    if not m:
        raise ThresholdError(t.expression, f'"{text}" is no limit: a number with its unit, e.g. 5ms, 99.9% or 0')
    t.limit, t.unit = float(m.group(1)), m.group(2) or ""
    in_time = t.unit in TIME_SCALE
    if t.name in LATENCIES and not in_time:
        raise ThresholdError(t.expression, f"{t.name} is a latency: its limit takes a unit, us, ms or s")
    if t.name not in LATENCIES and in_time:
        raise ThresholdError(t.expression, f"{t.name} is a count: its limit takes no time unit (a share takes %)")
    if t.name == "result" and t.unit == "%":
        raise ThresholdError(t.expression, "result is the mode's result, no count of clients: its limit takes no %")


def parse(expression):
    t = Threshold(expression)
    at = next((i for i, c in enumerate(expression) if c in "<>=!"), None)
    if at is None:
        raise ThresholdError(expression, "no comparison: FIGURE OP LIMIT, e.g. p99<5ms (OP: <, <=, >, >=, == or !=)")
    t.op = read_op(t, at)
    figure = expression[:at].strip(BLANKS)
    limit = expression[at + len(t.op):].strip(BLANKS)
    if not figure:
        raise ThresholdError(expression, "no figure before the comparison")
    read_figure(t, figure)
    read_limit(t, limit)
    return t


# ---- judging -------------------------------------------------------------------

def missing(name):
    if name == "duplicate_leases":
        return "duplicate leases are counted with --check-leases only"
    if name == "retransmitted":
        return "retransmissions are counted with --retransmit only"
    return f"the summary has no {name}"


def field(t, obj, name):
    if name not in obj:
        raise ThresholdError(t.expression, missing(name))
    return obj[name]


def scope_object(t, summary):
    if t.scope == "step":
        steps = field(t, summary, "steps")
        if t.step > len(steps):
            raise ThresholdError(t.expression, f"the scenario has {len(steps)} message{'' if len(steps) == 1 else 's'}")
        return steps[t.step - 1]
    if t.scope in ("renew", "rebind"):
        if "population" not in summary:
            raise ThresholdError(t.expression, "renew and rebind are counted in the population test only")
        return field(t, summary["population"], t.scope)
    return summary


def refusals(t, obj):
    by_status = field(t, obj, "refused")
    if t.status is not None:
        return by_status.get(str(t.status), 0)
    return sum(by_status.values())


def scoped_count(t, obj):
    return refusals(t, obj) if t.name == "refused" else field(t, obj, t.name)


def client_count(t, summary):
    if t.name in ("refused", "no_lease_offered"):
        return sum(scoped_count(t, step) for step in field(t, summary, "steps"))
    if t.name in POPULATION_COUNTS:
        if "population" not in summary:
            raise ThresholdError(t.expression, f"{t.name} is counted in the population test only")
        return field(t, summary["population"], t.name)
    clients = field(t, summary, "clients")
    if t.name in clients:
        return clients[t.name]
    return field(t, summary, t.name)


def value_of(t, summary):
    obj = scope_object(t, summary)
    if t.name in LATENCIES:
        # Without a single latency measured its figures read 0: that would
        # pass any upper limit on a server that answered nothing.
        latency = field(t, obj, "latency_us")
        if field(t, latency, "count") == 0:
            return None
        return field(t, latency, t.name) / TIME_SCALE[t.unit]
    client = t.scope == "client"
    count = client_count(t, summary) if client else scoped_count(t, obj)
    if t.unit != "%":
        return count
    whole = field(t, field(t, summary, "clients"), "started") if client else field(t, obj, "sent")
    if whole == 0:
        return None
    return count * 100 / whole


def judge(t, summary):
    value = value_of(t, summary)
    passed = value is not None and OPERATORS[t.op](value, t.limit)
    return Verdict(t.expression, value, t.limit, t.unit, passed)
