from .arbolet import *  # noqa: F401,F403
from . import arbolet as _native
# Not in __all__, reachable by name: the internal failure and the error families users catch.
from .arbolet import DimensionError, IndexOutOfRangeError, NotReadyError, PanicException, StateError  # noqa: F401

__doc__ = _native.__doc__
__all__ = _native.__all__
