"""Stand-in for Katana's FnAttribute: group and data attributes.

Group attributes offer childList(); getChildByName() also takes a dotted path. Scenes made
for older hosts use GroupAttr, which also offers childNames().
"""


class Attribute(object):
    pass


class DataAttribute(Attribute):
    def __init__(self, values):
        self._values = list(values)

    def getValue(self, defaultValue=None, throwOnError=True):
        if not self._values:
            if throwOnError:
                raise ValueError("attribute has no values")
            return defaultValue
        return self._values[0]

    def getData(self):
        return list(self._values)

    def getNumberOfValues(self):
        return len(self._values)

    def getNumberOfTimeSamples(self):
        return 1

    def getTupleSize(self):
        return 1


class StringAttribute(DataAttribute):
    pass


class IntAttribute(DataAttribute):
    pass


class FloatAttribute(DataAttribute):
    pass


class DoubleAttribute(DataAttribute):
    pass


class GroupAttribute(Attribute):
    def __init__(self, children=()):
        self._children = list(children)

    def childList(self):
        return list(self._children)

    def getNumberOfChildren(self):
        return len(self._children)

    def getChildName(self, index):
        return self._children[index][0]

    def getChildByIndex(self, index):
        return self._children[index][1]

    def getChildByName(self, name):
        for key, child in self._children:
            if key == name:
                return child
        if "." in name:
            head, rest = name.split(".", 1)
            child = self.getChildByName(head)
            if isinstance(child, GroupAttribute):
                return child.getChildByName(rest)
        return None

    def getGroupInherit(self):
        return True


class GroupAttr(GroupAttribute):
    """The group attribute of older hosts, which also lists its child names."""

    def childNames(self):
        return [key for key, _ in self._children]


def from_json(value, group_class=GroupAttribute):
    """An attribute from its scene-document form; raises ValueError for a value no attribute
    can hold, with the same text as the standalone host."""
    if isinstance(value, dict):
        return group_class([(key, from_json(child, group_class)) for key, child in value.items()])
    first = value[0] if isinstance(value, list) and value else value
    values = value if isinstance(value, list) and value else [value]
    if isinstance(first, str):
        return StringAttribute(values)
    if isinstance(first, bool):
        return IntAttribute([int(v) if isinstance(v, bool) else v for v in values])
    if isinstance(first, float):
        return DoubleAttribute(values)
    if isinstance(first, int):
        return IntAttribute(values)
    raise ValueError("unsupported attribute value: " + _dump(value))


def _dump(value):
    import json
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)
