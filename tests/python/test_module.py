import subprocess
import sys
import sysconfig

import brindle


def test_import_keeps_the_gil_disabled_on_free_threaded_builds():
    # A fresh interpreter: importing must not re-enable the GIL (the module
    # declares it needs none).  On a GIL build there is nothing to check.
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        return
    code = "import sys, brindle; print(sys._is_gil_enabled())"
    out = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False", out.stderr


def test_module_shape():
    assert brindle.__name__ == "brindle"
    assert brindle.__doc__ == ""
    assert isinstance(brindle.__all__, list)
    assert all(hasattr(brindle, name) for name in brindle.__all__)
