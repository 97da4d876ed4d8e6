import os

from hypothesis import settings

# "ci", the default, keeps the whole suite to about a minute on two cores;
# "thorough" (the sanitizer and capped-path jobs) runs 250 cases per
# property, HYPOTHESIS_PROFILE=long many more on demand.  The property tests
# follow the profile (the KD-tree model test keeps its own smaller count).
settings.register_profile("ci", max_examples=100)
settings.register_profile("thorough", max_examples=250)
settings.register_profile("long", max_examples=5000)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))
