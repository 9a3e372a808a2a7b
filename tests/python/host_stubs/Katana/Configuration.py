"""Stand-in for Katana's Configuration: the launch-mode keys come from the process
environment variables of the same names. A key that is unset, empty or "0" is undefined
and gives None."""
import os


def get(key):
    value = os.environ.get(key)
    if not value or value == "0":
        return None
    return value


def has(key):
    return get(key) is not None
