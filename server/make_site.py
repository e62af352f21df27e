#!/usr/bin/env python3
"""Generates the vendor's demo web site into a folder.

The site holds the value file /values/bvstartup.url (its body is the download
base address, written as given, without a line break) and the download folder
/bvfiles/bvstartup/ with every file the installer may fetch: the program files
(copies of the stand-in program), the language and sire files, the start-up
archives and the music file. Every file's content is made here; the start-up
archives are written by our own zip tool (run as `TOOL a ARCHIVE FILE...` in a
staging folder, so that the members are stored under their bare names).

Beside them, the vendor's signed list of files, made with the standard tools
as server/README.md tells a vendor to: `sha256sums` (by `sha256sum`) and
`sha256sums.sig` (by `openssl dgst -sha256 -sign KEY`), signed with the demo
site's test key unless --key names another.

    make_site.py --base-url URL --standin EXE --zip-tool TOOL [--omit NAME]...
                 [--key PEM | --unsigned] [--unlisted NAME]... SITE_DIR

Running it again over the same folder replaces what it wrote before, and
removes a file that is now omitted.
"""

import argparse
import os
import random
import struct
import subprocess
import sys
import tempfile

VALUE_FILE = "bvstartup.url"
LIST_FILE = "sha256sums"
SIGNATURE_FILE = "sha256sums.sig"
DEMO_KEY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "demo-key", "vendor.pem")
DOWNLOAD_FOLDER = ("bvfiles", "bvstartup")

PROGRAM_FILES = ["zoded.___", "zovozivu.___", "ruvuvevu.___", "bvcon.___",
                 "rangerwin.___", "lumenwin.___"]

# Language code -> (name, words in the order of WORD_KEYS).
WORD_KEYS = ["Herd", "Cow", "Calving", "MilkYield", "Save", "Cancel"]
LANGUAGES = {
    "spa": ("Español", ["Rebaño", "Vaca", "Parto", "Producción de leche", "Guardar", "Cancelar"]),
    "ita": ("Italiano", ["Mandria", "Vacca", "Parto", "Produzione di latte", "Salva", "Annulla"]),
    "ger": ("Deutsch", ["Herde", "Kuh", "Kalbung", "Milchleistung", "Speichern", "Abbrechen"]),
    "fra": ("Français", ["Troupeau", "Vache", "Vêlage", "Production laitière", "Enregistrer",
                         "Annuler"]),
    "rus": ("Русский", ["Стадо", "Корова", "Отёл", "Надой", "Сохранить", "Отмена"]),
    "dut": ("Nederlands", ["Kudde", "Koe", "Afkalving", "Melkproductie", "Opslaan", "Annuleren"]),
    "por": ("Português", ["Rebanho", "Vaca", "Parto", "Produção de leite", "Guardar", "Cancelar"]),
    "chn": ("中文", ["牛群", "奶牛", "产犊", "产奶量", "保存", "取消"]),
    "pol": ("Polski", ["Stado", "Krowa", "Wycielenie", "Wydajność mleczna", "Zapisz", "Anuluj"]),
    "cze": ("Čeština", ["Stádo", "Kráva", "Otelení", "Užitkovost mléka", "Uložit", "Zrušit"]),
    "svk": ("Slovenčina", ["Stádo", "Krava", "Otelenie", "Úžitkovosť mlieka", "Uložiť", "Zrušiť"]),
    "est": ("Eesti", ["Kari", "Lehm", "Poegimine", "Piimatoodang", "Salvesta", "Tühista"]),
}

# Sire file code -> (country, prefix of the animals' registration numbers).
SIRE_FILES = {
    "usa": ("USA", "USA840"),
    "cdn": ("Canada", "CAN124"),
    "ger": ("Deutschland", "DEU276"),
    "ita": ("Italia", "ITA380"),
    "gbr": ("Great Britain", "GBR826"),
    "alt": ("Alta", "ALT000"),
}

COMMON_MEMBERS = ["worklist.lst", "FLYTABLE.BVG", "TrimTool.exe", "linkup.exe", "BVTuner.exe",
                  "bv_badge.gif"]
# Start-up archive -> its members, in the order the installer takes them.
ARCHIVES = {
    "basefiles.zip": COMMON_MEMBERS,
    "basefiles_cdn.zip": COMMON_MEMBERS + ["BVBASE.DAT"],
    "basefiles_ita.zip": COMMON_MEMBERS + ["BVBASE.DAT", "BVBASE.TXT", "BVLANG.ITA", "BVLANG.DAT"],
    "basefiles_spa.zip": COMMON_MEMBERS + ["BVBASE.DAT", "BVBASE.TXT", "BVHINTS.DAT", "BVPANEL.DAT",
                                           "BVPANEL.MEN", "BVLANG.DAT", "STOCK1.DAT"],
}
# What each archive is for, written into its members.
ARCHIVE_REGION = {
    "basefiles.zip": ("generic", "English", "USA"),
    "basefiles_cdn.zip": ("Canada", "English", "CAN"),
    "basefiles_ita.zip": ("Italy", "Italiano", "ITA"),
    "basefiles_spa.zip": ("Spain", "Español", "ESP"),
}

