"""The soak's verdict on what is left behind, from censuses made up here
(no Wine): only what appeared after its starting census is its own."""

import argparse
import collections
import unittest

from testkit.soak import Soak


def census(sims):
    return {"procs": {}, "names": collections.Counter(), "zombies": collections.Counter(), "sims": set(sims),
            "pts": set(), "server": None, "server_fds": None, "sim_fds": []}


class Census(unittest.TestCase):
    def test_simulators_are_judged_against_the_census_at_the_start(self):
        # 7 is another soak's, up before this one started (one killed outright).
        for final, left in (({7}, []), ({7, 8}, ["simulator processes still running: [8]"])):
            soak = Soak(argparse.Namespace(coms=[11]))
            soak.compare(census({7}), census({7, 8}), census({7, 8}), census(final))
            self.assertEqual(soak.leftovers, left)


if __name__ == "__main__":
    unittest.main()
