"""Runs every query of a Grafana dashboard against Prometheus.

dashboard_queries.py DASHBOARD PROMETHEUS_URL START END: each panel's every
target `expr`, its variables given the values a dashboard showing the whole
test would give them, as a range query over [START, END] (Unix seconds) at a
1 s step, and each query variable's label_values(). Prints one line per
query with the number of series it returned; exits 1 naming the panels whose
queries returned none or that are not on the dashboard's Prometheus
datasource variable.
"""
import json
import re
import sys
import urllib.parse
import urllib.request

# What Grafana puts in place of the variables: every segment (the "All"
# value), and a rate window of four scrapes at the test's 1 s interval, as
# $__rate_interval comes out at least.
VARIABLES = {"segment": ".*", "__rate_interval": "4s"}


def substitute(expr):
    def value(match):
        name = match.group(1) or match.group(2)
        if name not in VARIABLES:
            raise KeyError(f"variable ${name} has no test value")
        return VARIABLES[name]

    return re.sub(r"\$\{(\w+)\}|\$(\w+)", value, expr)


def ask(base, path, params):
    url = base + path + "?" + urllib.parse.urlencode(params, doseq=True)
    answer = json.load(urllib.request.urlopen(url, timeout=10))
    if answer.get("status") != "success":
        raise RuntimeError(f"{path}: {answer}")
    return answer["data"]


def queries(dashboard):
    """(where, kind, text) of each query: panels' targets, then variables."""
    for panel in dashboard["panels"]:
        for target in panel.get("targets", []):
            yield f'panel "{panel["title"]}" {target["refId"]}', "expr", target["expr"]
    for variable in dashboard.get("templating", {}).get("list", []):
        if variable["type"] == "query":
            query = variable["query"]
            yield f'variable "{variable["name"]}"', "label_values", query["query"] if isinstance(query, dict) else query


def series_of(base, kind, text, start, end):
    if kind == "expr":
        return ask(base, "/api/v1/query_range",
                   {"query": substitute(text), "start": start, "end": end, "step": "1"})["result"]
    match = re.fullmatch(r"label_values\((\w+),\s*(\w+)\)", text)
    if not match:
        raise ValueError(f"not label_values(METRIC, LABEL): {text}")
    return ask(base, f"/api/v1/label/{match.group(2)}/values",
               {"match[]": match.group(1), "start": start, "end": end})


def unbound_datasources(dashboard):
    """Panels that do not ask the dashboard's Prometheus variable."""
    chosen = [v["name"] for v in dashboard["templating"]["list"]
              if v["type"] == "datasource" and v["query"] == "prometheus"]
    wanted = {"type": "prometheus", "uid": "${%s}" % chosen[0]} if chosen else None
    return [panel["title"] for panel in dashboard["panels"]
            if panel.get("datasource") != wanted or any(t.get("datasource") != wanted for t in panel["targets"])]


def main(path, base, start, end):
    with open(path) as f:
        dashboard = json.load(f)
    empty = []
    for title in unbound_datasources(dashboard):
        print(f'panel "{title}": not on the Prometheus datasource variable')
        empty.append(f'panel "{title}"')
    for where, kind, text in queries(dashboard):
        found = series_of(base, kind, text, start, end)
        print(f"{where}: {len(found)} series: {text}")
        if not found:
            empty.append(where)
    for where in empty:
        print(f"no series: {where}")
    return 1 if empty else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:5]))
