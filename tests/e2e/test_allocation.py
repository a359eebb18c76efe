"""The executable's own allocation operators under Wine: a failed allocation
ends the process at once, as an uncaught allocation failure always did, and
the program never goes on with what it did not get."""

import unittest

from e2e_base import PrefixTestCase

# msvcrt's abort() ends the process with this exit code.
ABORT_EXIT_CODE = 3


class Allocation(PrefixTestCase):
    def test_a_failed_allocation_ends_the_process(self):
        run = self.wp.run([self.wp.program("hxalloc.exe"), "huge"], timeout=60)
        self.assertFalse(run.timed_out)
        self.assertEqual(run.stdout.split("\n")[0].strip(), f"allocating {1 << 62}")
        self.assertNotIn("survived", run.stdout)
        self.assertNotIn("freed", run.stdout)
        self.assertEqual(run.returncode, ABORT_EXIT_CODE, run.stdout)

    def test_allocations_the_heap_can_meet_are_served_and_freed(self):
        run = self.wp.run([self.wp.program("hxalloc.exe"), "small"], timeout=60)
        self.assertEqual((run.returncode, run.stdout.replace("\r\n", "\n")), (0, "allocating 64\nallocated\nfreed\n"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
