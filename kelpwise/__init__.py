"""kelpwise: a machine-learning package for Python."""
