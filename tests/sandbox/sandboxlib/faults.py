"""Fault injection: latency, throttling, server failures, dropped
connections and targeted error answers.

Rules are matched in the order they were added. A rule names what it
matches ("service", "action", each optional or "*") and what it does:

  {"status": 400, "code": "...", "message": "..."}  answer with that error
  {"throttle": true}                                 answer the service's throttling error
  {"drop": true}                                     close the connection unanswered
  {"latency_ms": 250}                                delay, then answer normally
  {"body": "...", "status": 200}                     answer this raw body (status default 200)
  {"truncate": N}                                    moto's answer cut after N body bytes,
                                                     sent with its full Content-Length, then
                                                     the connection closed
  {"pad": N}                                         moto's answer followed by N blanks
  {"redirect": "self"}                               answer 301 (or "status" 307) whose
                                                     Location is the request's own URL

"count" limits how many matching calls a rule acts on (absent: all of them);
"skip" lets that many matching calls pass before the rule starts acting.
"key" narrows an S3 rule to the requests on that object key (one lock
object, say, while the run's other uploads go through).
"""

from __future__ import annotations

import random
import threading
import time
from dataclasses import dataclass, field

from . import protocol


class FaultError(ValueError):
    """A fault configuration that does not make sense."""


@dataclass
class Decision:
    """What to do with one request."""

    latency_ms: float = 0.0
    drop: bool = False
    error: tuple[int, str, str] | None = None  # status, code, message
    rule: int | None = None
    # A malformed answer: "body", "truncate", "pad" or "redirect" with its
    # value, plus "status" (see the module's documentation).
    malformed: dict | None = None


@dataclass
class TokenBucket:
    burst: float
    refill: float  # tokens a second
    tokens: float = -1.0
    stamp: float = field(default_factory=time.monotonic)

    def __post_init__(self) -> None:
        if self.tokens < 0:
            self.tokens = self.burst

    def take(self, now: float, count: float = 1.0) -> bool:
        """Spend `count` tokens if the bucket holds them; spend nothing
        otherwise (a refused request costs nothing)."""
        if now > self.stamp:
            self.tokens = min(self.burst, self.tokens + (now - self.stamp) * self.refill)
            self.stamp = now
        if self.tokens >= count:
            self.tokens -= count
            return True
        return False


DEFAULT_THROTTLE = {
    "non_mutating": {"burst": 100, "refill": 20},
    "mutating": {"burst": 50, "refill": 5},
}

_MALFORMED = ("body", "truncate", "pad", "redirect")
_EFFECTS = ("status", "throttle", "drop", "latency_ms") + _MALFORMED


def _check_rule(rule: dict) -> dict:
    if not isinstance(rule, dict):
        raise FaultError("a rule is a JSON object")
    effects = [name for name in _EFFECTS if name in rule and name != "status"]
    malformed = [name for name in _MALFORMED if name in rule]
    if ("status" in rule or "code" in rule) and not malformed:
        effects.append("status")
    if len(effects) != 1:
        raise FaultError("a rule needs exactly one of status/code, throttle, drop, latency_ms, "
                         f"body, truncate, pad, redirect: {rule}")
    if malformed:
        _check_malformed(rule, malformed[0])
    elif "status" in effects:
        status = int(rule.get("status", 400))
        if not 300 <= status <= 599:
            raise FaultError(f"status {status} is not an error status")
        if not rule.get("code"):
            raise FaultError("an error rule needs a code")
    if "key" in rule and (not isinstance(rule["key"], str) or not rule["key"]):
        raise FaultError("key must be a non-empty string")
    for name in ("count", "skip"):
        if name in rule and (not isinstance(rule[name], int) or rule[name] < 0):
            raise FaultError(f"{name} must be a non-negative integer")
    checked = dict(rule)
    checked.setdefault("service", "*")
    checked.setdefault("action", "*")
    checked["matched"] = 0
    checked["applied"] = 0
    return checked


def _check_malformed(rule: dict, effect: str) -> None:
    value = rule[effect]
    if effect == "body" and not isinstance(value, str):
        raise FaultError("body must be a string")
    if effect in ("truncate", "pad") and (not isinstance(value, int) or isinstance(value, bool)
                                          or value < 0):
        raise FaultError(f"{effect} must be a non-negative integer")
    if effect == "redirect" and value != "self":
        raise FaultError('redirect must be "self"')
    if "code" in rule:
        raise FaultError(f"code does not go with {effect}")
    if "status" not in rule:
        return
    # truncate and pad keep moto's status: they spoil its body only.
    allowed = {"body": range(200, 600), "redirect": (301, 302, 307, 308)}.get(effect, ())
    if rule["status"] not in allowed:
        raise FaultError(f"status {rule['status']!r} does not go with {effect}")


