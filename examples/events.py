"""An event log queried by time ranges.

    python examples/events.py

Timestamps are stored as float seconds since the epoch: range queries need
plain int or float values (a datetime would be matched by equality only).
"""

import random
from datetime import datetime, timedelta, timezone

from Corvane import Index, Indexable
from Corvane import PyQueryExpr as Q

START = datetime(2024, 3, 1, tzinfo=timezone.utc)
SERVICES = ["api", "auth", "billing", "search"]
LEVELS = ["debug", "info", "warning", "error"]


class Event(Indexable):
    at: float
    service: str
    level: str
    duration_ms: int
    acked: bool


def stamp(moment: datetime) -> float:
    return moment.timestamp()


def main() -> None:
    rng = random.Random(5)
    # An Index[Event]: type checkers see its results as lists of Event objects.
    log = Index[Event]()
    at = stamp(START)
    for _ in range(5_000):  # one day of events, a few seconds apart
        at += rng.expovariate(1 / 17)
        log.add_object(Event(
            at=at,
            service=rng.choice(SERVICES),
            level=rng.choices(LEVELS, [50, 40, 8, 2])[0],
            duration_ms=int(rng.lognormvariate(3, 1)),
            acked=False,
        ))

    def window(start: datetime, hours: float) -> Q:
        return Q.bt("at", stamp(start), stamp(start + timedelta(hours=hours)))

    morning = window(START + timedelta(hours=8), 4)
    in_morning = log.reduced_query(morning).collect()
    print(f"events 08:00-12:00: {len(in_morning)}")

    problems = Q.and_(morning, Q.in_("level", ["warning", "error"]))
    for service in SERVICES:
        found = log.reduced(service=service).reduced_query(problems).collect()
        print(f"  {service:<8} warnings and errors: {len(found)}")

    slow = log.reduced_query(Q.and_(morning, Q.gt("duration_ms", 200))).collect()
    print(f"slow requests (> 200 ms) 08:00-12:00: {len(slow)}")
    assert slow == [e for e in in_morning if e.duration_ms > 200]

    # An operator acknowledges the errors of the morning; later queries see it.
    errors = Q.and_(Q.eq("level", "error"), Q.eq("acked", False))
    morning_errors = log.reduced_query(Q.and_(morning, errors)).collect()
    for event in morning_errors:
        event.acked = True
    open_errors = log.reduced_query(errors).collect()
    print(f"errors acknowledged: {len(morning_errors)}, still open today: {len(open_errors)}")
    assert not set(morning_errors) & set(open_errors)

    last = max(e.at for e in log.collect())
    recent = log.reduced_query(Q.ge("at", last - 3600)).collect()
    first = datetime.fromtimestamp(recent[0].at, timezone.utc)
    print(f"last hour: {len(recent)} events, from {first:%H:%M:%S}")


if __name__ == "__main__":
    main()
