"""Checks a repaired wheel (make wheel-check) and prints what it holds.

- `auditwheel show` finds it consistent with a manylinux platform tag, the one
  in its file name, and names no external shared library it needs but lacks;
- the extension module exports nothing but its init function, and needs no
  shared libcrypto or zlib (they are linked in);
- the wheel carries the project's license and those of the libraries in it.

Usage: check_wheel.py WHEEL (auditwheel on PATH, pyelftools importable: both
come with requirements-dev.txt).
"""

import io
import re
import subprocess
import sys
import zipfile
from pathlib import Path

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

EXPORTED = {"PyInit__tessarine"}
LINKED_IN = ("libcrypto.", "libssl.", "libz.")
LICENSES = {"LICENSE"} | {f"third_party/{name}.txt" for name in ("ICU", "Abseil", "OpenSSL", "zlib")}


def fail(message: str) -> None:
    sys.exit(f"check_wheel: {message}")


def auditwheel_tag(wheel: Path) -> str:
    shown = subprocess.run(["auditwheel", "show", str(wheel)], capture_output=True, text=True)
    # auditwheel wraps its lines; compare the text with the line breaks undone.
    text = " ".join(shown.stdout.split())
    if shown.returncode != 0:
        fail(f"auditwheel show failed:\n{shown.stdout}{shown.stderr}")
    if "external shared libraries" in text:
        fail(f"the wheel needs shared libraries it does not carry:\n{shown.stdout}")
    match = re.search(r'consistent with the following platform tag: "([^"]+)"', text)
    if not match or not match.group(1).startswith("manylinux_"):
        fail(f"auditwheel show names no manylinux tag:\n{shown.stdout}")
    tag = match.group(1)
    if not wheel.name.endswith(f"-{tag}.whl"):
        fail(f"{wheel.name} is not tagged {tag}, the tag auditwheel show finds")
    return tag


def check_extension(data: bytes) -> list[str]:
    elf = ELFFile(io.BytesIO(data))
    exported = {
        symbol.name
        for symbol in elf.get_section_by_name(".dynsym").iter_symbols()
        if symbol["st_shndx"] != "SHN_UNDEF" and symbol["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK")
    }
    if exported != EXPORTED:
        fail(f"the extension exports {sorted(exported - EXPORTED)[:20]} besides {sorted(EXPORTED)}")
    needed = [
        tag.needed
        for section in elf.iter_sections()
        if isinstance(section, DynamicSection)
        for tag in section.iter_tags()
        if tag.entry.d_tag == "DT_NEEDED"
    ]
    shared = [name for name in needed if name.startswith(LINKED_IN)]
    if shared:
        fail(f"the extension needs {shared}, which should be linked in")
    return needed


def main() -> None:
    if len(sys.argv) != 2:
        fail("usage: check_wheel.py WHEEL")
    wheel = Path(sys.argv[1])
    tag = auditwheel_tag(wheel)
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        extensions = [n for n in names if re.fullmatch(r"tessarine/_tessarine\..*\.so", n)]
        if len(extensions) != 1:
            fail(f"expected one extension module in the wheel, found {extensions}")
        needed = check_extension(archive.read(extensions[0]))
        licenses = {n.split(".dist-info/licenses/", 1)[1] for n in names if ".dist-info/licenses/" in n}
        licenses.discard("third_party/")
        if not LICENSES <= licenses:
            fail(f"license files missing from the wheel: {sorted(LICENSES - licenses)}")
        bundled = sorted(Path(n).name for n in names if n.startswith("tessarine.libs/") and n[-1] != "/")
    size = wheel.stat().st_size
    print(f"wheel-check: {wheel.name} ({size / 2**20:.1f} MiB, platform tag {tag})")
    print(f"wheel-check: the extension needs {', '.join(needed)}")
    print(f"wheel-check: bundled by auditwheel: {', '.join(bundled) or 'nothing'}")


if __name__ == "__main__":
    main()
