"""Korvex.Velmora.Core models: quarL files, layers, calculation codes and the .fre writer.

A .quarl file is UTF-8 JSON:

    {"Format": "quarL", "FormatVersion": 1, "Module": "Velmora",
     "CalculationCode": "PIPING", "Layers": [{"Name": "0"}]}

Module "Velmora" is a piping model, "Norvane" a structure model.
"""

import json
import os

from .. import bridge, catalog, system
from ..netbase import NetObject, create
from .application import KorvexModule

QUARL_FORMAT = "quarL"


class PipingCode(NetObject, namespace="Korvex.Velmora.Core"):
    """Calculation code of a piping model."""

    @property
    def Name(self):
        return "PIPING"


class StructureCode(NetObject, namespace="Korvex.Velmora.Core"):
    """Calculation code of a structure model."""

    @property
    def Name(self):
        return "STRUCTURE"


def _code_for(module):
    return create(PipingCode) if module == KorvexModule.Velmora else create(StructureCode)


def check_name(value, what):
    if value is None:
        raise system.ArgumentNullException("Value cannot be null. (Parameter '%s')" % what)
    if not isinstance(value, str) or not value.strip():
        raise system.ArgumentException("A %s must be a non-empty text, not %r." % (what, value))
    return value


class Layer(NetObject, namespace="Korvex.Velmora.Core"):

    def __init__(self, name: str):
        self._name = check_name(name, "layer name")

    @property
    def Name(self):
        return self._name

    @Name.setter
    def Name(self, value: str):
        self._name = check_name(value, "layer name")

    def __repr__(self):
        return "<Layer %r>" % self._name


class LayerCollection(NetObject, namespace="Korvex.Velmora.Core"):
    """The layers of a model, in order; names are unique."""

    def __init__(self):
        self._layers = []

    def Add(self, layer: Layer):
        self._add(layer)

    def _add(self, layer):
        if layer is None:
            raise system.ArgumentNullException("Value cannot be null. (Parameter 'layer')")
        if not isinstance(layer, Layer):
            raise system.ArgumentException("Only a Layer can be added to Layers, not %r." % (layer,))
        if self._find(layer.Name) is not None:
            raise system.ArgumentException("A layer named '%s' already exists." % layer.Name)
        self._layers.append(layer)

    def Remove(self, layer: Layer):
        if layer in self._layers:
            self._layers.remove(layer)
            return True
        return False

    def Contains(self, name: str):
        return self._find(name) is not None

    def _find(self, name):
        for layer in self._layers:
            if layer.Name == name:
                return layer
        return None

    def _names(self):
        return [layer.Name for layer in self._layers]

    def _replace(self, layers):
        self._layers = list(layers)

    @property
    def Count(self):
        return len(self._layers)

    def __len__(self):
        return len(self._layers)

    def __iter__(self):
        return iter(list(self._layers))

    def __getitem__(self, index):
        return self._layers[index]


def _module_named(text):
    for member in KorvexModule._members:
        if str(member) == text:
            return member
    return None


def read_quarl(path):
    """(module, layer names) of a .quarl file; raises the .NET errors of a bad file."""
    if os.path.isdir(path):
        raise system.UnauthorizedAccessException("Access to the path '%s' is denied." % path)
    if not os.path.isfile(path):
        raise system.FileNotFoundException("Could not find file '%s'." % path)

    def bad(reason):
        return system.InvalidDataException("'%s' is not a valid quarL file: %s." % (path, reason))
    try:
        with open(path, "r", encoding="utf-8") as f:
            document = json.load(f)
    except (ValueError, UnicodeDecodeError) as error:
        raise bad("it is not quarL text (%s)" % error)
    if not isinstance(document, dict) or document.get("Format") != QUARL_FORMAT:
        raise bad("the quarL header is missing")
    module = _module_named(document.get("Module"))
    if module is None:
        raise bad("unknown application module %r" % (document.get("Module"),))
    layers = document.get("Layers")
    if not isinstance(layers, list):
        raise bad("no layer list")
    names = []
    for entry in layers:
        name = entry.get("Name") if isinstance(entry, dict) else None
        if not isinstance(name, str) or not name.strip() or name in names:
            raise bad("invalid layer %r" % (entry,))
        names.append(name)
    return module, names


def write_quarl(path, module, layer_names):
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise system.DirectoryNotFoundException("Could not find a part of the path '%s'." % path)
    if os.path.isdir(path):
        raise system.UnauthorizedAccessException("Access to the path '%s' is denied." % path)
    document = {
        "Format": QUARL_FORMAT,
        "FormatVersion": 1,
        "Module": str(module),
        "CalculationCode": "PIPING" if module == KorvexModule.Velmora else "STRUCTURE",
        "Layers": [{"Name": name} for name in layer_names],
    }
    with open(path, "w", encoding="utf-8") as f:
        json.dump(document, f, indent=2)
        f.write("\n")


class PSLibrary(NetObject, namespace="Korvex.Velmora.Core"):
    """The native PipeStress library; .fre files can be written once it is initialised."""

    _path = None

    @staticmethod
    def Initialize(path: str):
        if path is None:
            raise system.ArgumentNullException("Value cannot be null. (Parameter 'path')")
        if not os.path.isfile(path):
            raise system.FileNotFoundException("Could not find file '%s'." % path)
        try:
            with open(path, "r", encoding="utf-8") as f:
                header = f.readline().strip()
        except (OSError, UnicodeDecodeError):
            header = None
        if header != catalog.PSLIB_MAGIC:
            raise system.BadImageFormatException("'%s' is not a PipeStress native library." % path)
        PSLibrary._path = os.path.abspath(path)

    LibraryPath = system._StaticProperty(lambda: PSLibrary._path)


