"""Runs the scene analysis inside Katana:

    katana --script run_analyse.py SCENE TASK_JSON SYSTEM_JSON

The module `script` sits beside this file; the process ends with the analysis' status.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import script  # noqa: E402

script.command_line(sys.argv)
