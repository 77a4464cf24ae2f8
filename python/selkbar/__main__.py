"""python -m selkbar: the selkbar-train command line, with the same arguments.

The selkbar package is the compiled module itself, installed as this
directory's __init__; this file is its only Python part.
"""
import sys

import selkbar_cli

if __name__ == "__main__":
    sys.exit(selkbar_cli.main())
