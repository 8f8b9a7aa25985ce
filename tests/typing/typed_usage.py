"""Type-checks with mypy --strict against the shipped stubs."""

from brindle import ElasticHashMap, ElasticHashSet, FunnelHashMap, FunnelHashSet, PanicException


def word_lengths(words: list[str]) -> FunnelHashMap[str, int]:
    m: FunnelHashMap[str, int] = FunnelHashMap()
    for w in words:
        m[w] = len(w)
    return m


def total(m: FunnelHashMap[str, int]) -> int:
    n = 0
    for key in m:
        n += m[key]
    for k, v in m.items():
        n += len(k) + v
    return n + sum(m.values()) + m.get("missing", 0)


def merged(a: ElasticHashMap[str, int], b: dict[str, int]) -> ElasticHashMap[str, int]:
    c = a | b
    c.update(b, extra=1)
    c |= [("x", 2)]
    return c


def evens(limit: int) -> ElasticHashSet[int]:
    s = ElasticHashSet(range(0, limit, 2), capacity=limit)
    s.discard(0)
    return s & range(limit)


def shared(a: FunnelHashSet[str], b: set[str]) -> bool:
    u: FunnelHashSet[str] = a | b
    return a.issubset(u) and "x" not in (a - b) and len(a.union(b)) == len(u)


def miss_cost(s: ElasticHashSet[int]) -> float:
    return s.probe_stats(sample=100)["miss_avg"] + s.probe_stats()["slots"]


print(total(word_lengths(["a", "bb"])), merged(ElasticHashMap(), {"k": 1})["k"], sorted(evens(10)))
print(shared(FunnelHashSet(["x"]), {"y"}))


def sized(n: int) -> int:
    m: FunnelHashMap[int, int]
    try:
        m = FunnelHashMap(capacity=n)
    except PanicException:  # a capacity no table can reach
        return -1
    return m.capacity


print(sized(10))