MUSIC_FILE = "ipanema.mid"


def remote_names():
    """Every file name of the download folder, as the installer asks for it."""
    names = list(PROGRAM_FILES)
    names += ["bvlang." + code for code in LANGUAGES]
    names += ["bvsires." + code for code in SIRE_FILES]
    names += list(ARCHIVES)
    names.append(MUSIC_FILE)
    return names


# ---- language and sire files ------------------------------------------------

def language_file(code):
    name, words = LANGUAGES[code]
    lines = ["; Bovista language file: %s (%s)" % (name, code), "[Language]", "Code=" + code,
             "Name=" + name, "[Strings]"]
    lines += ["%s=%s" % (key, word) for key, word in zip(WORD_KEYS, words)]
    return ("\r\n".join(lines) + "\r\n").encode("utf-8")


SIRE_FIRST = ["MERIDIAN", "HALCYON", "BRAMBLE", "TIMBER", "SORREL", "LODESTAR", "WICKHAM",
              "ORCHARD", "GRANITE", "HARROW", "TALLIS", "BEACON"]
SIRE_SECOND = ["RED", "JUBILEE", "ATLAS", "CLOVER", "MAJOR", "FARLEY", "NOBLE", "ASPEN"]


def sire_file(code):
    country, prefix = SIRE_FILES[code]
    rnd = random.Random("bvsires." + code)  # the same content on every run
    lines = ["; Bovista sire file: %s (%s)" % (country, code),
             "Code;Name;Breed;Born;Milk kg;Fat %;Protein %"]
    for i in range(8):
        lines.append("%s%09d;%s %s;%s;%d-%02d-%02d;%+d;%+.2f;%+.2f" % (
            prefix, rnd.randrange(10 ** 8, 10 ** 9), rnd.choice(SIRE_FIRST), rnd.choice(SIRE_SECOND),
            rnd.choice(["HO", "HO", "HO", "JE", "BS", "SR"]), rnd.randrange(2012, 2022),
            rnd.randrange(1, 13), rnd.randrange(1, 29), rnd.randrange(-200, 1400),
            rnd.randrange(-15, 30) / 100, rnd.randrange(-8, 16) / 100))
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


# ---- start-up archive members -------------------------------------------------

def member_tag(member, archive):
    """The line every member carries: which archive it was written for."""
    return "Bovista start-up data: %s from %s" % (member, archive)


MEMBER_LINES = {
    "worklist.lst": ["Heat check;daily", "Pregnancy check;35 days after service",
                     "Dry off;60 days before calving", "Hoof trimming;twice a year",
                     "Vaccination;as planned"],
    "FLYTABLE.BVG": ["Month;Treatment", "May;pour-on", "June;ear tags", "July;pour-on",
                     "August;spray"],
    "BVBASE.DAT": ["Country={country}", "Language={language}", "Units=metric", "Herdbook={code}"],
    "BVBASE.TXT": ["Base data for {country}: herd book {code}, metric units."],
    "BVLANG.ITA": ["Herd=Mandria", "Cow=Vacca", "Calving=Parto"],
    "BVLANG.DAT": ["Language={language}"],
    "BVHINTS.DAT": ["1=Press F1 for help on any field.", "2=Calvings are entered on the cow's card."],
    "BVPANEL.DAT": ["Panel=Herd;Cows;Calvings;Milk", "Columns=4"],
    "BVPANEL.MEN": ["&File", "&Herd", "&Reports", "&Help"],
    "STOCK1.DAT": ["Stock;Unit;Count", "Semen straws;straw;0", "Ear tags;piece;0"],
}


def text_member(member, archive):
    country, language, code = ARCHIVE_REGION[archive]
    lines = [member_tag(member, archive)]
    lines += [line.format(country=country, language=language, code=code)
              for line in MEMBER_LINES[member]]
    return ("\r\n".join(lines) + "\r\n").encode("utf-8")


def exe_member(member, archive, standin):
    """The stand-in program, with a trailer naming the archive after its image
    (Windows loads only the image, so the program still runs)."""
    return standin + b"\r\n" + member_tag(member, archive).encode("ascii") + b"\r\n"


