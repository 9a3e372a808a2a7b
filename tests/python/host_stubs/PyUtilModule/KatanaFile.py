"""Stand-in for Katana's KatanaFile: the scene header and the scene load."""
import json

import _standin_scene


def _text(value):
    return value if isinstance(value, str) else json.dumps(value, separators=(",", ":"))


def _escape(text):
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace('"', "&quot;"))


class Element(object):
    """The header element of a scene file (PyXmlIO.Element)."""

    def __init__(self, attributes):
        self._attributes = attributes

    def __getitem__(self, name):
        return _text(self._attributes[name])

    def __contains__(self, name):
        return name in self._attributes

    def getAttr(self, name):
        return self[name]

    def hasAttr(self, name):
        return name in self._attributes

    def getAttrNames(self):
        return list(self._attributes)

    def getAttrDict(self):
        return dict((key, _text(value)) for key, value in self._attributes.items())

    def __str__(self):
        return "<katana" + "".join(
            ' %s="%s"' % (key, _escape(_text(value))) for key, value in self._attributes.items()) + "/>"


def GetKatanaXMLElement(filename):
    document = _standin_scene.read_json_file(filename)
    header = {}
    if isinstance(document, dict) and "header" in document:
        header = document["header"]
        if not isinstance(header, dict):
            raise RuntimeError(filename + ': "header" must be an object')
    return Element(header)


def Load(fileName, isCrashFile=False):
    _standin_scene.load(fileName)
