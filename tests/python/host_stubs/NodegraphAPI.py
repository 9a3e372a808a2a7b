"""Stand-in for Katana's NodegraphAPI over the stand-in scene. Host order is the order of
the scene document's node list."""
import _standin_scene


def GetAllNodesByType(nodeType, includeDeleted=False, sortByName=False):
    nodes = [node for node in _standin_scene.current.nodes if node.getType() == nodeType]
    if sortByName:
        nodes.sort(key=lambda node: node.getName())
    return nodes


def GetNode(nodeName):
    return _standin_scene.current.node(nodeName)


def GetRootNode():
    return GetNode("rootNode")
