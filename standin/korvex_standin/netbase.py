"""Base of the stand-in .NET classes: journaled members and .NET-like calls.

A class made with ``NetType`` has every public method, static method,
constructor and property setter journaled (see ``journal``), so that fault
knobs reach all of them.  A call whose arguments match no parameter list
raises TypeError the way the bridge does ("No method matches given
arguments for ...").  Property reads are not journaled.
"""

import functools
import inspect

from . import journal


def _arg_types(args):
    return "(" + ", ".join("<class '%s'>" % _type_name(type(a)) for a in args) + ")"


def _type_name(cls):
    if cls.__module__ == "builtins":
        return cls.__qualname__
    return "%s.%s" % (cls.__module__, cls.__qualname__)


def _net_name(cls):
    return "System.String" if cls is str else "%s.%s" % (cls.__module__, cls.__qualname__)


def _no_match(member, args):
    return TypeError("No method matches given arguments for %s: %s" % (member, _arg_types(args)))


def _fits(value, cls):
    """Whether the bridge converts ``value`` to a parameter of the .NET type ``cls``: an
    instance of it, or None for a reference type (booleans, enumerations and structures are
    value types)."""
    if value is None:
        return not (cls is bool or issubclass(cls, NetEnum) or getattr(cls, "_value_type", False))
    return isinstance(value, cls)


def _parameter_types(signature):
    """{parameter name: class} of the parameters annotated with a class: their .NET type."""
    return dict((name, p.annotation) for name, p in signature.parameters.items()
                if isinstance(p.annotation, type) and p.annotation is not inspect.Parameter.empty)


def _checked(signature, bound_self=True):
    """A function that raises the bridge's TypeError if args do not fit: too many or too few,
    or one that does not fit the .NET type its parameter is annotated with (a text parameter,
    for instance, takes text or None, not a path object or a number)."""
    types = _parameter_types(signature)

    def check(member, args):
        try:
            if bound_self:
                bound = signature.bind(None, *args)
            else:
                bound = signature.bind(*args)
        except TypeError:
            raise _no_match(member, args)
        for name, cls in types.items():
            if name in bound.arguments and not _fits(bound.arguments[name], cls):
                raise _no_match(member, args)
    return check


def _wrap_method(key, func):
    check = _checked(inspect.signature(func))

    @functools.wraps(func)
    def method(self, *args):
        member = "%s.%s" % (type(self).__name__, key)

        def work():
            check(member, args)
            return func(self, *args)
        return journal.invoke(member, args, work)
    return method


def _wrap_static(member, func):
    check = _checked(inspect.signature(func), bound_self=False)

    @functools.wraps(func)
    def static(*args):
        def work():
            check(member, args)
            return func(*args)
        return journal.invoke(member, args, work)
    return static


def _wrap_setter(key, fset):
    cls = list(_parameter_types(inspect.signature(fset)).values())

    @functools.wraps(fset)
    def setter(self, value):
        member = "%s.%s=" % (type(self).__name__, key)

        def work():
            if cls and not _fits(value, cls[0]):
                raise TypeError("'%s' value cannot be converted to %s"
                                % (type(value).__name__, _net_name(cls[0])))
            fset(self, value)
        journal.invoke(member, (value,), work)
    return setter


class NetType(type):
    """Metaclass of journaled stand-in classes.

    ``namespace`` names the .NET namespace that holds the class; it becomes
    the class's ``__module__`` so that reprs read as they would in .NET.
    """

    def __new__(mcls, name, bases, ns, namespace=None):
        for key, value in list(ns.items()):
            if key.startswith("_"):
                continue
            if isinstance(value, staticmethod):
                ns[key] = staticmethod(_wrap_static("%s.%s" % (name, key), value.__func__))
            elif isinstance(value, property):
                if value.fset is not None:
                    ns[key] = property(value.fget, _wrap_setter(key, value.fset), None, value.__doc__)
            elif inspect.isfunction(value):
                ns[key] = _wrap_method(key, value)
        if namespace is not None:
            ns["__module__"] = namespace
        cls = super().__new__(mcls, name, bases, ns)
        cls._namespace = namespace if namespace is not None else getattr(cls, "_namespace", None)
        init = cls.__init__
        cls._ctor_check = _checked(inspect.signature(init)) if inspect.isfunction(init) else None
        return cls

    def __init__(cls, name, bases, ns, namespace=None):
        super().__init__(name, bases, ns)

    def __call__(cls, *args):
        def construct():
            if cls._ctor_check is not None:
                cls._ctor_check(cls.__name__ + "..ctor", args)
            return super(NetType, cls).__call__(*args)
        return journal.invoke(cls.__name__, args, construct)


class NetObject(metaclass=NetType):
    """Root of the journaled stand-in classes."""

    def ToString(self):
        return "%s.%s" % (self._namespace, type(self).__name__)

    def GetType(self):
        return type(self)


class NetEnum(object):
    """A .NET enumeration member: named, numbered, never equal to a Python int."""

    def __init__(self, name, value):
        self._name = name
        self._value = value

    def __eq__(self, other):
        return type(other) is type(self) and other._value == self._value

    def __ne__(self, other):
        return not self.__eq__(other)

    def __hash__(self):
        return hash((type(self).__name__, self._value))

    def __int__(self):
        return self._value

    def __str__(self):
        return self._name

    def __repr__(self):
        return "<%s.%s: %d>" % (type(self).__name__, self._name, self._value)

    def ToString(self):
        return self._name

    @classmethod
    def _define(cls, **members):
        for name, value in sorted(members.items(), key=lambda item: item[1]):
            setattr(cls, name, cls(name, value))
        cls._members = tuple(getattr(cls, n) for n, _ in sorted(members.items(), key=lambda i: i[1]))

    @classmethod
    def GetNames(cls):
        return [m._name for m in cls._members]

    @classmethod
    def GetValues(cls):
        return list(cls._members)


def create(cls, *args):
    """Build an instance the way the SDK does internally: not journaled, no knobs."""
    obj = object.__new__(cls)
    obj.__init__(*args)
    return obj
