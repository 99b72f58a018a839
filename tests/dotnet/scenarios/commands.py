"""Custom commands, and descriptions of the SDK's classes."""

import json
import os

import korvex_computer as cc
import korvex_computer.korvex_core as core

import scenario_kit as kit
from scenario_kit import seen


def layers(model):
    return [layer.Name for layer in model.Layers]


kit.setup()
path = os.path.join(kit.WORK, "Plant.quarl")
model = cc.createPipingQuarl()
cc.saveQuarl(model, path)

command = cc.createCommand("AddLayer", model)
seen["new command"] = [command.Name, command.NeedToReloadModelAfterCommand, command.NeedToSaveModelAfterCommand,
                       core._commandController_.model == model]
seen["executed"] = [cc.executeCommand(command), layers(model), layers(cc.loadQuarl(path))]
cc.saveQuarl(model, path)
seen["saved"] = layers(cc.loadQuarl(path))
cc.executeCommand(command)
seen["executed again"] = layers(model)

first, second = cc.createPipingQuarl(), cc.createPipingQuarl()
sort = cc.createCommand("UpperCaseLayers", first)
cc.executeCommand(cc.createCommand("AddLayer", second))
cc.executeCommand(sort)
seen["controller acts on its latest model"] = [layers(first), layers(second)]
seen["unknown command"] = kit.attempt(cc.createCommand, "Explode", model)

from Korvex.SDK import KorvexModule  # noqa: E402 - importable once set up
seen["class described"] = json.loads(cc.inspectClass(type(model), True))
seen["instance described"] = cc.inspectClass(model, False)
seen["enumeration described"] = json.loads(cc.inspectClass(KorvexModule, True))
seen["classes found"] = [list(cc.findNameSpaceAndAssembly(name)) for name in
                         ("Solution", "Korvex.SDK.KorvexModule", "StudyModel", "NoSuchClass", "Korvex.Model")]

kit.report()
