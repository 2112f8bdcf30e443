"""Runs botocore's adaptive-mode rate limiter (ClientRateLimiter with its
CubicCalculator, RateClocker and TokenBucket) through scenarios on a fake
clock, the reference our limiter is checked against.

Reads a JSON list of scenarios on stdin:
  [{"start": 1000.0, "events": [{"t": 1000.2, "send": true},
                                {"t": 1000.3, "code": "Throttling"},
                                {"t": 1000.4, "code": null}, ...]}, ...]
A "send" event is one attempt going out (it may wait for a token, which
advances the clock); a "code" event is an answer: null for a success, else
the error code botocore's throttling detector classifies.
Writes a JSON list with, per scenario, one state object per event.
"""
import json
import math
import sys

from botocore.retries import adaptive, bucket, standard, throttling


class FakeClock:
    def __init__(self, now):
        self.now = now

    def current_time(self):
        return self.now

    def sleep(self, amount):
        # Always moves, even when `amount` is below the clock's resolution.
        self.now = max(self.now + amount, math.nextafter(self.now, math.inf))


class FakeCondition:
    """The bucket's condition variable, waiting on the fake clock."""

    def __init__(self, lock, clock):
        self._lock, self._clock = lock, clock

    def __enter__(self):
        self._lock.acquire()

    def __exit__(self, *exc):
        self._lock.release()

    def wait(self, timeout):
        self._clock.sleep(timeout)

    def notify(self):
        pass


def make_limiter(clock):
    # As adaptive.register_retry_handler builds it, on our clock.
    rate_adjustor = throttling.CubicCalculator(starting_max_rate=0, start_time=clock.current_time())
    token_bucket = bucket.TokenBucket(max_rate=1, clock=clock)
    token_bucket._new_fill_rate_condition = FakeCondition(token_bucket._lock, clock)
    rate_clocker = adaptive.RateClocker(clock)
    detector = standard.ThrottlingErrorDetector(retry_event_adapter=standard.RetryEventAdapter())
    limiter = adaptive.ClientRateLimiter(
        rate_adjustor=rate_adjustor,
        rate_clocker=rate_clocker,
        token_bucket=token_bucket,
        throttling_detector=detector,
        clock=clock,
    )
    return limiter, rate_adjustor, token_bucket, rate_clocker


def needs_retry_kwargs(code):
    parsed = {} if code is None else {"Error": {"Code": code, "Message": ""}}
    return {
        "response": (None, parsed),
        "attempts": 1,
        "operation": None,
        "caught_exception": None,
        "request_dict": {"context": {}},
    }


def run(scenario):
    clock = FakeClock(scenario["start"])
    limiter, cubic, token_bucket, clocker = make_limiter(clock)
    states = []
    for event in scenario["events"]:
        clock.now = max(clock.now, event["t"])
        if event.get("send"):
            limiter.on_sending_request(request=None)
        else:
            limiter.on_receiving_response(**needs_retry_kwargs(event["code"]))
        params = cubic.get_params_snapshot()
        states.append({
            "now": clock.now,
            "measured_rate": clocker.measured_rate,
            "fill_rate": token_bucket.max_rate,
            "max_capacity": token_bucket.max_capacity,
            "available_capacity": token_bucket.available_capacity,
            "w_max": params.w_max,
            "k": params.k,
            "last_fail": params.last_fail,
            "enabled": limiter._enabled,
        })
    return states


def main():
    json.dump([run(scenario) for scenario in json.load(sys.stdin)], sys.stdout)


if __name__ == "__main__":
    main()
