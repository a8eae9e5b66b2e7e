"""`python -m korvalinden`: runs the command-line tool."""

import sys

from korvalinden._launcher import run

if __name__ == "__main__":
    # argparse names the program after sys.argv[0], which is this file's path
    # here; show the command the user typed instead.
    sys.argv[0] = "python -m korvalinden"
    run()
