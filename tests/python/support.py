"""Helpers shared by the test modules: the messages the module raises, a key
that runs code from __hash__, and iterator probes."""

from hypothesis import HealthCheck, settings

CHANGED = "dictionary changed size during iteration"
MUT = "Already mutably borrowed"
BORROWED = "Already borrowed"
FUNNEL_FRACTION = "reserve_fraction must be in (0, 0.125]; FunnelHashMap caps the load factor at 1/8 by design"
ELASTIC_FRACTION = "reserve_fraction must be in the open interval (0, 1)"


def bumped(it):
    """Whether the live iterator `it` sees its owner changed (consumes one step)."""
    try:
        next(it)
    except RuntimeError as e:
        assert str(e) == CHANGED
        return True
    except StopIteration:
        pass
    return False


class HookKey:
    """Runs `hook` from __hash__; equal by name."""

    def __init__(self, name, hook=None):
        self.name = name
        self.hook = hook

    def __hash__(self):
        if self.hook:
            self.hook()
        return hash(self.name)

    def __eq__(self, other):
        return isinstance(other, HookKey) and other.name == self.name


def machine_tests(machine, classes, max_examples, steps):
    """One hypothesis TestCase per container class for a state machine whose
    class attribute `cls` names the class under test."""
    chosen = settings(
        max_examples=max_examples,
        stateful_step_count=steps,
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow],
    )
    tests = {}
    for cls in classes:
        bound = type(cls.__name__ + "Machine", (machine,), {"cls": cls})
        case = bound.TestCase
        case.settings = chosen
        tests["Test" + cls.__name__] = case
    return tests
