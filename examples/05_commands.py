"""Custom commands on a model, and a look at the SDK's classes."""

import os

import korvex_computer as cc

import _demo_env as demo

demo.setup()

model = cc.createPipingQuarl()
path = os.path.join(demo.work_folder("commands"), "Plant.quarl")
cc.saveQuarl(model, path)
print("Layers before the command:", demo.layer_names(model))

command = cc.createCommand("AddLayer", model)
cc.executeCommand(command)
print("Layers after 'AddLayer':  ", demo.layer_names(model))
print("Layers in the file before saving:", demo.layer_names(cc.loadQuarl(path)))
cc.saveQuarl(model, path)
print("Layers in the file after saving: ", demo.layer_names(cc.loadQuarl(path)))

print()
print("Description of the model class:")
print(cc.inspectClass(type(model), True))

print()
for name in ("Solution", "ProjectViewModel", "NoSuchClass"):
    namespace, assembly = cc.findNameSpaceAndAssembly(name)
    print("%-17s namespace: %-24s assembly: %s" % (name, namespace, assembly))
