"""The end-to-end scenes run through both backends: the module with the stand-in host
modules must leave the same job files, byte for byte, and print the same console lines as
the executable with its standalone host."""
import json
import os
import shutil
import unittest

import support

EXAMPLE_TASK = os.path.join(support.SOURCE_DIR, "examples", "job", "task.json")
EXAMPLE_SCENE = os.path.join(support.SOURCE_DIR, "examples", "scene.json")

RENDER_TASK = {"software_config": {"cg_name": "Katana", "cg_version": "4.5", "plugins": {}},
               "argument_info": {"dependency_task": {"pre_task": [], "post_task": [{"id": 312}]}}}


def render_scene(out):
    """Render nodes: one good, one bypassed, one failing inside the per-node guard, one
    whose only output is temporary; graph state variables with options."""
    return {
        "header": {"version": "4.5"},
        "nodes": [
            {"name": "rootNode", "type": "Group",
             "parameters": {"inTime": 1.0, "outTime": 10.0, "variables": {
                 "shot": {"enable": 1.0, "value": "a", "options": ["a", "b"]},
                 "take": {"enable": 0.0, "value": 3.5, "options": [1.0, 2.0]}}}},
            {"name": "Good", "type": "Render", "parent": "rootNode",
             "parameters": {"lock": 1.0, "farmSettings": {"TimeRange": "1-5"}},
             "render_info": {"outputs": [
                 {"name": "primary", "outputFile": out + "/a.#.exr",
                  "imageInfo": {"fileExtension": "exr"}},
                 {"name": "deep", "outputFile": out + "/deep/d.#.exr",
                  "imageInfo": {"fileExtension": "deepexr"}}]}},
            {"name": "Off", "type": "Render", "parent": "rootNode", "bypassed": True},
            {"name": "Broken", "type": "Render", "parent": "rootNode",
             "parameters": {"lock": 1.0}, "render_info": {"error": "no camera"}},
            {"name": "NoKey", "type": "Render", "parent": "rootNode",
             "parameters": {"lock": 1.0},
             "render_info": {"outputs": [{"name": "primary", "imageInfo": {"fileExtension": "exr"}}]}},
            {"name": "Temporary", "type": "Render", "parent": "rootNode",
             "parameters": {"lock": 1.0},
             "render_info": {"outputs": [{"name": "primary", "outputFile": "/var/Temp/t.exr",
                                          "imageInfo": {"fileExtension": "exr"}}]}},
        ]}


