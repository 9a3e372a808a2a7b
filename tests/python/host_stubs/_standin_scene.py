"""The scene the stand-in host holds, read from a scene document (docs/scene-document.md),
the same JSON file the standalone host reads. Failures raise RuntimeError with the same
text as the standalone host's load errors.

When KATANA_STANDIN_SCENE names a document, it is loaded on import, as a host started with
a scene already holds it.
"""
import json
import os

import FnAttribute


def read_json_file(path):
    """The parsed document, or raises RuntimeError("<path>: <problem>")."""
    try:
        with open(path, "rb") as stream:
            data = stream.read()
    except (IOError, OSError):
        raise RuntimeError(path + ": cannot open file")
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    try:
        return json.loads(data.decode("utf-8"))
    except ValueError as error:
        raise RuntimeError(path + ": invalid JSON: " + str(error))


class Parameter(object):
    def __init__(self, name, value):
        self._name = name
        self._children = []
        self._value = None
        self._error = None
        self._group = False
        if isinstance(value, dict) and not (len(value) == 1 and "$error" in value):
            self._group = True
            self._children = [Parameter(key, child) for key, child in value.items()]
        elif isinstance(value, list):
            self._group = True
            self._children = [Parameter("i%d" % i, child) for i, child in enumerate(value)]
        elif isinstance(value, dict):
            error = value["$error"]
            self._error = error if isinstance(error, str) else json.dumps(error)
        else:
            self._value = value

    def getName(self):
        return self._name

    def getType(self):
        if self._group:
            return "group"
        return "string" if isinstance(self._value, str) else "number"

    def getValue(self, time):
        if self._error is not None:
            raise RuntimeError(self._error)
        return self._value

    def setValue(self, value, time, final=True, sendNotifyMessage=True):
        self._error = None
        self._value = value

    def getChildren(self):
        return list(self._children)

    def getChild(self, name):
        found = None
        for child in self._children:
            if child._name == name:
                found = child
        return found

    def getNumChildren(self):
        return len(self._children)


class Node(object):
    def __init__(self, name, node_type, bypassed, parameters, render_info, producer):
        self._name = name
        self._type = node_type
        self._bypassed = bypassed
        self._root = Parameter("", parameters)
        self._parent = None
        self.render_info = render_info
        self.producer = producer

    def getName(self):
        return self._name

    def getType(self):
        return self._type

    def getParent(self):
        return self._parent

    def isBypassed(self):
        return self._bypassed

    def getParameters(self):
        return self._root

    def getParameter(self, name):
        current = self._root
        for part in name.split(".") if name else []:
            current = current.getChild(part)
            if current is None:
                return None
        return current


class Location(object):
    """A scene-graph location as GetRenderProducer gives it (a GeometryProducer)."""

    def __init__(self, full_name, location_type, attributes, children):
        self._full_name = full_name
        self._type = location_type
        self._attributes = attributes
        self._children = children

    def getFullName(self):
        return self._full_name

    def getName(self):
        return self._full_name.rsplit("/", 1)[-1]

    def getType(self):
        return self._type

    def getAttribute(self, name):
        if not name:
            return None
        current = self._attributes
        for part in name.split("."):
            found = None
            if isinstance(current, FnAttribute.GroupAttribute):
                for key, child in current.childList():
                    if key == part:
                        found = child
                        break
            if found is None:
                return None
            current = found
        return current

    def getAttributeNames(self):
        return [key for key, _ in self._attributes.childList()]

    def iterChildren(self):
        return iter(list(self._children))


class Scene(object):
    def __init__(self):
        self.nodes = []
        self.group_class = FnAttribute.GroupAttribute

    def node(self, name):
        for node in self.nodes:
            if node.getName() == name:
                return node
        return None


