import pytest

from brindle import ElasticHashMap, ElasticHashSet, FunnelHashMap, FunnelHashSet

KEYS = {"hit_avg", "hit_max", "miss_avg", "miss_max", "len", "capacity", "slots", "load"}


def full(cls, fraction, n=20_000):
    c = cls.with_options(capacity=n, reserve_fraction=fraction)
    add = c.__setitem__ if hasattr(c, "values") else lambda k, _: c.add(k)
    for k in range(c.capacity):
        add(k, k)
    return c


@pytest.mark.parametrize("cls", (ElasticHashMap, FunnelHashMap, ElasticHashSet, FunnelHashSet))
def test_probe_stats(cls):
    empty = cls().probe_stats()
    assert set(empty) == KEYS and empty["hit_avg"] == empty["hit_max"] == empty["len"] == empty["load"] == 0
    none = full(cls, 0.1, 5).probe_stats(sample=0)
    assert none["hit_max"] == none["miss_max"] == none["miss_avg"] == 0
    with pytest.raises(ValueError, match="sample must not be negative"):
        cls().probe_stats(sample=-1)
    roomy, tight = (full(cls, f) for f in (0.1, 0.001))
    stats = [c.probe_stats(sample=len(c)) for c in (roomy, tight)]
    for c, s in zip((roomy, tight), stats):
        assert (s["len"], s["capacity"], s["load"]) == (len(c), c.capacity, len(c) / s["slots"])
        assert 1 <= s["hit_avg"] <= s["hit_max"] and 1 <= s["miss_avg"] <= s["miss_max"]
        assert c.probe_stats(seed=7) == c.probe_stats(seed=7)
    assert stats[1]["miss_avg"] > 1.5 * stats[0]["miss_avg"] and stats[1]["hit_avg"] > stats[0]["hit_avg"]
    # A sample spread over the table, not its first level: close to the whole.
    assert abs(tight.probe_stats()["hit_avg"] - stats[1]["hit_avg"]) < 0.15 * stats[1]["hit_avg"]