class FaultInjector:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self.clear()

    def clear(self) -> None:
        with self._lock:
            self._rules: list[dict] = []
            self._latency_ms = 0.0
            self._error_rate = 0.0
            self._drop_rate = 0.0
            self._random = random.Random(0)
            self._throttle: dict | None = None
            self._buckets: dict[tuple[str, bool], TokenBucket] = {}

    def configure(self, config: dict) -> None:
        """Add rules and set the global settings given; settings not named
        keep their values."""
        if not isinstance(config, dict):
            raise FaultError("the fault configuration is a JSON object")
        unknown = set(config) - {"rules", "latency_ms", "error_rate", "drop_rate", "seed", "throttle"}
        if unknown:
            raise FaultError(f"unknown fault settings: {sorted(unknown)}")
        rules = [_check_rule(rule) for rule in config.get("rules", [])]
        for name in ("error_rate", "drop_rate"):
            if name in config and not 0.0 <= float(config[name]) <= 1.0:
                raise FaultError(f"{name} must lie between 0 and 1")
        throttle = config.get("throttle")
        with self._lock:
            self._rules.extend(rules)
            if "latency_ms" in config:
                self._latency_ms = float(config["latency_ms"])
            if "error_rate" in config:
                self._error_rate = float(config["error_rate"])
            if "drop_rate" in config:
                self._drop_rate = float(config["drop_rate"])
            if "seed" in config:
                self._random = random.Random(config["seed"])
            if throttle is not None:
                if throttle is False:
                    self._throttle = None
                else:
                    settings = {key: dict(value) for key, value in DEFAULT_THROTTLE.items()}
                    if isinstance(throttle, dict):
                        for kind in settings:
                            settings[kind].update(throttle.get(kind, {}))
                    self._throttle = settings
                self._buckets = {}

    def describe(self) -> dict:
        with self._lock:
            return {
                "rules": [dict(rule) for rule in self._rules],
                "latency_ms": self._latency_ms,
                "error_rate": self._error_rate,
                "drop_rate": self._drop_rate,
                "throttle": self._throttle or False,
            }

    def decide(self, service: str, action: str, bucket_throttle: bool = True,
               key: str | None = None) -> Decision:
        """What to do with one request (`key`: an S3 request's object key).
        `bucket_throttle` False leaves the service's buckets out (the
        realistic profile meters it instead)."""
        decision = Decision(latency_ms=self._latency_ms)
        with self._lock:
            for index, rule in enumerate(self._rules):
                if rule["service"] not in ("*", service) or rule["action"] not in ("*", action):
                    continue
                if "key" in rule and rule["key"] != key:
                    continue
                rule["matched"] += 1
                if rule["matched"] <= rule.get("skip", 0):
                    continue
                if "count" in rule and rule["applied"] >= rule["count"]:
                    continue
                if "latency_ms" in rule:
                    rule["applied"] += 1
                    decision.latency_ms += float(rule["latency_ms"])
                    continue
                rule["applied"] += 1
                decision.rule = index
                malformed = [name for name in _MALFORMED if name in rule]
                if malformed:
                    decision.malformed = {malformed[0]: rule[malformed[0]]}
                    if "status" in rule:
                        decision.malformed["status"] = rule["status"]
                elif rule.get("drop"):
                    decision.drop = True
                elif rule.get("throttle"):
                    decision.error = protocol.THROTTLE.get(service, protocol.THROTTLE["iam"])
                else:
                    decision.error = (int(rule.get("status", 400)), rule["code"], rule.get("message", ""))
                return decision
            if self._drop_rate and self._random.random() < self._drop_rate:
                decision.drop = True
                return decision
            if self._error_rate and self._random.random() < self._error_rate:
                decision.error = protocol.SERVER_ERROR.get(service, protocol.SERVER_ERROR["iam"])
                return decision
            if self._throttle is not None and bucket_throttle:
                mutating = protocol.is_mutating(action)
                bucket = self._buckets.get((service, mutating))
                if bucket is None:
                    settings = self._throttle["mutating" if mutating else "non_mutating"]
                    bucket = TokenBucket(float(settings["burst"]), float(settings["refill"]))
                    self._buckets[(service, mutating)] = bucket
                if not bucket.take(time.monotonic()):
                    decision.error = protocol.THROTTLE.get(service, protocol.THROTTLE["iam"])
        return decision
