"""Runs the analyser both ways for the Python tests: the katana-analyse executable with its
standalone host, and the module `script` through its launcher inside a Python whose host
modules are the stand-ins in host_stubs/.

The build passes its folders through the environment: ANALYSER_BIN_DIR (the executable,
the module, the launcher and the rule file) and ANALYSER_SOURCE_DIR (the repository).
"""
import os
import shutil
import subprocess
import sys
import tempfile

BIN_DIR = os.environ["ANALYSER_BIN_DIR"]
SOURCE_DIR = os.environ["ANALYSER_SOURCE_DIR"]
STUBS_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "host_stubs")
EXECUTABLE = os.path.join(BIN_DIR, "katana-analyse")
LAUNCHER = os.path.join(BIN_DIR, "run_analyse.py")
RULE_FILE = os.path.join(BIN_DIR, "filter.txt")

# Variables of the caller that would change a run.
HOST_VARIABLES = ("KATANA_UI_MODE", "KATANA_BATCH_MODE", "KATANA_SHELL_MODE", "KATANA_SCRIPT_MODE",
                  "KATANA_VERSION", "katana_ignore_assets", "PROJECT", "REDSHIFT_HOME",
                  "KATANA_STANDIN_SCENE", "PYTHONPATH", "PYTHONHOME", "PYTHONSTARTUP")


class Run(object):
    def __init__(self, status, out, err, files):
        self.status = status
        self.out = out
        self.err = err
        self.files = files  # relative path -> bytes (None for a folder)


def clean_env(extra=None):
    env = dict((k, v) for k, v in os.environ.items() if k not in HOST_VARIABLES)
    env.update(extra or {})
    return env


def module_env(extra=None, stubs_dir=STUBS_DIR):
    env = clean_env(extra)
    env["PYTHONPATH"] = stubs_dir
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    return env


def snapshot(folder):
    files = {}
    for root, dirs, names in os.walk(folder):
        for name in dirs:
            files[os.path.relpath(os.path.join(root, name), folder)] = None
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as stream:
                files[os.path.relpath(path, folder)] = stream.read()
    return files


def run_process(argv, env, cwd):
    process = subprocess.run(argv, env=env, cwd=cwd, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, timeout=300)
    return process.returncode, process.stdout.decode("utf-8", "surrogateescape"), \
        process.stderr.decode("utf-8", "surrogateescape")


def host_program_name():
    """What the module prints as the running host executable."""
    return os.path.basename(sys.executable).lower()


def as_module_console(text):
    """The executable's console text as the module prints it: the program line names the
    host executable, and the step wrapper names the launcher."""
    lines = text.split("\n")
    lines = [host_program_name() if line == "katana-analyse" else line for line in lines]
    return "\n".join(lines).replace("[ERROR] failed: katana-analyse  ", "[ERROR] failed: run_analyse.py  ")


class TempTree(object):
    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="analyser-py-")

    def file(self, *parts):
        return os.path.join(self.path, *parts)

    def write(self, relative, text):
        path = self.file(relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as stream:
            stream.write(text)
        return path

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


def run_both(scene, prepare_job, job, env=None, cwd=None, batch=False):
    """Runs the executable, then the module, on `scene` with the job folder `job` made
    afresh by `prepare_job(job)` before each run. Returns the two Runs."""
    env = dict(env or {})
    if batch:
        env["KATANA_BATCH_MODE"] = "1"
    args = [scene, os.path.join(job, "task.json"), os.path.join(job, "system.json")]
    runs = []
    for argv, run_env in (([EXECUTABLE] + args, clean_env(env)),
                          ([sys.executable, LAUNCHER] + args,
                           module_env(dict(env, KATANA_STANDIN_SCENE=scene) if batch else env))):
        shutil.rmtree(job, ignore_errors=True)
        os.makedirs(job)
        prepare_job(job)
        status, out, err = run_process(argv, run_env, cwd)
        runs.append(Run(status, out, err, snapshot(job)))
    return runs
