#!/usr/bin/env python3
"""Checks the firmware of one camera and upgrades it when it differs from the
wanted version, with the Python package. Ctrl-C cancels the upgrade: the
camera is released before the KeyboardInterrupt ends the program.

    upgrade_if_needed.py CAMERA_IP PACKAGE VERSION [HOST_IP]

Exit status 0 when the camera runs VERSION (already or after the upgrade)."""
import logging
import sys

import camupgrade


def main(camera, package, wanted, host=None):
    try:
        identity = camupgrade.info(camera)
        if identity.version == wanted:
            print(f"{camera} ({identity.manufacturer} {identity.model}) runs firmware "
                  f"{identity.version} already")
            return 0
        print(f"{camera} runs firmware {identity.version}; upgrading to {wanted}")
        phases = []

        def on_status(status):
            if not phases or phases[-1] != status.phase:
                phases.append(status.phase)
                print(f"{status.camera}: {status.phase}", flush=True)

        [result] = camupgrade.upgrade(camera, package, host=host, on_status=on_status)
    except camupgrade.Error as e:
        print(f"{camera}: {e}", file=sys.stderr)
        return 1
    print(f"{camera}: {result.verdict}" + (f": {result.message}" if result.message else ""))
    if result.after:
        print(f"{camera}: firmware {result.after.version}")
    return 0 if result.upgraded and result.after and result.after.version == wanted else 1


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    logging.basicConfig(level=logging.WARNING)  # INFO shows the library's lines
    sys.exit(main(*sys.argv[1:5]))
