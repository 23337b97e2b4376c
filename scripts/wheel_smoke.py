"""Quick check of an installed Corvane, run by scripts/wheels.sh in a fresh
virtual environment (never from the source tree).

    python wheel_smoke.py             import, a few queries, version check
    python wheel_smoke.py --bundled   and require CRoaring and Abseil to have
                                      been loaded from the installed package
                                      (the libraries a repaired wheel carries)

Prints one line per check and exits non-zero when any failed.
"""

import importlib.metadata
import os
import sys

failures = 0


def check(what, ok):
    global failures
    print(("ok      " if ok else "FAILED  ") + what)
    failures += not ok


import Corvane  # noqa: E402
from Corvane import Index, Indexable, PyQueryExpr as Q  # noqa: E402

print("Corvane", Corvane.__version__, "from", Corvane.__file__,
      "on", sys.implementation.name, sys.version.split()[0])


class Part(Indexable):
    pass


bolt = Part(kind="bolt", size=3)
nut = Part(kind="nut", size=5.5)
long_bolt = Part(kind="bolt", size=8)
washer = Part(kind="washer", size=1)
parts = Index()
parts.add_object_many([washer, long_bolt, nut, bolt])

check("get_by_attribute(kind='bolt')", parts.get_by_attribute(kind="bolt") == [bolt, long_bolt])
check("get_by_attribute(kind=[...], size=8)",
      parts.get_by_attribute(kind=["bolt", "nut"], size=8) == [long_bolt])
check("range query 3 <= size < 8",
      parts.reduced_query(Q.and_(Q.ge("size", 3), Q.lt("size", 8))).collect() == [bolt, nut])
nut.size = 9  # the index follows the object
check("range query bt(size, 1, 5.5) after an update",
      parts.reduced_query(Q.bt("size", 1, 5.5)).collect() == [bolt, washer])

dist_version = importlib.metadata.version("Corvane")
check(f"__version__ {Corvane.__version__} == package metadata {dist_version}",
      Corvane.__version__ == dist_version)

if "--bundled" in sys.argv[1:]:
    # Every file this process has mapped (the last field, when it is a path).
    with open("/proc/self/maps") as maps:
        loaded = {line.split()[-1] for line in maps if line.split()[-1].startswith("/")}
    ours = [p for p in loaded if os.path.basename(p).startswith(("libroaring", "libabsl_"))]
    package_dir = os.path.dirname(os.path.abspath(Corvane.__file__))
    for path in sorted(ours):
        print("loaded", path)
    check("CRoaring and Abseil loaded from the installed package only",
          any("roaring" in os.path.basename(p) for p in ours)
          and all(p.startswith(package_dir + os.sep) for p in ours))

sys.exit(1 if failures else 0)
