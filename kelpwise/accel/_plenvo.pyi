from typing import Any, SupportsInt

import numpy as np
import numpy.typing as npt

_F = npt.NDArray[np.float64]

def im2col(
    X: _F, kh: SupportsInt, kw: SupportsInt, stride: SupportsInt = 1, pad: SupportsInt = 0
) -> tuple[_F, int, int]: ...
def col2im(
    cols: _F, shape: Any, kh: SupportsInt, kw: SupportsInt, stride: SupportsInt = 1, pad: SupportsInt = 0
) -> _F: ...
def maxpool_forward(X: _F, k: SupportsInt, stride: SupportsInt) -> tuple[_F, npt.NDArray[np.intp]]: ...
def maxpool_backward(grad: _F, argmax: npt.NDArray[np.intp], shape: Any, k: SupportsInt, stride: SupportsInt) -> _F: ...

__test__: dict[str, object]
