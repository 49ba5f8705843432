#!/bin/bash
# Runs the reference server ($TAVO_REAL_SERVER) so that it names 127.0.0.2
# in upload tickets and download addresses, where the transfer tests' relays
# listen and pass everything on to the server on 127.0.0.1.
if [ "$1" = serve ]; then
    exec "$TAVO_REAL_SERVER" "$@" --public-host 127.0.0.2
fi
exec "$TAVO_REAL_SERVER" "$@"
