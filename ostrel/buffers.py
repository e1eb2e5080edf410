"""Reusing the large image arrays of a batch.

A fresh array of a 12-megapixel RGB photo (144 MB of float32) costs about
70 ms of page faults when it is first written, as much as decoding the JPEG
into it. A batch decodes photo after photo of the same size, so it hands each
decoded array back once the kernels have read it, and the next photo of that
shape is decoded into it.
"""

from __future__ import annotations

import threading
from collections import deque

import numpy as np
import numpy.typing as npt

FloatImage = npt.NDArray[np.float32]


class BufferPool:
    """Free float32 arrays, at most `capacity` of them, taken by exact shape."""

    def __init__(self, capacity: int) -> None:
        self.capacity = capacity
        self._free: deque[FloatImage] = deque()
        self._lock = threading.Lock()

    def take(self, shape: tuple[int, ...]) -> FloatImage:
        """A C-contiguous float32 array of `shape`; its contents are undefined."""
        with self._lock:
            for index, array in enumerate(self._free):
                if array.shape == shape:
                    del self._free[index]  # by position: arrays do not compare as values
                    return array
        return np.empty(shape, np.float32)

    def give(self, array: FloatImage) -> None:
        """Hands `array` back; the caller must hold no other reference to it."""
        with self._lock:
            self._free.append(array)
            while len(self._free) > self.capacity:
                self._free.popleft()  # the oldest goes first
