# The anchor: the accessibility snapshot's query made with pyatspi in a running process. Finds the
# application of a process id, its active window, and the focused element below it (the
# application searches its own tree through the Collection interface), then reads their roles and
# the element's name. Prints the answer, then the median of many queries in milliseconds.
import statistics
import sys
import time

import pyatspi


def query(pid):
    desktop = pyatspi.Registry.getDesktop(0)
    for app in desktop:
        if app is None or app.get_process_id() != pid:
            continue
        window = None
        for child in app:
            if child is not None and child.getState().contains(pyatspi.STATE_ACTIVE):
                window = child
                break
        if window is None:
            return None
        collection = window.queryCollection()
        rule = collection.createMatchRule(
            pyatspi.StateSet(pyatspi.STATE_FOCUSED).raw(), collection.MATCH_ALL,
            "", collection.MATCH_ALL, "", collection.MATCH_ALL, "", collection.MATCH_ALL, False)
        found = collection.getMatches(rule, collection.SORT_ORDER_CANONICAL, 1, True)
        element = found[0] if found else None
        return (window.getRoleName(), element.getRoleName() if element else None,
                element.name if element else None)
    return None


def main():
    pid = int(sys.argv[1])
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    print(query(pid), flush=True)
    for _ in range(50):
        query(pid)
    times = []
    for _ in range(count):
        start = time.perf_counter()
        query(pid)
        times.append(time.perf_counter() - start)
    print("%.4f" % (statistics.median(times) * 1000.0), flush=True)


main()
