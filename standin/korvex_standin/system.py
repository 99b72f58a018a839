"""The System namespaces of the stand-in bridge: exceptions, cultures, threads, points, tuples."""

import builtins
import re
import threading

from .netbase import NetObject

# --- exceptions -------------------------------------------------------------

_EXCEPTIONS = {}


class _NetExceptionBase(builtins.Exception):
    """Common behaviour of .NET exceptions as the bridge surfaces them."""

    _default_message = "Exception of type '{0}' was thrown."

    def __init__(self, message=None, innerException=None):
        if message is None:
            message = self._default_message.format(self._full_name())
        super().__init__(message)
        self.InnerException = innerException

    @classmethod
    def _full_name(cls):
        return "%s.%s" % (cls.__module__, cls.__name__)

    @property
    def Message(self):
        return self.args[0]

    def ToString(self):
        return "%s: %s" % (self._full_name(), self.Message)


def _exception(name, namespace, base, default_message=None):
    ns = {"__module__": namespace, "__qualname__": name}
    if default_message is not None:
        ns["_default_message"] = default_message
    cls = type(name, (base,), ns)
    _EXCEPTIONS[namespace + "." + name] = cls
    return cls


Exception = _exception("Exception", "System", _NetExceptionBase)
SystemException = _exception("SystemException", "System", Exception,
                             "System error.")
ArgumentException = _exception("ArgumentException", "System", SystemException,
                               "Value does not fall within the expected range.")
ArgumentNullException = _exception("ArgumentNullException", "System", ArgumentException,
                                   "Value cannot be null.")
ArgumentOutOfRangeException = _exception("ArgumentOutOfRangeException", "System", ArgumentException,
                                         "Specified argument was out of the range of valid values.")
InvalidOperationException = _exception("InvalidOperationException", "System", SystemException,
                                       "Operation is not valid due to the current state of the object.")
ObjectDisposedException = _exception("ObjectDisposedException", "System", InvalidOperationException,
                                     "Cannot access a disposed object.")
BadImageFormatException = _exception("BadImageFormatException", "System", SystemException,
                                     "Format of the executable (.exe) or library (.dll) is invalid.")
UnauthorizedAccessException = _exception("UnauthorizedAccessException", "System", SystemException,
                                         "Attempted to perform an unauthorized operation.")
IOException = _exception("IOException", "System.IO", SystemException, "I/O error occurred.")
FileNotFoundException = _exception("FileNotFoundException", "System.IO", IOException,
                                   "Unable to find the specified file.")
DirectoryNotFoundException = _exception("DirectoryNotFoundException", "System.IO", IOException,
                                        "Attempted to access a path that is not on the disk.")
InvalidDataException = _exception("InvalidDataException", "System.IO", SystemException,
                                  "Found invalid data while decoding.")
CultureNotFoundException = _exception("CultureNotFoundException", "System.Globalization", ArgumentException,
                                      "Culture is not supported.")


def disposed(name):
    return ObjectDisposedException("Cannot access a disposed object.\nObject name: '%s'." % name)


# --- System.Globalization ---------------------------------------------------

class _StaticProperty(object):
    """A read-only property read on the class itself (a .NET static property)."""

    def __init__(self, fget):
        self.fget = fget
        self.__doc__ = fget.__doc__

    def __get__(self, obj, cls):
        return self.fget()


_CULTURE_NAME = re.compile(r"^[A-Za-z]{2,3}(-[A-Za-z0-9]{2,8})*$")


class CultureInfo(NetObject, namespace="System.Globalization"):
    """A culture named like "en-US"; the invariant culture has the name ""."""

    def __init__(self, name):
        if name is None:
            raise ArgumentNullException("Value cannot be null. (Parameter 'name')")
        if not isinstance(name, str):
            raise TypeError("No method matches given arguments for CultureInfo: (<class '%s'>)"
                            % type(name).__name__)
        if name and not _CULTURE_NAME.match(name):
            raise CultureNotFoundException(
                "Culture is not supported. (Parameter 'name')\n%s is an invalid culture identifier." % name)
        self._name = name

    @property
    def Name(self):
        return self._name

    def __eq__(self, other):
        return isinstance(other, CultureInfo) and other._name.lower() == self._name.lower()

    def __ne__(self, other):
        return not self.__eq__(other)

    def __hash__(self):
        return hash(self._name.lower())

    def __str__(self):
        return self._name

    def __repr__(self):
        return "<CultureInfo %r>" % self._name

    def ToString(self):
        return self._name

    @staticmethod
    def _make(name):
        culture = object.__new__(CultureInfo)
        culture._name = name
        return culture

    InvariantCulture = _StaticProperty(lambda: _INVARIANT)


_INVARIANT = CultureInfo._make("")


# --- System.Threading -------------------------------------------------------

_thread_local = threading.local()
_all_threads = []
_all_threads_lock = threading.Lock()


