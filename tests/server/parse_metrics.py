#!/usr/bin/python3
"""Reads a page of Prometheus metrics with the Prometheus client's own parser and prints it.

    parse_metrics.py [--json] [URL]

The page comes from URL (whose Content-Type must be the text format's, version 0.0.4) or from
standard input. Printed is one sample a line, `name{label="value",...} value`, or with --json every
family as JSON: [{"name", "type", "help", "samples": [{"name", "labels", "value"}]}], values that are
not finite as the strings "NaN", "+Inf" and "-Inf". A page that does not parse exits 1 with why.

Needs Debian's python3-prometheus-client: run it with /usr/bin/python3.
"""
import argparse
import json
import math
import sys
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8"


def fetch(url):
    with urllib.request.urlopen(url, timeout=10) as reply:
        content_type = reply.headers.get("Content-Type")
        if content_type != CONTENT_TYPE:
            raise ValueError(f"its Content-Type is {content_type!r}, not {CONTENT_TYPE!r}")
        return reply.read().decode("utf-8")


def shown_value(value):
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "+Inf" if value > 0 else "-Inf"
    return value


def families(text):
    return [
        {
            "name": family.name,
            "type": family.type,
            "help": family.documentation,
            "samples": [
                {"name": sample.name, "labels": sample.labels, "value": shown_value(sample.value)}
                for sample in family.samples
            ],
        }
        for family in text_string_to_metric_families(text)
    ]


def escaped(value):
    return value.replace("\\", "\\\\").replace("\n", "\\n").replace('"', '\\"')


def sample_line(sample):
    labels = ",".join(f'{name}="{escaped(value)}"' for name, value in sample["labels"].items())
    return f'{sample["name"]}{{{labels}}} {sample["value"]}' if labels else f'{sample["name"]} {sample["value"]}'


def main():
    parser = argparse.ArgumentParser(description="Reads a Prometheus text page with Prometheus's own parser.")
    parser.add_argument("--json", action="store_true", help="print every family as JSON")
    parser.add_argument("url", nargs="?", help="where to fetch the page; standard input without it")
    arguments = parser.parse_args()
    source = arguments.url or "standard input"
    try:
        text = fetch(arguments.url) if arguments.url else sys.stdin.read()
        parsed = families(text)
    except Exception as error:  # the parser raises plain ValueErrors and more besides
        print(f"parse_metrics.py: {source}: not a page of Prometheus metrics: {error}", file=sys.stderr)
        return 1
    if arguments.json:
        print(json.dumps(parsed))
    else:
        for family in parsed:
            for sample in family["samples"]:
                print(sample_line(sample))
    return 0


if __name__ == "__main__":
    sys.exit(main())
