#!/usr/bin/env python3
"""Checks the Grafana dashboard and the Prometheus rules against a real exposition.

    check_queries.py EXPOSITION DASHBOARD RULES WORKDIR

The dashboard must be importable as it is: schema version, panels on the grid without
overlap, a Prometheus data source variable that every panel and query uses. Every metric
name a query or rule names must be a family of the exposition, and every label one of its
series carries or one the scrape adds (job, instance, and the machine label of the README's
scrape configuration). Finally each dashboard query is written into a rules file and a
`promtool test rules` file over the exposition's series, which fails for a query that
returns nothing from them. Prints each problem and exits 1 when there is one.
"""
import json
import re
import sys

TARGET_LABELS = {"job", "instance", "machine"}
KEYWORDS = {"and", "or", "unless", "bool", "offset", "by", "without", "on", "ignoring",
            "group_left", "group_right", "inf", "nan"}
DATASOURCE = {"type": "prometheus", "uid": "${datasource}"}

problems = []


def problem(text):
    problems.append(text)
    print("FAIL: " + text)


def read_exposition(path):
    """Family name -> set of label names, and the sample lines."""
    families, samples = {}, []
    for line in open(path, encoding="utf-8"):
        line = line.rstrip("\n")
        if line.startswith("# TYPE "):
            families.setdefault(line.split()[2], set())
        elif line and not line.startswith("#"):
            match = re.match(r"([a-zA-Z_:][\w:]*)(?:\{(.*)\})? (\S+)$", line)
            if not match:
                problem("exposition line not understood: " + line)
                continue
            name, labels, value = match.groups()
            families.setdefault(name, set()).update(re.findall(r'(\w+)="', labels or ""))
            samples.append((name, labels or "", value))
    return families, samples


def names_in(expr):
    """The metric names and the label names a PromQL expression uses."""
    text = re.sub(r'"(?:[^"\\]|\\.)*"', '""', expr)
    labels = set()
    for matchers in re.findall(r"\{([^}]*)\}", text):
        labels.update(re.findall(r"(\w+)\s*(?:=~|!~|!=|=)", matchers))
    text = re.sub(r"\{[^}]*\}|\[[^\]]*\]", " ", text)
    clause = r"\b(?:by|without|on|ignoring|group_left|group_right)\s*\(([^)]*)\)"
    for listed in re.findall(clause, text):
        labels.update(re.findall(r"\w+", listed))
    text = re.sub(clause, " ", text)
    text = re.sub(r"\$\w+", " ", text)
    metrics = {name for name in re.findall(r"(?<![\w.$])([a-zA-Z_:][\w:]*)(?![\w:]|\s*\()", text)
               if name not in KEYWORDS}
    return metrics, labels


def check_names(where, expr, families, extra_metrics=()):
    metrics, labels = names_in(expr)
    if not metrics:
        problem(f"{where}: names no metric: {expr}")
    known = set(TARGET_LABELS)
    for metric in metrics:
        if metric in families:
            known |= families[metric]
        elif metric not in extra_metrics:
            problem(f"{where}: {metric} is not in the exposition")
    for label in sorted(labels - known):
        problem(f"{where}: label {label} is not on {', '.join(sorted(metrics))}")
    return known


def check_layout(dashboard):
    if dashboard.get("schemaVersion", 0) < 36:
        problem(f"schemaVersion {dashboard.get('schemaVersion')} is older than Grafana 9")
    variables = {v.get("name"): v for v in dashboard.get("templating", {}).get("list", [])}
    source = variables.get("datasource", {})
    if source.get("type") != "datasource" or source.get("query") != "prometheus":
        problem("no Prometheus data source variable named datasource")
    for name, variable in variables.items():
        if variable.get("type") == "query" and variable.get("datasource") != DATASOURCE:
            problem(f"variable {name} does not query ${{datasource}}")
    panels = dashboard.get("panels") or []
    if not panels:
        problem("the dashboard has no panels")
    cells, ids = {}, set()
    for panel in panels:
        title = panel.get("title", "?")
        if panel.get("id") in ids:
            problem(f"panel {title}: id {panel.get('id')} used twice")
        ids.add(panel.get("id"))
        grid = panel.get("gridPos", {})
        if not all(k in grid for k in "xywh") or grid["x"] + grid["w"] > 24:
            problem(f"panel {title}: gridPos {grid} is not on the 24-column grid")
            continue
        for x in range(grid["x"], grid["x"] + grid["w"]):
            for y in range(grid["y"], grid["y"] + grid["h"]):
                if (x, y) in cells:
                    problem(f"panel {title} overlaps {cells[(x, y)]}")
                    break
                cells[(x, y)] = title
            else:
                continue
            break
    return variables, [p for p in panels if p.get("type") != "row"]


