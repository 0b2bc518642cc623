import sys

try:
    from bathyra.cli import main
    status = main()
except KeyboardInterrupt:
    # Ctrl-C before the command line could take it (while it starts).
    sys.stderr.write("python -m bathyra: interrupted\n")
    status = 130
sys.exit(status)
