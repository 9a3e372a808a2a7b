"""Stand-in for FnGeolibServices.LookFile: a look file is a JSON document on disk (see
docs/scene-document.md, "Look files")."""
import FnAttribute
import _standin_scene


class AttrMap(object):
    def __init__(self, entries):
        self._entries = entries

    def getKeys(self):
        return FnAttribute.StringAttribute([key for key, _ in self._entries])

    def get(self, key):
        for name, value in self._entries:
            if name == key:
                return value
        return None


class LookFile(object):
    def __init__(self, filePath, passName=""):
        document = _standin_scene.read_json_file(filePath)
        if not isinstance(document, dict) or not isinstance(document.get("materials"), list):
            raise RuntimeError(filePath + ': a look file needs a "materials" array')
        group_class = _standin_scene.current.group_class
        self._materials = []
        for entry in document["materials"]:
            if not isinstance(entry, dict) or not isinstance(entry.get("key"), str):
                raise RuntimeError(filePath + ': every material needs a string "key"')
            key = entry["key"]
            attributes = entry.get("attributes", {})
            if not isinstance(attributes, dict):
                raise RuntimeError(filePath + ': "attributes" of material \'' + key
                                   + "' must be an object")
            try:
                material = FnAttribute.from_json(attributes, group_class) if attributes else None
            except ValueError as error:
                raise RuntimeError(str(error))
            self._materials.append((key, entry.get("type", "material"), material))

    def getMaterials(self):
        return AttrMap([(key, material) for key, _, material in self._materials])

    def getMaterialType(self, materialName):
        for key, material_type, _ in self._materials:
            if key == materialName:
                return material_type
        raise RuntimeError("look file has no material '" + materialName + "'")

    def getMaterial(self, materialName, asGlobal=True):
        for key, _, material in self._materials:
            if key == materialName:
                return material
        return None
