import os

from hypothesis import settings

# "ci" keeps the whole suite to a few minutes; HYPOTHESIS_PROFILE=long runs
# many more cases on demand.
settings.register_profile("ci", max_examples=250)
settings.register_profile("long", max_examples=5000)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))
