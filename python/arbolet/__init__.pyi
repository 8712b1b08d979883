"""Streaming anomaly detection: ``Forest`` for numeric observations, ``MStream`` for records."""

from .arbolet import Attribution as Attribution
from .arbolet import DetailedScore as DetailedScore
from .arbolet import DimensionError as DimensionError
from .arbolet import Forest as Forest
from .arbolet import IndexOutOfRangeError as IndexOutOfRangeError
from .arbolet import Monitor as Monitor
from .arbolet import MonitorBatch as MonitorBatch
from .arbolet import MStream as MStream
from .arbolet import Neighbor as Neighbor
from .arbolet import NotReadyError as NotReadyError
from .arbolet import PanicException as PanicException
from .arbolet import StateError as StateError
from .arbolet import Thresholder as Thresholder
from .arbolet import Verdict as Verdict
from .arbolet import __version__ as __version__

__all__ = ["MStream", "Forest", "__version__", "Thresholder", "Monitor"]
