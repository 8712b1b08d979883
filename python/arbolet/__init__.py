from .arbolet import *  # noqa: F401,F403
from . import arbolet as _native
from .arbolet import PanicException  # noqa: F401  (not in __all__, reachable by name)

__doc__ = _native.__doc__
__all__ = _native.__all__
