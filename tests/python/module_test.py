"""The module `script` itself: what loading it does, its callable entry, where its console
lines go, and how it tolerates the host's open points."""
import json
import os
import shutil
import subprocess
import sys
import textwrap
import unittest

import support

MINIMAL_SCENE = {
    "nodes": [
        {"name": "rootNode", "type": "Group", "parameters": {"inTime": 1.0, "outTime": 2.0, "variables": {}}},
        {"name": "Render1", "type": "Render", "parent": "rootNode", "parameters": {"lock": 1.0},
         "render_info": {"outputs": [{"name": "primary", "outputFile": "/no/out/a.#.exr",
                                      "imageInfo": {"fileExtension": "exr"}}]}}]}


class ModuleTest(unittest.TestCase):
    def setUp(self):
        self.tree = support.TempTree()
        self.scene = self.tree.write("scene.json", json.dumps(MINIMAL_SCENE))
        shutil.copy(support.RULE_FILE, self.tree.file("filter.txt"))

    def tearDown(self):
        self.tree.remove()

    def python(self, code, env=None, stubs_dir=support.STUBS_DIR, cwd=None):
        """Runs `code` in a fresh Python that finds the module and the given host modules."""
        run_env = support.module_env(env, stubs_dir) if stubs_dir else support.clean_env(env)
        run_env["PYTHONPATH"] = os.pathsep.join(p for p in (support.BIN_DIR, stubs_dir) if p)
        return support.run_process([sys.executable, "-c", textwrap.dedent(code)], run_env,
                                   cwd or self.tree.path)

    def test_import_without_host_modules_names_the_missing_one(self):
        status, out, err = self.python("import script", stubs_dir=None)
        self.assertNotEqual(status, 0)
        self.assertIn("ImportError: the analyser needs the Katana host module FnGeolibServices", err)

        partial = self.tree.file("partial_stubs")
        shutil.copytree(support.STUBS_DIR, partial)
        os.remove(os.path.join(partial, "Katana", "Nodes3DAPI.py"))
        with open(os.path.join(partial, "Katana", "__init__.py"), "w") as stream:
            stream.write("from PyUtilModule import KatanaFile\nfrom Katana import Configuration, FarmAPI\n")
        status, out, err = self.python(textwrap.dedent("""
            try:
                import script
            except ImportError as error:
                print("name:", error.name)
                raise
            """), stubs_dir=partial)
        self.assertNotEqual(status, 0)
        self.assertIn("name: Katana.Nodes3DAPI\n", out)
        self.assertIn("module Katana.Nodes3DAPI and cannot import it", err)

    def test_load_appends_the_working_folder_and_looks_for_no_optional_plugin(self):
        # Scene descriptions and USD layers are read by the analyser's own readers, so
        # loading prints nothing about the renderer's or USD's scripting modules.
        status, out, err = self.python("""
            import os, sys
            before = list(sys.path)
            import script
            print(script.CURRENT_OS)
            print(sys.path[len(before):] == [os.getcwd()])
            """)
        self.assertEqual(status, 0, err)
        self.assertEqual(out, "%s\nTrue\n" % sys.platform.rstrip("0123456789"))

    def test_callable_entry_writes_the_same_job_files_as_the_command_line(self):
        job = self.tree.file("job")
        exe, _ = support.run_both(self.scene, lambda j: None, job, cwd=self.tree.path)
        self.assertEqual(exe.status, 0, exe.err)
        shutil.rmtree(job)
        status, out, err = self.python("import script; script.main(%r, %r)" % (self.scene, job))
        self.assertEqual(status, 0, err)
        self.assertEqual(support.snapshot(job), exe.files)
        self.assertTrue(out.startswith("%s\n%s\n%s\n" % (self.scene, job + "/task.json", job + "/system.json")), out)

    def test_console_lines_go_through_sys_stdout_and_an_ended_run_is_system_exit(self):
        job = self.tree.file("job")
        status, out, err = self.python("""
            import io, sys
            import script
            sys.stdout, sys.stderr = io.StringIO(), io.StringIO()
            try:
                script.main(%r, %r)
            except SystemExit as exit:
                code = exit.code
            captured, errors = sys.stdout.getvalue(), sys.stderr.getvalue()
            sys.stdout, sys.stderr = sys.__stdout__, sys.__stderr__
            print(repr(code))
            print(repr(captured.splitlines()[0]))
            print(repr(errors))
            """ % (self.tree.file("missing.katana"), job))
        self.assertEqual(status, 0, err)
        self.assertEqual(out.splitlines(), [
            "1", repr(self.tree.file("missing.katana")),
            repr("Error: can not found file:" + self.tree.file("missing.katana") + "\n")])

    def test_errors_of_the_callable_entry_are_python_exceptions(self):
        self.tree.write("relative-job/task.json", "{}")
        status, out, err = self.python("""
            import script
            try:
                script.main(%r, "relative-job")
            except RuntimeError as error:
                print("RuntimeError:", error)
            """ % self.tree.write("bad.json", json.dumps({"nodes": [{"name": "rootNode", "type": "Group", "parameters": {
                "inTime": 1.0, "outTime": 2.0, "variables": {}}}]})))
        self.assertEqual(status, 0, err)
        self.assertIn('RuntimeError: relative-job/task.json holds no "scene_info"', out)

    def test_interrupt_inside_a_host_call_stops_the_run(self):
        job = self.tree.file("job")
        status, out, err = self.python("""
            import NodegraphAPI
            def interrupted(*args, **kwargs):
                raise KeyboardInterrupt()
            NodegraphAPI.GetNode = interrupted
            import script
            try:
                script.main(%r, %r)
            except KeyboardInterrupt:
                print("interrupted")
            """ % (self.scene, job))
        self.assertEqual(status, 0, err)
        self.assertTrue(out.endswith("interrupted\n"), out)
        self.assertFalse(os.path.exists(os.path.join(job, "analyze_sucess")))

    def test_launch_mode_values_the_host_may_give_for_undefined_keys(self):
        job = self.tree.file("job")
        for value in ("None", '""'):
            shutil.rmtree(job, ignore_errors=True)
            status, out, err = self.python("""
                from Katana import Configuration
                Configuration.get = lambda key: %s
                import script
                script.main(%r, %r)
                """ % (value, self.scene, job))
            self.assertEqual(status, 0, err)
            self.assertNotIn("mode.", out)
            self.assertTrue(os.path.exists(os.path.join(job, "analyze_sucess")))
        status, out, err = self.python("""
            from Katana import Configuration
            def get(key):
                if key == "KATANA_SHELL_MODE":
                    return "1"
                raise KeyError(key)
            Configuration.get = get
            import script
            script.main(%r, %r)
            """ % (self.scene, job), env={"KATANA_STANDIN_SCENE": self.scene})
        self.assertEqual(status, 0, err)
        self.assertIn("In SHELL mode.\n", out)

    @unittest.skipUnless(shutil.which("readelf"), "needs readelf")
    def test_module_needs_no_libpython_and_shows_only_its_init_function(self):
        module = os.path.join(support.BIN_DIR, "script.abi3.so")
        dynamic = subprocess.run(["readelf", "-dW", module], stdout=subprocess.PIPE).stdout.decode()
        self.assertNotIn("libpython", dynamic)
        symbols = subprocess.run(["readelf", "--dyn-syms", "-W", module], stdout=subprocess.PIPE).stdout.decode()
        exported = set()
        for line in symbols.splitlines():
            fields = line.split()
            if len(fields) >= 8 and fields[4] == "GLOBAL" and fields[6] != "UND" and fields[3] == "FUNC":
                exported.add(fields[7].split("@")[0])
        self.assertEqual(exported, {"PyInit_script"})

    def test_too_few_arguments(self):
        status, out, err = support.run_process(
            [sys.executable, support.LAUNCHER, "scene.katana"], support.module_env(), self.tree.path)
        self.assertEqual(status, 2)
        self.assertIn("usage: katana --script run_analyse.py SCENE TASK_JSON SYSTEM_JSON", err)

    def test_file_names_that_are_no_utf8_come_back_unchanged(self):
        folder = os.fsencode(self.tree.path) + b"/caf\xe9"
        os.makedirs(folder)
        job = os.fsdecode(folder) + "/job"
        status, out, err = self.python("""
            import os, script
            script.main(%r, %r)
            print(sorted(os.listdir(%r)))
            """ % (self.scene, job, job))
        self.assertEqual(status, 0, err)
        self.assertIn("'analyze_sucess'", out)


if __name__ == "__main__":
    unittest.main()
