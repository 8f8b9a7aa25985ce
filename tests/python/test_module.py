"""The module and its classes as objects: what is exported, what the classes
refuse, and where the module may be imported."""

import gc
import subprocess
import sys
import sysconfig
import types
import weakref

import pytest

import brindle
from support import ALL_CLASSES, MAP_CLASSES, filled

EXPORTED = [
    "ElasticHashMap", "FunnelHashMap", "ElasticHashSet", "FunnelHashSet",
    "elastic_keys", "elastic_values", "elastic_items", "_ElasticKeyIter", "_ElasticValueIter", "_ElasticItemIter",
    "funnel_keys", "funnel_values", "funnel_items", "_FunnelKeyIter", "_FunnelValueIter", "_FunnelItemIter",
]  # fmt: skip


def test_exports_exactly_the_sixteen_classes():
    assert brindle.__all__ == EXPORTED
    assert all(isinstance(getattr(brindle, name), type) for name in EXPORTED)
    # Reachable so that it can be caught, but not exported, and not hidden by `except Exception`.
    assert issubclass(brindle.PanicException, BaseException) and not issubclass(brindle.PanicException, Exception)


def test_import_keeps_the_gil_disabled_on_free_threaded_builds():
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        pytest.skip("a GIL build")
    code = "import sys, brindle; print(sys._is_gil_enabled())"
    out = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False", out.stderr


def test_subinterpreters_get_an_import_error():
    interpreters = pytest.importorskip("concurrent.interpreters")
    interp = interpreters.create()
    try:
        with pytest.raises(Exception, match="ImportError"):
            interp.exec("import brindle")
    finally:
        interp.close()


@pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
def test_class_surface(cls):
    assert cls.__module__ == "brindle" and cls.__qualname__ == cls.__name__
    alias = cls[str, int]
    assert isinstance(alias, types.GenericAlias) and alias.__origin__ is cls and alias.__args__ == (str, int)
    c = cls()
    for refused in (lambda: type("Sub", (cls,), {}), lambda: hash(c), lambda: weakref.ref(c)):
        pytest.raises(TypeError, refused)
    pytest.raises(AttributeError, setattr, c, "anything", 1)
    it = type(iter(c))
    assert it.__name__ == "_" + cls.__name__.replace("HashMap", "KeyIter").replace("HashSet", "SetIter")
    assert it.__module__ == "brindle" and hasattr(brindle, it.__name__) == (cls in MAP_CLASSES)
    pytest.raises(TypeError, it)
    c = filled(cls, ["a" * 20, "b" * 20])
    it, expected = iter(c), list(c)
    del c
    gc.collect()
    assert iter(it) is it and list(it) == expected  # the iterator keeps its owner alive