@bridge.on_unload
def _forget_pslibrary():
    PSLibrary._path = None


def _check_bool(value, position, member):
    if not isinstance(value, bool):
        raise TypeError("No method matches given arguments for %s: argument %d must be a bool, not %s"
                        % (member, position, type(value).__name__))
    return value


_NO_MODULE = object()

ROTATIONS = {0: "DEFAULT", 1: "DEGREES", 2: "MILLIRADIANS"}


class Model(NetObject, namespace="Korvex.Velmora.Core"):
    """A quarL model: a piping (Velmora) or structure (Norvane) model made of layers."""

    def __init__(self, module: KorvexModule = _NO_MODULE):
        # The model classes depend on the helper assembly.
        bridge.require_assembly("Korvex.Helper")
        self._module = KorvexModule.Velmora if module is _NO_MODULE else module
        self._layers = create(LayerCollection)
        self._file = None

    @property
    def Module(self):
        return self._module

    @property
    def CalculationCode(self):
        return _code_for(self._module)

    @property
    def Layers(self):
        return self._layers

    @property
    def FileName(self):
        return self._file

    def LoadFromFile(self, path: str):
        self._load(path)

    def _load(self, path):
        if path is None:
            raise system.ArgumentNullException("Value cannot be null. (Parameter 'path')")
        module, names = read_quarl(path)
        self._module = module
        self._layers._replace(create(Layer, name) for name in names)
        self._file = os.path.abspath(path)

    def SaveToFile(self, path: str):
        self._save(path)

    def _save(self, path):
        if path is None:
            raise system.ArgumentNullException("Value cannot be null. (Parameter 'path')")
        write_quarl(path, self._module, self._layers._names())
        self._file = os.path.abspath(path)

    def WriteFreFile(self, fileName: str, progress, maxFieldLength, rotationUnits, append, imperial,
                     inlineRestraints, inlineDLCS, inlineINDI, writeComments, layerFilter, title: str):
        """Write the PipeStress input file of the model.

        progress: None or a callable given 0 and 100; append: add to an existing file;
        writeComments: add comment lines; layerFilter: None or the layer names to write;
        title: None for the model's file name.
        """
        member = "Model.WriteFreFile"
        if PSLibrary._path is None:
            raise system.InvalidOperationException(
                "The PipeStress library is not initialised; call PSLibrary.Initialize first.")
        if fileName is None:
            raise system.ArgumentNullException("Value cannot be null. (Parameter 'fileName')")
        if isinstance(maxFieldLength, bool) or not isinstance(maxFieldLength, int):
            raise TypeError("No method matches given arguments for %s: maxFieldLength must be an int" % member)
        if maxFieldLength < 10:
            raise system.ArgumentOutOfRangeException(
                "The field length must be at least 10. (Parameter 'maxFieldLength')\nActual value was %d."
                % maxFieldLength)
        if isinstance(rotationUnits, bool) or rotationUnits not in ROTATIONS:
            raise system.ArgumentOutOfRangeException(
                "Rotation units must be 0, 1 or 2. (Parameter 'rotationUnits')\nActual value was %r."
                % (rotationUnits,))
        for position, flag in ((5, append), (6, imperial), (7, inlineRestraints), (8, inlineDLCS),
                               (9, inlineINDI), (10, writeComments)):
            _check_bool(flag, position, member)
        directory = os.path.dirname(os.path.abspath(fileName))
        if not os.path.isdir(directory):
            raise system.DirectoryNotFoundException("Could not find a part of the path '%s'." % fileName)
        if callable(progress):
            progress(0)
        names = self._layers._names()
        if layerFilter is not None:
            wanted = list(layerFilter)
            names = [n for n in names if n in wanted]
        if title is None:
            title = os.path.splitext(os.path.basename(self._file or fileName))[0]
        records = fre_records(self._module, names, title, maxFieldLength, rotationUnits, imperial,
                              inlineRestraints, inlineDLCS, inlineINDI, writeComments)
        text = "".join(line + "\n" for record in records for line in wrap(record, maxFieldLength))
        with open(fileName, "a" if append else "w", encoding="utf-8") as f:
            f.write(text)
        if callable(progress):
            progress(100)


def fre_records(module, layer_names, title, max_length, rotation, imperial,
                inline_restraints, inline_dlcs, inline_indi, comments):
    """The logical records of a .fre file, before they are cut to the field length."""
    def placement(flag):
        return "INLINE" if flag else "SEPARATE"
    records = ["*KORVEX FRE 1"]
    if comments:
        records.append("C written by Korvex.Velmora.Core %s" % catalog.VERSION)
    records += [
        "*TITLE %s" % title,
        "*MODEL %s" % ("PIPING" if module == KorvexModule.Velmora else "STRUCTURE"),
        "*UNITS %s" % ("IMPERIAL" if imperial else "SI"),
        "*ROTATION %s" % ROTATIONS[rotation],
        "*MAXLEN %d" % max_length,
        "*RESTRAINTS %s" % placement(inline_restraints),
        "*DLCS %s" % placement(inline_dlcs),
        "*INDI %s" % placement(inline_indi),
    ]
    records += ["LAYER %s" % name for name in layer_names]
    records.append("*END")
    return records


def wrap(record, max_length):
    """Cut a record into lines of at most max_length characters; a line that goes
    on in the next one ends with '&'."""
    lines = []
    while len(record) > max_length:
        lines.append(record[:max_length - 1] + "&")
        record = record[max_length - 1:]
    lines.append(record)
    return lines
