"""Stand-in for the Katana host package."""
from PyUtilModule import KatanaFile  # noqa: F401
from Katana import Configuration, FarmAPI, Nodes3DAPI  # noqa: F401
