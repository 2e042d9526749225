"""Arithmetic on the benchmark's figures, shared by its rows and its report:
a figure may be missing (None), and what is made of it is missing then too."""


def percentile(values, p):
    """Nearest rank."""
    if not values:
        return None
    ordered = sorted(values)
    rank = max(1, int(-(-p * len(ordered) // 100)))
    return ordered[min(rank, len(ordered)) - 1]


def plus(a, b):
    return None if a is None or b is None else a + b


def ratio(road, floor):
    if road is None or floor is None or floor <= 0:
        return None
    return road / floor


def difference(road, floor):
    return None if road is None or floor is None else road - floor
