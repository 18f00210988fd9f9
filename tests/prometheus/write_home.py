#!/usr/bin/env python3
"""Writes a home in which `quotameter-cli metrics` has a series of every family:

    write_home.py HOME

a Codex session with tokens and plan limits climbing fast enough to be projected full before
they reset, and a usage history with two relay calls and an Anthropic API cost."""
import datetime
import json
import os
import sys
import time

home = sys.argv[1]
now = time.time()


def iso(ago):
    at = datetime.datetime.fromtimestamp(now - ago, datetime.timezone.utc)
    return at.isoformat(timespec="milliseconds").replace("+00:00", "Z")


def line(ago, kind, payload):
    return json.dumps({"timestamp": iso(ago), "type": kind, "payload": payload}) + "\n"


def limits(five_hour, weekly, ago):
    def window(used, minutes, resets_at):
        return {"used_percent": used, "window_minutes": minutes, "resets_at": int(resets_at)}
    return line(ago, "event_msg", {"type": "token_count", "info": None, "rate_limits": {
        "primary": window(five_hour, 300, now + 3 * 3600),
        "secondary": window(weekly, 10080, now + 3 * 86400), "plan_type": "plus"}})


def write(path, text):
    path = os.path.join(home, path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as out:
        out.write(text)


totals = {"input_tokens": 1000, "cached_input_tokens": 100, "output_tokens": 200,
          "reasoning_output_tokens": 50, "total_tokens": 1200}
rollout = line(1800, "session_meta", {"id": "0199a1b2-metrics", "timestamp": iso(1800),
                                      "cwd": "/home/dev/app", "originator": "codex_cli_rs",
                                      "cli_version": "0.63.0", "source": "cli"})
rollout += line(1800, "turn_context", {"cwd": "/home/dev/app", "approval_policy": "on-request",
                                       "model": "gpt-5", "effort": "medium", "summary": "auto"})
rollout += line(1700, "event_msg", {"type": "token_count", "rate_limits": None, "info": {
    "total_token_usage": totals, "last_token_usage": totals, "model_context_window": 272000}})
for step, ago in enumerate((1600, 1200, 800, 400, 60)):
    rollout += limits(10 + 15 * step, 5 + step, ago)
write(".codex/sessions/2025/06/01/rollout-metrics.jsonl", rollout)
write(".codex/auth.json", "{}")

ms = int(now * 1000)


def relay_call(at, cost):
    return {"accountId": "g1", "cacheTokens": 0, "costUsd": cost, "inputTokens": 100,
            "latencyMs": 300, "model": "gemini-2.5-flash", "outputTokens": 50,
            "source": "relay", "thinkingTokens": 0, "timestampMs": at, "toolTokens": 0}


write(".local/share/Quotameter/usage-history.json", json.dumps({
    "apiRecords": [{"accountId": "a1", "cacheTokens": 30, "costUsd": 1.5, "inputTokens": 1000,
                    "model": "claude-x", "outputTokens": 200, "provider": "anthropic",
                    "timestampMs": ms}],
    "claudeSnapshots": [],
    "geminiRecords": [relay_call(ms - 2000, 0.25), relay_call(ms - 1000, 0.5)]}))
write(".local/share/Quotameter/config.json", json.dumps(
    {"anthropicApiAccounts": [{"id": "a1"}], "geminiAccounts": [{"id": "g1"}]}))
