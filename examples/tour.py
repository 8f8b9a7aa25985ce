"""A short tour of brindle: drop-in dict and set replacements backed by
elastic and funnel hashing."""

import sys
import sysconfig

import brindle


def main() -> None:
    ft = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    print(f"brindle on Python {sys.version.split()[0]} ({'free-threaded' if ft else 'GIL'} build)")
    if ft:
        print(f"GIL enabled after import: {sys._is_gil_enabled()}")
    print(f"classes: {', '.join(brindle.__all__) or '(none registered yet)'}")


if __name__ == "__main__":
    main()
