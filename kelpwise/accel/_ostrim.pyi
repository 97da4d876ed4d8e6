import typing

import numpy
import numpy.typing

class KDTree:
    def __init__(self, arg0: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], /) -> None: ...
    def query(
        self,
        arg0: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
        arg1: typing.SupportsInt | typing.SupportsIndex,
        /,
    ) -> tuple[numpy.typing.NDArray[numpy.int32], numpy.typing.NDArray[numpy.float64]]: ...
