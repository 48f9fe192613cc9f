#!/usr/bin/env python3
"""Builds Qel_weigher.msi with wixl from the win32 and win64 builds.

The COM registration comes from qel_msi_registry (the table DllRegisterServer writes); the
package's identities are derived, not typed: the UpgradeCode is a name-based UUID under the
type library's LIBID (so it stays the same for every version), and the ProductCode one under
the UpgradeCode and the version (so every version has its own).

  make_msi.py --tool qel_msi_registry --win32 DIR --win64 DIR --source DIR --version X.Y.Z
              --out Qel_weigher.msi
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))


def codes(libid, version):
    upgrade = uuid.uuid5(uuid.UUID(libid), "Qel_weigher.msi UpgradeCode")
    product = uuid.uuid5(upgrade, "Qel_weigher.msi ProductCode " + version)
    return str(upgrade).upper(), str(product).upper()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--win32", required=True)
    parser.add_argument("--win64", required=True)
    parser.add_argument("--source", default=os.path.join(HERE, "..", ".."))
    parser.add_argument("--version", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--print-codes", action="store_true",
                        help="print UpgradeCode and ProductCode and build nothing")
    args = parser.parse_args()

    libid = subprocess.run([args.tool, "libid"], check=True, stdout=subprocess.PIPE,
                           text=True).stdout.strip()
    upgrade, product = codes(libid, args.version)
    if args.print_codes:
        print("UpgradeCode {%s}\nProductCode {%s}" % (upgrade, product))
        return 0

    for build in (args.win32, args.win64):
        dll = os.path.join(build, "src", "com", "Qel_weigher.dll")
        if not os.path.exists(dll):
            print("make_msi: no %s (build the win32 and win64 presets first)" % dll,
                  file=sys.stderr)
            return 1
    has_service = os.path.exists(os.path.join(args.win64, "service", "qelscaled.exe"))

    # wixl takes source paths relative to the .wxs file: the package is put together in a
    # scratch folder, with links to the build folders and the sources.
    with tempfile.TemporaryDirectory() as gen:
        for name, target in (("win32", args.win32), ("win64", args.win64),
                             ("source", args.source)):
            os.symlink(os.path.abspath(target), os.path.join(gen, name))
        for platform, file_id, folder, shared in (
                ("win64", "Qel_weigher.dll.x64", "INSTALLDIR64", True),
                ("win32", "Qel_weigher.dll.x86", "INSTALLDIR32", False)):
            argv = [args.tool, "values", "--platform", platform, "--path", "[#%s]" % file_id,
                    "--folder", "[%s]" % folder] + (["--shared"] if shared else [])
            with open(os.path.join(gen, "registry-%s.wxi" % platform), "w") as out:
                subprocess.run(argv, check=True, stdout=out)
        shutil.copy(os.path.join(HERE, "Qel_weigher.wxs"), gen)
        out = os.path.abspath(args.out)
        defines = {
            "Version": args.version, "ProductCode": product, "UpgradeCode": upgrade,
            "Win32Dir": "win32", "Win64Dir": "win64", "SourceDir": "source",
            "HasService": "yes" if has_service else "no",
        }
        argv = ["wixl", "-a", "x64", "-o", out + ".tmp"]
        for name, value in defines.items():
            argv += ["-D", "%s=%s" % (name, value)]
        subprocess.run(argv + ["Qel_weigher.wxs"], check=True, cwd=gen)
        os.replace(out + ".tmp", out)
    print("%s: version %s, ProductCode {%s}, UpgradeCode {%s}%s"
          % (out, args.version, product, upgrade, ", with qelscaled.exe" if has_service else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
