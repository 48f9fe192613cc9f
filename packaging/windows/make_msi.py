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

# The weight service's recovery, which wixl has no element for: restarted 5 s after each of
# its first two failures and a minute after any later one, the count reset after a day. The
# Windows Installer (5.0 and later) applies it in MsiConfigureServices.
FAILURE_ACTIONS_IDT = (
    "MsiServiceConfigFailureActions\tName\tEvent\tResetPeriod\tRebootMessage\tCommand\t"
    "Actions\tDelayActions\tComponent_\n"
    "s72\tl255\ti2\tI4\tL255\tL255\tS255\tS255\ts72\n"
    "MsiServiceConfigFailureActions\tMsiServiceConfigFailureActions\n"
    # Event 1|2: on install and on reinstall. Actions 1: SC_ACTION_RESTART.
    "RestartQelscaled\tqelscaled\t3\t86400\t\t\t1[~]1[~]1\t5000[~]5000[~]60000\tService64\n")
# Where the standard sequence has it: after InstallServices (5800), before StartServices.
CONFIGURE_SERVICES_SEQUENCE = 5850


# msidbServiceInstallErrorControlVital: a service that cannot be created fails the install
# (InstallServices), as ServiceInstall's Vital="yes" asks. wixl drops that attribute. Without
# the bit the failure does not stop the install (Wine's installer only logs it as a warning):
# it then ends "successfully" with no service, or fails later, in StartServices, on a service
# that does not exist (1060, exit code 91), with the reason lost.
SERVICE_VITAL = 0x8000

# The arguments' component is installed only when there are arguments (wixl takes no
# Condition element in a Component).
ARGUMENTS_CONDITION = ("UPDATE `Component` SET `Condition` = 'QELSCALED_ARGS' "
                       "WHERE `Component` = 'ServiceArguments'")


# The OPOS device's components, likewise only with a port for it.
OPOS_CONDITIONS = ["UPDATE `Component` SET `Condition` = 'OPOS_PORT' WHERE `Component` = '%s'"
                   % component for component in ("OposDevice64", "OposDevice32")]


def secure_properties(msi, extra):
    """The query that adds `extra` to SecureCustomProperties: the public properties a
    per-machine install passes on to its elevated part, which takes no other."""
    table = subprocess.run(["msiinfo", "export", msi, "Property"], check=True,
                           stdout=subprocess.PIPE, text=True).stdout
    current = next((line.split("\t", 1)[1] for line in table.splitlines()
                    if line.startswith("SecureCustomProperties\t")), "")
    value = ";".join(name for name in current.split(";") + [extra] if name)
    return ("UPDATE `Property` SET `Value` = '%s' WHERE `Property` = 'SecureCustomProperties'"
            % value) if current else (
        "INSERT INTO `Property` (`Property`, `Value`) VALUES ('SecureCustomProperties', '%s')"
        % value)


def remove_old_version_first(msi):
    """RemoveExistingProducts right after InstallValidate, where MajorUpgrade puts it unless
    the package has an InstallExecuteSequence of its own: then wixl puts it after
    InstallFinalize, and Wine's removal of the old version, coming last, unregisters the
    upgrade code the new version has just registered."""
    sequence = {row.split("\t")[0]: row.split("\t")[-1] for row in subprocess.run(
        ["msiinfo", "export", msi, "InstallExecuteSequence"], check=True,
        stdout=subprocess.PIPE, text=True).stdout.splitlines()[3:]}
    subprocess.run(["msibuild", msi, "-q",
                    "UPDATE `InstallExecuteSequence` SET `Sequence` = %d "
                    "WHERE `Action` = 'RemoveExistingProducts'"
                    % (int(sequence["InstallValidate"]) + 1)], check=True)


def vital_services(msi):
    """The queries that set the vital bit in every ServiceInstall row's ErrorControl."""
    rows = subprocess.run(["msiinfo", "export", msi, "ServiceInstall"], check=True,
                          stdout=subprocess.PIPE, text=True).stdout.splitlines()
    columns = rows[0].split("\t")
    return ["UPDATE `ServiceInstall` SET `ErrorControl` = %d WHERE `ServiceInstall` = '%s'"
            % (int(row["ErrorControl"]) | SERVICE_VITAL, row["ServiceInstall"])
            for row in (dict(zip(columns, line.split("\t"))) for line in rows[3:])]


def add_opos_rows(msi):
    """The OPOS device's conditions, and OPOS_PORT as a secure property."""
    for query in OPOS_CONDITIONS + [secure_properties(msi, "OPOS_PORT")]:
        subprocess.run(["msibuild", msi, "-q", query], check=True)


def add_service_rows(msi, scratch):
    """What wixl cannot write of the service: the vital bit, the recovery, the arguments'
    condition, and QELSCALED_ARGS as a secure property."""
    for query in vital_services(msi):
        subprocess.run(["msibuild", msi, "-q", query], check=True)
    subprocess.run(["msibuild", msi, "-q", ARGUMENTS_CONDITION], check=True)
    subprocess.run(["msibuild", msi, "-q", secure_properties(msi, "QELSCALED_ARGS")], check=True)
    idt = os.path.join(scratch, "MsiServiceConfigFailureActions.idt")
    with open(idt, "w", newline="\r\n") as out:
        out.write(FAILURE_ACTIONS_IDT)
    subprocess.run(["msibuild", msi, "-i", idt], check=True)
    sequence = subprocess.run(["msiinfo", "export", msi, "InstallExecuteSequence"], check=True,
                              stdout=subprocess.PIPE, text=True).stdout
    if not any(line.split("\t")[0] == "MsiConfigureServices" for line in sequence.splitlines()):
        subprocess.run(["msibuild", msi, "-q",
                        "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) "
                        "VALUES ('MsiConfigureServices', %d)" % CONFIGURE_SERVICES_SEQUENCE],
                       check=True)


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
        remove_old_version_first(out + ".tmp")
        add_opos_rows(out + ".tmp")
        if has_service:
            add_service_rows(out + ".tmp", gen)
        os.replace(out + ".tmp", out)
    print("%s: version %s, ProductCode {%s}, UpgradeCode {%s}%s"
          % (out, args.version, product, upgrade, ", with qelscaled.exe" if has_service else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