def badge_gif(text):
    """A 16x16 four-colour badge as a GIF89a image, with `text` as its comment.

    The image data is LZW with a clear code before every two pixels, so the
    code width stays at 3 bits and no string table is needed."""
    width = height = 16
    palette = bytes([255, 255, 255, 0, 102, 51, 204, 153, 0, 0, 0, 0])  # white, green, gold, black
    pixels = []
    for y in range(height):
        for x in range(width):
            dx, dy = x - 7.5, y - 7.5
            r2 = dx * dx + dy * dy
            pixels.append(0 if r2 > 56 else 3 if r2 > 42 else 2 if abs(dx) < 2 or abs(dy) < 2 else 1)
    clear, end = 4, 5
    codes = []
    for i in range(0, len(pixels), 2):
        codes.append(clear)
        codes.extend(pixels[i:i + 2])
    codes.append(end)
    data, acc, bits = bytearray(), 0, 0
    for code in codes:
        acc |= code << bits
        bits += 3
        while bits >= 8:
            data.append(acc & 0xFF)
            acc >>= 8
            bits -= 8
    if bits:
        data.append(acc)
    out = bytearray(b"GIF89a")
    out += struct.pack("<HHBBB", width, height, 0x81, 0, 0)  # global table of 4 colours
    out += palette
    comment = text.encode("ascii")
    out += b"\x21\xfe"
    for i in range(0, len(comment), 255):
        chunk = comment[i:i + 255]
        out += bytes([len(chunk)]) + chunk
    out += b"\x00"
    out += b"\x2c" + struct.pack("<HHHHB", 0, 0, width, height, 0)
    out += b"\x02"  # LZW minimum code size
    for i in range(0, len(data), 255):
        chunk = data[i:i + 255]
        out += bytes([len(chunk)]) + chunk
    out += b"\x00\x3b"
    return bytes(out)


def member_content(member, archive, standin):
    if member.lower().endswith(".exe"):
        return exe_member(member, archive, standin)
    if member.lower().endswith(".gif"):
        return badge_gif(member_tag(member, archive))
    return text_member(member, archive)


