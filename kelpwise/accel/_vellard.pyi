from typing import SupportsInt

import numpy as np
import numpy.typing as npt

def _best_split_classifier(
    X: npt.NDArray[np.float64], y: npt.NDArray[np.int64], min_samples_leaf: SupportsInt
) -> tuple[int, float, float] | tuple[None, None, None]: ...
def _best_split_regressor(
    X: npt.NDArray[np.float64], y: npt.NDArray[np.float64], min_samples_leaf: SupportsInt
) -> tuple[int, float, float] | tuple[None, None, None]: ...

__test__: dict[str, object]