def _culture_value(value):
    if value is None:
        raise ArgumentNullException("Value cannot be null. (Parameter 'value')")
    if not isinstance(value, CultureInfo):
        raise TypeError("Cannot convert %r to System.Globalization.CultureInfo" % (value,))
    return value


def _current_thread():
    current = getattr(_thread_local, "thread", None)
    if current is None:
        current = object.__new__(Thread)
        current._attach()
        _thread_local.thread = current
    return current


class Thread(NetObject, namespace="System.Threading"):
    """The .NET view of a Python thread; each thread starts in the invariant culture."""

    def __init__(self):
        raise InvalidOperationException("The stand-in bridge only offers Thread.CurrentThread.")

    def _attach(self):
        python_thread = threading.current_thread()
        self._ident = threading.get_ident()
        self._name = python_thread.name
        self._culture = _INVARIANT
        self._ui_culture = _INVARIANT
        with _all_threads_lock:
            _all_threads.append(self)

    CurrentThread = _StaticProperty(_current_thread)

    @property
    def ManagedThreadId(self):
        return self._ident

    @property
    def Name(self):
        return self._name

    @property
    def CurrentCulture(self):
        return self._culture

    @CurrentCulture.setter
    def CurrentCulture(self, value):
        self._culture = _culture_value(value)

    @property
    def CurrentUICulture(self):
        return self._ui_culture

    @CurrentUICulture.setter
    def CurrentUICulture(self, value):
        self._ui_culture = _culture_value(value)


def thread_cultures():
    """{thread ident: (thread name, CurrentCulture name, CurrentUICulture name)} of every
    thread that asked for Thread.CurrentThread (an ident reused by a later thread shows
    that later thread)."""
    with _all_threads_lock:
        return dict((t._ident, (t._name, t._culture.Name, t._ui_culture.Name)) for t in _all_threads)


def reset_threads():
    """Put every live thread back in the invariant culture; forget finished threads."""
    alive = set(t.ident for t in threading.enumerate())
    with _all_threads_lock:
        _all_threads[:] = [t for t in _all_threads if t._ident in alive]
        for t in _all_threads:
            t._culture = t._ui_culture = _INVARIANT


# --- System.Windows ---------------------------------------------------------

def _number(value, what):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError("No method matches given arguments for Point: %s is %s, not a number"
                        % (what, type(value).__name__))
    return float(value)


class Point(NetObject, namespace="System.Windows"):
    """A point of two doubles, X and Y."""

    _value_type = True

    def __init__(self, x, y):
        self.X = _number(x, "x")
        self.Y = _number(y, "y")

    def __eq__(self, other):
        return isinstance(other, Point) and (other.X, other.Y) == (self.X, self.Y)

    def __ne__(self, other):
        return not self.__eq__(other)

    def __hash__(self):
        return hash((self.X, self.Y))

    def __repr__(self):
        return "Point(%r, %r)" % (self.X, self.Y)

    def ToString(self):
        return "%s,%s" % (_g(self.X), _g(self.Y))


def _g(number):
    return ("%.15g" % number)


# --- System -----------------------------------------------------------------

class Tuple(object):
    """An immutable .NET tuple read through Item1, Item2, ..."""

    __module__ = "System"

    def __init__(self, *items):
        if not items:
            raise TypeError("No method matches given arguments for Tuple: ()")
        self._items = items

    def __getattr__(self, name):
        if name.startswith("Item") and name[4:].isdigit():
            index = int(name[4:]) - 1
            if 0 <= index < len(self._items):
                return self._items[index]
        raise AttributeError("'Tuple' object has no attribute '%s'" % name)

    def __eq__(self, other):
        return isinstance(other, Tuple) and other._items == self._items

    def __ne__(self, other):
        return not self.__eq__(other)

    def __hash__(self):
        return hash(self._items)

    def __repr__(self):
        return "(" + ", ".join(str(i) for i in self._items) + ")"

    def ToString(self):
        return repr(self)

    @staticmethod
    def Create(*items):
        return Tuple(*items)


class String(object):
    """System.String: .NET strings arrive in Python as str."""

    __module__ = "System"
    Empty = ""

    @staticmethod
    def IsNullOrEmpty(value):
        return value is None or value == ""


# Classes of each System namespace, as the bridge exposes them.
NAMESPACES = {
    "System": dict(
        [(name.split(".")[-1], cls) for name, cls in _EXCEPTIONS.items() if cls.__module__ == "System"]
        + [("Tuple", Tuple), ("String", String)]),
    "System.IO": dict(
        (name.split(".")[-1], cls) for name, cls in _EXCEPTIONS.items() if cls.__module__ == "System.IO"),
    "System.Globalization": {"CultureInfo": CultureInfo,
                             "CultureNotFoundException": CultureNotFoundException},
    "System.Threading": {"Thread": Thread},
    "System.Windows": {"Point": Point},
}