def write_archive(archive_path, archive, standin, zip_tool, work_dir):
    """Writes the members into a staging folder and has the zip tool pack them."""
    if os.path.exists(archive_path):
        os.remove(archive_path)  # the tool adds to an existing archive
    members = ARCHIVES[archive]
    with tempfile.TemporaryDirectory(prefix=".staging-", dir=work_dir) as staging:
        for member in members:
            with open(os.path.join(staging, member), "wb") as f:
                f.write(member_content(member, archive, standin))
        result = subprocess.run([zip_tool, "a", archive_path] + members, cwd=staging,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if result.returncode != 0 or not os.path.isfile(archive_path):
        sys.stderr.write(result.stdout.decode("utf-8", "replace"))
        raise SystemExit("make_site: %s a %s failed (exit status %d)"
                         % (zip_tool, archive, result.returncode))


# ---- the music file -------------------------------------------------------------

def vlq(n):
    """A MIDI variable-length quantity."""
    out = [n & 0x7F]
    n >>= 7
    while n:
        out.append(0x80 | (n & 0x7F))
        n >>= 7
    return bytes(reversed(out))


def waiting_tune():
    """A short tune of four bars in F major (melody and bass) as a standard
    MIDI file of format 0."""
    ppq = 96
    q, e, h = ppq, ppq // 2, ppq * 2
    # (note, length); MIDI note 60 is middle C.
    melody = [(72, q), (69, e), (65, e), (67, q), (69, q),
              (70, q), (74, q), (72, h),
              (69, q), (67, e), (69, e), (65, q), (62, q),
              (64, q), (67, q), (65, h)]
    bass = [(41, h), (48, h), (46, h), (41, h), (50, h), (46, h), (48, h), (41, h)]
    events = []  # (tick, order, bytes): at one tick, note-offs sort before note-ons

    def voice(notes, channel, velocity):
        tick = 0
        for note, length in notes:
            events.append((tick, 1, bytes([0x90 | channel, note, velocity])))
            events.append((tick + length - 4, 0, bytes([0x80 | channel, note, 64])))
            tick += length
        return tick

    name = b"Bovista waiting tune"
    head = [b"\xff\x03" + vlq(len(name)) + name,
            b"\xff\x58\x04\x04\x02\x18\x08",  # 4/4
            b"\xff\x59\x02\xff\x00",  # one flat: F major
            b"\xff\x51\x03" + (500000).to_bytes(3, "big"),  # 120 quarter notes a minute
            b"\xc0\x0b", b"\xc1\x20"]  # vibraphone, acoustic bass
    for event in head:
        events.append((0, -1, event))
    end = max(voice(melody, 0, 90), voice(bass, 1, 70))
    events.sort(key=lambda ev: (ev[0], ev[1]))
    track, now = bytearray(), 0
    for tick, _, data in events:
        track += vlq(tick - now) + data
        now = tick
    track += vlq(end - now) + b"\xff\x2f\x00"
    return (b"MThd" + struct.pack(">IHHH", 6, 0, 1, ppq)
            + b"MTrk" + struct.pack(">I", len(track)) + bytes(track))


# ---- the signed list ------------------------------------------------------------

def sign_folder(folder, key, unlisted):
    """Lists every file of the download folder but `unlisted` with sha256sum
    and signs the list with openssl, as the vendor's recipe does."""
    names = sorted(name for name in os.listdir(folder)
                   if os.path.isfile(os.path.join(folder, name))
                   and name not in (LIST_FILE, SIGNATURE_FILE) and name not in unlisted)
    with open(os.path.join(folder, LIST_FILE), "wb") as out:
        subprocess.run(["sha256sum", "--"] + names, cwd=folder, stdout=out, check=True)
    subprocess.run(["openssl", "dgst", "-sha256", "-sign", key, "-out", SIGNATURE_FILE, LIST_FILE],
                   cwd=folder, check=True)
    return len(names)


# ---- the site -------------------------------------------------------------------

def write_file(path, data):
    with open(path, "wb") as f:
        f.write(data)


def remove_if_present(path):
    if os.path.lexists(path):
        os.remove(path)


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Generates the vendor's demo web site into SITE_DIR.")
    parser.add_argument("site_dir", metavar="SITE_DIR")
    parser.add_argument("--base-url", required=True,
                        help="body of /values/bvstartup.url, e.g. http://127.0.0.1:8080/bvfiles/bvstartup/")
    parser.add_argument("--standin", required=True, help="the stand-in program (standin.exe)")
    parser.add_argument("--zip-tool", required=True, help="the zip tool that writes the archives")
    parser.add_argument("--omit", action="append", default=[], metavar="NAME",
                        help="leave NAME out (a download file name, or %s); repeatable" % VALUE_FILE)
    parser.add_argument("--key", default=DEMO_KEY,
                        help="the private key (PEM) that signs the list (default: the demo site's test key)")
    parser.add_argument("--unsigned", action="store_true",
                        help="write no list of files and no signature")
    parser.add_argument("--unlisted", action="append", default=[], metavar="NAME",
                        help="serve NAME but leave it out of the signed list; repeatable")
    args = parser.parse_args(argv)

    known = set(remote_names()) | {VALUE_FILE}
    unknown = [name for name in args.omit if name not in known]
    if unknown:
        parser.error("--omit: unknown name(s): " + ", ".join(unknown))
    omit = set(args.omit)
    with open(args.standin, "rb") as f:
        standin = f.read()
    zip_tool = os.path.abspath(args.zip_tool) if os.sep in args.zip_tool else args.zip_tool

    site = os.path.abspath(args.site_dir)
    values = os.path.join(site, "values")
    folder = os.path.join(site, *DOWNLOAD_FOLDER)
    os.makedirs(values, exist_ok=True)
    os.makedirs(folder, exist_ok=True)

    value_path = os.path.join(values, VALUE_FILE)
    remove_if_present(value_path)
    if VALUE_FILE not in omit:
        write_file(value_path, args.base_url.encode("ascii"))

    for name in remote_names():
        path = os.path.join(folder, name)
        remove_if_present(path)
        if name in omit:
            continue
        if name in PROGRAM_FILES:
            write_file(path, standin)
        elif name.startswith("bvlang."):
            write_file(path, language_file(name.split(".", 1)[1]))
        elif name.startswith("bvsires."):
            write_file(path, sire_file(name.split(".", 1)[1]))
        elif name in ARCHIVES:
            write_archive(path, name, standin, zip_tool, site)
        elif name == MUSIC_FILE:
            write_file(path, waiting_tune())
    for name in (LIST_FILE, SIGNATURE_FILE):
        remove_if_present(os.path.join(folder, name))
    signed = "unsigned"
    if not args.unsigned:
        listed = sign_folder(folder, os.path.abspath(args.key), set(args.unlisted))
        signed = "%d files listed in %s, signed with %s" % (listed, LIST_FILE, args.key)
    written = len(remote_names()) + 1 - len(omit)
    print("make_site: %d files in %s%s; %s" % (written, site,
                                               " (left out: %s)" % ", ".join(sorted(omit)) if omit else "",
                                               signed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