def dashboard_queries(dashboard, families):
    """Checks the panels' queries; returns (where, expression) for each."""
    variables, panels = check_layout(dashboard)
    queries = []
    for panel in panels:
        title = panel.get("title", "?")
        if panel.get("datasource") != DATASOURCE:
            problem(f"panel {title}: data source {panel.get('datasource')} is not ${{datasource}}")
        if not panel.get("targets"):
            problem(f"panel {title}: no queries")
        for target in panel.get("targets", []):
            where = f"panel {title} query {target.get('refId')}"
            if target.get("datasource") != DATASOURCE:
                problem(f"{where}: data source is not ${{datasource}}")
            expr = target.get("expr", "")
            known = check_names(where, expr, families)
            for label in re.findall(r"\{\{\s*(\w+)\s*\}\}", target.get("legendFormat", "")):
                if label not in known:
                    problem(f"{where}: the legend names {label}, which the query has not")
            queries.append((where, expr))
    for name, variable in variables.items():
        query = variable.get("query")
        text = query.get("query", "") if isinstance(query, dict) else ""
        values = re.fullmatch(r"label_values\((\w+),\s*(\w+)\)", text)
        if variable.get("type") == "query":
            if not values:
                problem(f"variable {name}: query {text!r} is not label_values(metric, label)")
                continue
            check_names(f"variable {name}", f"{values[1]}{{{values[2]}!=\"\"}}", families)
            queries.append((f"variable {name}", values[1]))
    return queries


def rule_expressions(path):
    """The expressions of a rules file: `expr:` on one line or as a block below it."""
    lines = open(path, encoding="utf-8").read().split("\n")
    found, recorded = [], set()
    for i, line in enumerate(lines):
        record = re.match(r"\s*- record:\s*(\S+)", line)
        if record:
            recorded.add(record[1])
        match = re.match(r"(\s*)expr:\s*(.*)$", line)
        if not match:
            continue
        if match[2] not in ("|", ">"):
            found.append((i + 1, match[2]))
            continue
        block = []
        for following in lines[i + 1:]:
            if following.strip() and len(following) - len(following.lstrip()) <= len(match[1]):
                break
            block.append(following.strip())
        found.append((i + 1, " ".join(block)))
    return found, recorded


def write_evaluation(queries, samples, workdir):
    """A rules file with one alert per query that fires when the query returns anything,
    and a promtool test over the exposition's series that expects every one to fire."""
    rules, tests = [], []
    for number, (where, expr) in enumerate(queries, 1):
        concrete = expr.replace("$machine", ".*")
        concrete = re.sub(r"\$__(rate_)?interval", "5m", concrete)
        rules.append({"alert": f"Query{number}", "expr": f"count({concrete}) > 0",
                      "annotations": {"query": where}})
        tests.append({"eval_time": "10m", "alertname": f"Query{number}",
                      "exp_alerts": [{"exp_labels": {}, "exp_annotations": {"query": where}}]})
    series = []
    for name, labels, value in samples:
        extra = 'job="quotameter",instance="127.0.0.1:9464",machine="laptop"'
        series.append({"series": f"{name}{{{labels + ',' if labels else ''}{extra}}}",
                       "values": f"{value}x10"})
    with open(f"{workdir}/dashboard-rules.yml", "w", encoding="utf-8") as out:
        json.dump({"groups": [{"name": "dashboard", "rules": rules}]}, out, indent=1)
    with open(f"{workdir}/dashboard-rules.test.yml", "w", encoding="utf-8") as out:
        json.dump({"rule_files": ["dashboard-rules.yml"], "evaluation_interval": "1m",
                   "tests": [{"interval": "1m", "input_series": series,
                              "alert_rule_test": tests}]}, out, indent=1)


def main():
    exposition, dashboard_path, rules_path, workdir = sys.argv[1:5]
    families, samples = read_exposition(exposition)
    for family in sorted(families):
        if not families[family]:
            problem(f"the exposition has no series of {family}: the check would not see its labels")
    try:
        dashboard = json.load(open(dashboard_path, encoding="utf-8"))
    except ValueError as error:
        problem(f"{dashboard_path} is not JSON: {error}")
        return 1
    queries = dashboard_queries(dashboard, families)
    expressions, recorded = rule_expressions(rules_path)
    if not expressions:
        problem(f"{rules_path}: no expressions found")
    for line, expr in expressions:
        check_names(f"rules line {line}", expr, families, extra_metrics={"up"} | recorded)
    write_evaluation(queries, samples, workdir)
    print(f"checked {len(queries)} dashboard queries and {len(expressions)} rule expressions "
          f"against {len(families)} families")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
