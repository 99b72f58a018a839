"""Korvex.Helper: small services shared by the other assemblies."""

from ..netbase import NetObject


def copy_name(name, existing):
    """The name of a copy of ``name`` that clashes with none of ``existing``."""
    candidate = "%s - Copy" % name
    number = 2
    while candidate in existing:
        candidate = "%s - Copy (%d)" % (name, number)
        number += 1
    return candidate


class StudyNames(NetObject, namespace="Korvex.Helper"):

    @staticmethod
    def CopyName(name: str, existingNames):
        return copy_name(name, list(existingNames))
