"""Custom commands and the command controller of Korvex.Velmora.Core.

Commands (by name):
  AddLayer         adds a layer named "Layer N", the first N from 1 that is free
  UpperCaseLayers  writes every layer name in upper case (a name that would clash stays)
  SortLayers       sorts the layers by name
  ResetLayers      keeps only layer "0" (adding it when missing)
"""

from .. import system
from ..netbase import NetObject, create
from .application import KorvexApplication
from .model import Layer, Model


def _add_layer(model):
    names = model.Layers._names()
    number = 1
    while "Layer %d" % number in names:
        number += 1
    model.Layers._add(create(Layer, "Layer %d" % number))


def _upper_case_layers(model):
    taken = set(model.Layers._names())
    for layer in model.Layers:
        upper = layer.Name.upper()
        if upper != layer.Name and upper not in taken:
            taken.discard(layer.Name)
            taken.add(upper)
            layer._name = upper


def _sort_layers(model):
    model.Layers._replace(sorted(model.Layers, key=lambda layer: layer.Name))


def _reset_layers(model):
    kept = [layer for layer in model.Layers if layer.Name == "0"] or [create(Layer, "0")]
    model.Layers._replace(kept)


COMMANDS = {
    "AddLayer": _add_layer,
    "UpperCaseLayers": _upper_case_layers,
    "SortLayers": _sort_layers,
    "ResetLayers": _reset_layers,
}


def _check_flag(value, name):
    if not isinstance(value, bool):
        raise TypeError("%s takes a bool, not %s" % (name, type(value).__name__))
    return value


class CustomCommand(NetObject, namespace="Korvex.Velmora.Core"):
    """A named command for a model; the controller carries it out."""

    def __init__(self, model: Model, name: str):
        if model is None or name is None:
            raise system.ArgumentNullException(
                "Value cannot be null. (Parameter '%s')" % ("model" if model is None else "name"))
        if name not in COMMANDS:
            raise system.ArgumentException("Unknown command '%s'. Known commands: %s."
                                           % (name, ", ".join(sorted(COMMANDS))))
        self._model = model
        self._name = name
        self._reload = True
        self._save = True

    @property
    def Name(self):
        return self._name

    @property
    def Model(self):
        return self._model

    @property
    def NeedToReloadModelAfterCommand(self):
        return self._reload

    @NeedToReloadModelAfterCommand.setter
    def NeedToReloadModelAfterCommand(self, value):
        self._reload = _check_flag(value, "NeedToReloadModelAfterCommand")

    @property
    def NeedToSaveModelAfterCommand(self):
        return self._save

    @NeedToSaveModelAfterCommand.setter
    def NeedToSaveModelAfterCommand(self, value):
        self._save = _check_flag(value, "NeedToSaveModelAfterCommand")


class CommandController(NetObject, namespace="Korvex.Velmora.Core"):
    """Carries commands out on its current ``model``.

    After a command, a model that has a file is saved to it when the command
    asks for a save, then reloaded from it when the command asks for a reload.
    """

    def __init__(self):
        self._application = None
        self._model = None
        self._history = []

    def SetApplication(self, application: KorvexApplication):
        if application is None:
            raise system.ArgumentNullException("Value cannot be null. (Parameter 'application')")
        self._application = application

    @property
    def Application(self):
        return self._application

    @property
    def model(self):
        return self._model

    @model.setter
    def model(self, value: Model):
        self._model = value

    @property
    def History(self):
        """Names of the commands carried out, oldest first."""
        return tuple(self._history)

    def AddCommand(self, command: CustomCommand):
        if command is None:
            raise system.ArgumentNullException("Value cannot be null. (Parameter 'command')")
        if self._application is None:
            raise system.InvalidOperationException("SetApplication must be called before AddCommand.")
        model = self._model
        if model is None:
            raise system.InvalidOperationException("The command controller has no current model.")
        COMMANDS[command.Name](model)
        self._history.append(command.Name)
        if model.FileName is not None:
            if command.NeedToSaveModelAfterCommand:
                model._save(model.FileName)
            if command.NeedToReloadModelAfterCommand:
                model._load(model.FileName)
