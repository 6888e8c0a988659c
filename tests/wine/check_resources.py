#!/usr/bin/env python3
"""Checks the resources of a Windows program of the build, as Explorer and
the loader read them (wrestool and icotool of icoutils, mingw's objdump):

  check_resources.py PROGRAM.exe gui|console VERSION OBJDUMP

- the subsystem (a dialog program must not open a console, the command
  line must have one);
- the application icon 128 with 32-bit images from 16 to 256 pixels, drawn
  (not blank);
- the version information: the fixed file and product version numbers and
  the strings Explorer shows under Properties, all of the build's version;
- exactly one manifest, well-formed (Windows refuses to start a program
  whose manifest does not parse), asking for per-monitor DPI awareness v2,
  long paths, common controls 6, Windows 10/11, and no elevation.
Prints what it found; exits 1 with the faults listed.
"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

faults = []


def check(ok, text):
    if not ok:
        faults.append(text)
    return ok


def run(*args, binary=False):
    out = subprocess.run(args, check=True, capture_output=True)
    return out.stdout if binary else out.stdout.decode("utf-8", "replace")


def check_subsystem(exe, kind, objdump):
    found = re.search(r"^Subsystem\s+\S+\s+\((.*)\)", run(objdump, "-p", exe), re.M)
    want = "Windows GUI" if kind == "gui" else "Windows CUI"
    check(found and found.group(1) == want, f"subsystem {found.group(1) if found else '?'}, not {want}")


def check_icon(exe, tmp):
    ico = os.path.join(tmp, "icon.ico")
    run("wrestool", "-x", "--type=group_icon", "--name=128", "-o", ico, exe)
    if not check(os.path.getsize(ico) > 0, "no icon 128"):
        return
    listing = run("icotool", "-l", ico)
    sizes = sorted({int(w) for w, depth in re.findall(r"--width=(\d+) .*--bit-depth=(\d+)", listing)
                    if depth == "32"})
    print("icon sizes:", sizes)
    for size in (16, 24, 32, 48, 256):
        check(size in sizes, f"no 32-bit {size}x{size} image in icon 128")
    # The 32 x 32 image: drawn, with transparent corners and an opaque,
    # many-coloured middle.
    with open(ico, "rb") as f:
        data = f.read()
    count = struct.unpack_from("<H", data, 4)[0]
    for i in range(count):
        width, _, _, _, _, depth, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        if width == 32 and depth == 32 and data[offset:offset + 4] == struct.pack("<I", 40):
            rows = data[offset + 40:offset + 40 + 32 * 32 * 4]  # bottom-up BGRA
            pixel = lambda x, y: rows[((31 - y) * 32 + x) * 4:((31 - y) * 32 + x) * 4 + 4]
            check(pixel(0, 0)[3] == 0 and pixel(31, 31)[3] == 0, "the icon's corners are not transparent")
            middle = {pixel(x, y) for x in range(8, 24) for y in range(8, 24)}
            check(all(p[3] == 255 for p in middle), "the icon's middle is not opaque")
            check(len(middle) > 4, "the icon's middle is blank")
            break
    else:
        check(False, "no 32x32 image with a DIB header in icon 128")


def fixed_info(block):
    at = block.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return None
    ms, ls, pms, pls = struct.unpack_from("<IIII", block, at + 8)
    numbers = lambda hi, lo: (hi >> 16, hi & 0xFFFF, lo >> 16, lo & 0xFFFF)
    return numbers(ms, ls), numbers(pms, pls)


def version_strings(block):
    text = block.decode("utf-16-le", "replace")
    pairs = {}
    for key in ("CompanyName", "FileDescription", "FileVersion", "InternalName", "LegalCopyright",
                "OriginalFilename", "ProductName", "ProductVersion"):
        found = re.search(key + r"\x00+([^\x00]+)\x00", text)
        pairs[key] = found.group(1) if found else None
    return pairs


def check_version(exe, version):
    block = run("wrestool", "-x", "--raw", "--type=version", "--name=1", exe, binary=True)
    if not check(block, "no version information"):
        return
    numbers = tuple(int(p) for p in version.split(".")) + (0,) * (4 - len(version.split(".")))
    fixed = fixed_info(block)
    check(fixed == (numbers, numbers), f"fixed version numbers {fixed}, not {numbers}")
    strings = version_strings(block)
    for key, value in strings.items():
        print(f"{key}: {value}")
    name = os.path.basename(exe)
    check(strings["ProductName"] == "Quillet", "ProductName is not Quillet")
    check(strings["FileVersion"] == version, f"FileVersion is not {version}")
    check((strings["ProductVersion"] or "").split(" ")[0] == version, f"ProductVersion does not start with {version}")
    check(strings["OriginalFilename"] == name, f"OriginalFilename is not {name}")
    check((strings["LegalCopyright"] or "").startswith("Copyright"), "no copyright")
    check(len(strings["FileDescription"] or "") > 10, "no description")


def check_manifest(exe):
    listing = run("wrestool", "-l", exe)
    manifests = re.findall(r"--type=24 ", listing)
    if not check(len(manifests) == 1, f"{len(manifests)} manifests, not one"):
        return
    text = run("wrestool", "-x", "--raw", "--type=24", "--name=1", exe, binary=True)
    try:
        root = ET.fromstring(text)
    except ET.ParseError as e:
        check(False, f"the manifest does not parse: {e}")
        return
    values = {el.tag.split("}")[-1]: (el.text or "").strip() for el in root.iter()}
    check(values.get("dpiAwareness") == "PerMonitorV2", "no per-monitor DPI awareness v2")
    check(values.get("dpiAware") == "true/pm", "no per-monitor DPI awareness for older Windows 10")
    check(values.get("longPathAware") == "true", "not long-path aware")
    os_ids = [el.get("Id") for el in root.iter() if el.tag.endswith("supportedOS")]
    check("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}" in os_ids, "Windows 10/11 not among the supported systems")
    controls = [el for el in root.iter() if el.tag.endswith("assemblyIdentity")
                and el.get("name") == "Microsoft.Windows.Common-Controls"]
    check(controls and controls[0].get("version") == "6.0.0.0", "common controls 6 not asked for")
    levels = [el.get("level") for el in root.iter() if el.tag.endswith("requestedExecutionLevel")]
    check(levels == ["asInvoker"], f"execution level {levels}, not asInvoker")
    print("manifest: PerMonitorV2, longPathAware, Common-Controls 6.0.0.0, supportedOS", os_ids)


def main():
    exe, kind, version, objdump = sys.argv[1:5]
    with tempfile.TemporaryDirectory() as tmp:
        check_subsystem(exe, kind, objdump)
        check_icon(exe, tmp)
        check_version(exe, version)
        check_manifest(exe)
    for f in faults:
        print("FAULT:", f)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
