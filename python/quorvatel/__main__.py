import sys

from quorvatel.cli import main

sys.exit(main())
