"""One tournament published through MODULE (velka or baseline) against URL
with the Papi file FILE; prints the process's peak resident memory (KiB) and
the wall time (s). Run in a fresh process, so the peak is this upload's.

    python bench/upload_once.py velka|baseline URL FILE
"""

import resource
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))


def main():
    name, url, papi = sys.argv[1:4]
    module = __import__(name)
    module.ADMIN_FFE_URL = url
    start = time.perf_counter()
    module.envoi_tournoi("bench", "bench", papi, True)
    elapsed = time.perf_counter() - start
    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, elapsed)


if __name__ == "__main__":
    main()
