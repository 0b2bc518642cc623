import sys

from bathyra.cli import main

sys.exit(main())
