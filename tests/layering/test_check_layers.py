"""The layering check catches what it is there for, in a tree made up for it."""

import pathlib
import subprocess
import sys
import tempfile
import unittest

CHECK = pathlib.Path(__file__).with_name("check_layers.py")


def check(files: dict) -> tuple[int, str]:
    with tempfile.TemporaryDirectory() as src:
        for name, text in files.items():
            path = pathlib.Path(src, name)
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
        done = subprocess.run([sys.executable, str(CHECK), src], capture_output=True, text=True)
        return done.returncode, done.stderr


class CheckLayersTest(unittest.TestCase):
    def test_cases(self):
        cases = [
            # (files, expected status, expected text in the complaint)
            ({"probefleet/deploy/a.h": '#include "probefleet/resources/b.h"\n',
              "probefleet/resources/b.h": ""}, 0, ""),
            ({"probefleet/resources/b.h": '#include "probefleet/deploy/a.h"\n',
              "probefleet/deploy/a.h": ""}, 1, "above it (probefleet/deploy over probefleet/resources)"),
            ({"probefleet/deploy/a.h": '#include "probefleet/teardown/b.h"\n',
              "probefleet/teardown/b.h": ""}, 1, "above it (probefleet/teardown over probefleet/deploy)"),
            ({"probefleet/teardown/b.h": '#include "probefleet/deploy/a.h"\n',
              "probefleet/deploy/a.h": ""}, 1, "above it (probefleet/deploy over probefleet/teardown)"),
            ({"probefleet/a.h": ""}, 1, "probefleet/a.h: in no layer"),
            ({"probefleet/core/a.h": '#include "probefleet/core/b.h"\n',
              "probefleet/core/b.h": '#include "probefleet/core/a.h"\n'}, 1, "include circle"),
        ]
        for files, status, text in cases:
            with self.subTest(files=sorted(files)):
                got, err = check(files)
                self.assertEqual(got, status, err)
                self.assertIn(text, err)


if __name__ == "__main__":
    unittest.main()
