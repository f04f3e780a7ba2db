#!/bin/sh
# Prints the loader that runs the lane's programs (ORVANE_WINE_LANE, see lane.sh), for test scripts
# that start Wine themselves.
. "$(dirname "$0")/lane.sh"
echo "$orvane_wine_loader"
