"""Stand-in for Katana's FnGeolibServices."""
from FnGeolibServices import LookFile  # noqa: F401