def _location(tree, parent_full, where, group_class):
    if not isinstance(tree, dict):
        raise RuntimeError(where + ": a location must be an object")
    name = tree.get("name")
    if not isinstance(name, str):
        raise RuntimeError(where + ': a location needs a string "name"')
    full_name = tree.get("fullName")
    if not isinstance(full_name, str):
        full_name = ("/" if parent_full in ("", "/") else parent_full + "/") + name
    location_type = tree.get("type", "group")
    attributes = tree.get("attributes", {})
    if not isinstance(attributes, dict):
        raise RuntimeError(where + ': "attributes" of location \'' + name + "' must be an object")
    try:
        attribute = FnAttribute.from_json(attributes, group_class)
    except ValueError as error:
        raise RuntimeError(where + ": location '" + name + "': " + str(error))
    children = []
    if "children" in tree:
        if not isinstance(tree["children"], list):
            raise RuntimeError(where + ': "children" of location \'' + name + "' must be an array")
        children = [_location(child, full_name, where, group_class) for child in tree["children"]]
    return Location(full_name, location_type, attribute, children)


def scene_from_document(document, where):
    """A Scene from a parsed document; raises RuntimeError as the standalone host does."""
    if not isinstance(document, dict):
        raise RuntimeError(where + ": a scene document must be a JSON object")
    if "load_error" in document:
        error = document["load_error"]
        raise RuntimeError(error if isinstance(error, str) else json.dumps(error, separators=(",", ":"), ensure_ascii=False))
    scene = Scene()
    if "group_attributes_offer" in document:
        offer = document["group_attributes_offer"]
        if not isinstance(offer, list):
            raise RuntimeError(where + ': "group_attributes_offer" must be an array')
        for item in offer:
            if item == "childNames":
                scene.group_class = FnAttribute.GroupAttr
            elif item != "childList":
                raise RuntimeError(where + ': unknown listing in "group_attributes_offer": ' + json.dumps(item, separators=(",", ":"), ensure_ascii=False))
    graphs = document.get("scene_graphs", {})
    if not isinstance(graphs, dict):
        raise RuntimeError(where + ': "scene_graphs" must be an object')
    roots = {}
    for name, tree in graphs.items():
        roots[name] = _location(tree, "", where + ": scene graph '" + name + "'", scene.group_class)
    nodes = document.get("nodes", [])
    if not isinstance(nodes, list):
        raise RuntimeError(where + ': "nodes" must be an array')
    for entry in nodes:
        if not isinstance(entry, dict) or not isinstance(entry.get("name"), str):
            raise RuntimeError(where + ': every node needs a string "name"')
        name = entry["name"]
        if scene.node(name) is not None:
            raise RuntimeError(where + ": duplicate node name '" + name + "'")
        if not isinstance(entry.get("type"), str):
            raise RuntimeError(where + ": node '" + name + '\' needs a string "type"')
        bypassed = entry.get("bypassed", False)
        if not isinstance(bypassed, bool):
            raise RuntimeError(where + ': "bypassed" of node \'' + name + "' must be true or false")
        parameters = entry.get("parameters", {})
        if not isinstance(parameters, dict):
            raise RuntimeError(where + ': "parameters" of node \'' + name + "' must be an object")
        render_info = entry.get("render_info", {})
        if not isinstance(render_info, dict) or (
                "outputs" in render_info and not isinstance(render_info["outputs"], list)):
            raise RuntimeError(where + ': "render_info" of node \'' + name
                               + '\' must be an object with an "outputs" array or an "error"')
        producer = entry.get("producer")
        if isinstance(producer, str):
            if producer not in roots:
                raise RuntimeError(where + ": node '" + name + "' names unknown scene graph '"
                                   + producer + "'")
            producer = roots[producer]
        elif producer is not None:
            producer = _location(producer, "", where + ": producer of node '" + name + "'",
                                 scene.group_class)
        scene.nodes.append(Node(name, entry["type"], bypassed, parameters, render_info, producer))
    for entry, node in zip(nodes, scene.nodes):
        parent = entry.get("parent")
        if parent is None:
            continue
        found = scene.node(parent) if isinstance(parent, str) else None
        if found is None:
            raise RuntimeError(where + ": node '" + node.getName() + "' has unknown parent "
                               + json.dumps(parent, separators=(",", ":"), ensure_ascii=False))
        node._parent = found
    return scene


current = Scene()


def load(path):
    """Replaces the current scene with the document at `path`."""
    global current
    current = scene_from_document(read_json_file(path), path)


if os.environ.get("KATANA_STANDIN_SCENE"):
    load(os.environ["KATANA_STANDIN_SCENE"])