class BothBackends(unittest.TestCase):
    def setUp(self):
        self.tree = support.TempTree()
        self.job = self.tree.file("job")
        shutil.copy(support.RULE_FILE, self.tree.file("filter.txt"))

    def tearDown(self):
        self.tree.remove()

    def write_scene(self, document, name="scene.json"):
        return self.tree.write(name, json.dumps(document, indent=1))

    def assert_same(self, scene, prepare_job=None, env=None, cwd=None, batch=False, status=0):
        """Runs both backends and checks they agree; returns the executable's run."""
        if prepare_job is None:
            def prepare_job(job):
                with open(os.path.join(job, "task.json"), "w") as stream:
                    json.dump(RENDER_TASK, stream)
        exe, module = support.run_both(scene, prepare_job, self.job, env=env,
                                       cwd=cwd or self.tree.path, batch=batch)
        self.assertEqual(exe.status, status, exe.err)
        self.assertEqual(module.status, exe.status, module.err)
        self.assertEqual(sorted(module.files), sorted(exe.files))
        for name in exe.files:
            self.assertEqual(module.files[name], exe.files[name], "job file " + name)
        self.assertEqual(module.out, support.as_module_console(exe.out))
        self.assertEqual(module.err, support.as_module_console(exe.err))
        return exe

    def test_render_nodes(self):
        scene = self.write_scene(render_scene(self.tree.file("render")))
        exe = self.assert_same(scene)
        tips = json.loads(exe.files["tips.json"].decode())
        self.assertEqual(tips["70003"], ["Broken", "NoKey"])
        self.assertIn("analyze_sucess", exe.files)

    def test_render_nodes_in_batch_mode(self):
        scene = self.write_scene(render_scene(self.tree.file("render")))
        exe = self.assert_same(scene, batch=True)
        self.assertIn("In BATCH mode.\n", exe.out)
        self.assertNotIn("upload.json", [n for n in exe.files if exe.files[n] is None])

    def test_render_failure_outside_the_node_guard_ends_the_run(self):
        scene = self.write_scene({"nodes": [{"name": "Render1", "type": "Render"}]})
        exe = self.assert_same(scene, status=1)
        self.assertIn("kanana_rendernodes", exe.err)
        self.assertNotIn("analyze_sucess", exe.files)

    def test_scene_without_render_nodes_is_reported(self):
        scene = self.write_scene({"nodes": [{"name": "rootNode", "type": "Group", "parameters": {
            "inTime": 1.0, "outTime": 2.0, "variables": {}}}]})
        exe = self.assert_same(scene, status=1)
        self.assertTrue(exe.err.startswith("Error: "), exe.err)

    def test_missing_scene(self):
        exe = self.assert_same(self.tree.file("no", "such.katana"), status=1)
        self.assertEqual(exe.err, "Error: can not found file:" + self.tree.file("no", "such.katana") + "\n")

    def test_scene_the_host_cannot_load(self):
        scene = self.write_scene({"load_error": "not a katana project"})
        exe = self.assert_same(scene, status=1)
        self.assertIn("Error: file open failed:" + scene, exe.err)
        self.assertIn("upload.json", exe.files)

    def test_job_folder_entry_that_cannot_be_removed(self):
        scene = self.write_scene(render_scene(self.tree.file("render")))

        def prepare(job):
            with open(os.path.join(job, "task.json"), "w") as stream:
                json.dump(RENDER_TASK, stream)
            os.makedirs(os.path.join(job, "left", "over"))
            with open(os.path.join(job, "asset.json"), "w") as stream:
                stream.write("{}")

        # The process status is the low byte of 555, as for any process.
        exe = self.assert_same(scene, prepare_job=prepare, status=555 % 256)
        self.assertIn(os.path.join("left", "over"), exe.files)

    def test_host_value_that_raises_outside_any_guard(self):
        document = render_scene(self.tree.file("render"))
        document["nodes"].append({"name": "Read1", "type": "ImageRead",
                                  "parameters": {"file": {"$error": "expression failed: bad"}}})
        exe = self.assert_same(self.write_scene(document), status=1)
        self.assertIn("Error: expression failed: bad\n", exe.err)

    def test_host_value_that_raises_inside_the_node_guard(self):
        document = render_scene(self.tree.file("render"))
        document["nodes"][0]["parameters"]["outTime"] = {"$error": "curve failed"}
        exe = self.assert_same(self.write_scene(document))
        self.assertIn("Good", json.loads(exe.files["tips.json"].decode())["70003"])

    def test_material_nodes_on_an_older_host_are_visited_twice(self):
        self.tree.write("tex/wood.1001.tx", "")
        self.tree.write("tex/wood.1002.tx", "")
        document = render_scene(self.tree.file("render"))
        document["group_attributes_offer"] = ["childList", "childNames"]
        document["scene_graphs"] = {"main": {
            "name": "root", "attributes": {"customProperties": {"klf": ""}},
            "children": [{"name": "geo", "type": "polymesh", "attributes": {
                "material": {"nodes": {
                    "wood": {"parameters": {"filename": self.tree.file("tex", "wood.<UDIM>.tx"),
                                            "tex0": 1}},
                    "a.b": {"parameters": {"filename": self.tree.file("tex", "gone.exr")}}}}},
                "children": [{"name": "light", "type": "light", "attributes": {"material": {
                    "arnoldSurfaceShader": "image",
                    "arnoldSurfaceParams": {"filename": ["/no/gobo.tx", "/no/other.tx"]}}}}]}]}}
        document["nodes"][1]["producer"] = "main"
        exe = self.assert_same(self.write_scene(document))
        self.assertIn(b"wood.1002.tx", exe.files["asset.json"])

    def test_example_scene_with_every_reader(self):
        self.assert_example()

    def test_example_scene_in_batch_mode(self):
        self.assert_example(batch=True)

    def test_example_scene_with_assets_ignored(self):
        exe = self.assert_example(env={"katana_ignore_assets": "1"})
        self.assertIn("*****ignore analyse asset******", exe.out)

    def assert_example(self, env=None, batch=False):
        def prepare(job):
            shutil.copy(EXAMPLE_TASK, os.path.join(job, "task.json"))

        run_env = {"KATANA_EXAMPLE_ROOT": os.path.join(support.SOURCE_DIR, "examples"),
                   "REDSHIFT_HOME": os.path.join(support.SOURCE_DIR, "tests", "support", "tools")}
        run_env.update(env or {})
        exe = self.assert_same(EXAMPLE_SCENE, prepare_job=prepare, env=run_env,
                               cwd=support.SOURCE_DIR, batch=batch)
        self.assertIn("analyze_sucess", exe.files)
        return exe


if __name__ == "__main__":
    unittest.main()
