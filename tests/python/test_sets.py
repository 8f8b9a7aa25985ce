"""What the set state machine does not drive: a membership test that raises
half-way through an intersection."""

import pytest

from support import bumped


class FlakyHash:
    """Hashes once, then raises: the stored element fails Python's set membership."""

    def __init__(self):
        self.calls = 0

    def __hash__(self):
        self.calls += 1
        if self.calls > 1:
            raise ArithmeticError("hash again")
        return 7


@pytest.mark.parametrize("op", [lambda s: s.intersection_update([1, 2]), lambda s: s.__iand__((1, 2))])
def test_retain_keeps_the_element_whose_membership_test_raises(set_cls, op):
    bomb = FlakyHash()
    s = set_cls(range(20))
    s.add(bomb)
    order = list(s)
    it = iter(s)
    with pytest.raises(ArithmeticError, match="hash again"):
        op(s)
    left = list(s)
    # The element stays, the removals made before it stay too, and they invalidate iterators.
    assert any(x is bomb for x in left) and bumped(it) == (len(left) < len(order))
    before_bomb = order[: order.index(bomb)]
    assert [x for x in left if x in before_bomb] == [x for x in before_bomb if x in (1, 2)]
    pytest.raises(ArithmeticError, lambda: s & [1])
