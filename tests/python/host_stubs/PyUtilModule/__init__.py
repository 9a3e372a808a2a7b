"""Stand-in for Katana's PyUtilModule."""
from PyUtilModule import KatanaFile  # noqa: F401
