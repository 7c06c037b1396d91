#!/usr/bin/python3
"""The Python modules the test servers import, each with the Debian package
that brings it.

scripts/setup runs this file to check them all under /usr/bin/python3; each
server calls require() for its own before importing them, so that a missing
one is named with its package instead of ending in a traceback.
"""
import importlib
import sys

PACKAGES = {
    "pyftpdlib": "python3-pyftpdlib",
    "OpenSSL": "python3-openssl",
    "cryptography": "python3-cryptography",
    "asyncssh": "python3-asyncssh",
    # asyncssh writes encrypted OpenSSH keys with it; only a recommendation
    # of python3-asyncssh, so an install without recommendations lacks it.
    "bcrypt": "python3-bcrypt",
}


def missing(names):
    gone = []
    for name in names:
        try:
            importlib.import_module(name)
        except ImportError:
            gone.append(name)
    return gone


def require(*names):
    gone = missing(names)
    for name in gone:
        print(f"{sys.argv[0]}: the Python module {name} is missing "
              f"(Debian package {PACKAGES[name]}): run scripts/setup", file=sys.stderr)
    if gone:
        sys.exit(3)


if __name__ == "__main__":
    import warnings

    warnings.simplefilter("ignore")  # deprecations printed on import are not what is asked
    gone = missing(PACKAGES)
    for name in gone:
        print(f"/usr/bin/python3 cannot load the module {name}: "
              f"the package {PACKAGES[name]} is missing", file=sys.stderr)
    sys.exit(1 if gone else 0)
