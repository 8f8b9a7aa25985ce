"""Must fail mypy --strict: each line marked below is a type error."""

from brindle import FunnelHashMap, FunnelHashSet

m: FunnelHashMap[str, int] = FunnelHashMap()
m["a"] = "not an int"  # error: value type
m[1] = 2  # error: key type
s: FunnelHashSet[int] = FunnelHashSet()
s.add("x")  # error: element type
n: str = len(m)  # error: len is an int
