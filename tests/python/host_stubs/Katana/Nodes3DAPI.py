"""Stand-in for Katana's Nodes3DAPI: render node outputs and render producers, as the
scene document records them."""
import copy
import json


class RenderNodeInfo(object):
    def __init__(self, outputs):
        self._outputs = outputs

    def getNumberOfOutputs(self):
        return len(self._outputs)

    def getAllOutputNames(self):
        return [output.get("name", "") if isinstance(output, dict) else "" for output in self._outputs]

    def getOutputInfoByIndex(self, index, forceLocal, makeVersionTemplate=False):
        if index < 0 or index >= len(self._outputs):
            raise IndexError("output index out of range: %d" % index)
        return copy.deepcopy(self._outputs[index])

    def getOutputInfoByName(self, name, forceLocal, makeVersionTemplate=False):
        for output in self._outputs:
            if isinstance(output, dict) and output.get("name") == name:
                return copy.deepcopy(output)
        raise KeyError(name)


class _RenderNodeUtil(object):
    @staticmethod
    def GetRenderNodeInfo(node, graphState=None, client=None, cameraErrorIsFatal=False):
        info = node.render_info
        if "error" in info:
            error = info["error"]
            raise RuntimeError(error if isinstance(error, str) else json.dumps(error, separators=(",", ":"), ensure_ascii=False))
        return RenderNodeInfo(info.get("outputs", []))


RenderNodeUtil = _RenderNodeUtil


def GetRenderProducer(node=None, graphState=None, useMaxSamples=False, portIndex=0,
                      applyRenderSelectedMask=True):
    return node.producer if node is not None else None
