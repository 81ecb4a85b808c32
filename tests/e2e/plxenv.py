"""What the requester runner still imports from here; it moves to plxharness directly."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "harness"))
from plxharness import Harness  # noqa: E402


class NetworkDrive:
    """Letter R: as a network drive linked to target, until unmap()."""

    def __init__(self, target):
        self.target, self.letter, self.harness = target, "r", None

    def map(self):
        self.harness = Harness()
        self.harness.drives({self.letter: ("network", self.target)})
        return True

    def unmap(self):
        if self.harness:
            self.harness.close()
