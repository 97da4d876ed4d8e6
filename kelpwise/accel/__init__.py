"""Native kernels of kelpwise.

The submodules are imported on demand; importing this package loads nothing
heavy (in particular not NumPy):

- ``_tarsine``: pairwise distance matrices;
- ``_plenvo``: im2col/col2im and max pooling for channels-last image batches;
- ``_vellard``: best-split search of a decision-tree node;
- ``_ostrim``: ``KDTree`` with exact k-nearest-neighbour queries.
"""
