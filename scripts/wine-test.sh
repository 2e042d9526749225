#!/bin/sh
# The emulator CTest runs the test programs with: Wine's loader, given as the
# first argument, with the program and its arguments after it. When it ends
# with a failure its exit status is printed, since a Wine that ends before
# the program has run leaves no other trace in the test's output.
"$@"
status=$?
if [ "$status" -ne 0 ]; then
  echo "wine-test: $1 ended with status $status" >&2
fi
exit "$status"
