#!/bin/sh
# vornsim with the real image loaded in place of the linked driver, for the
# checks that take a vornsim to run: VORNSIM and VORN_IMAGE name both.
exec "$VORNSIM" --image "$VORN_IMAGE" "$@"
