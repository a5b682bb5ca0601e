#!/usr/bin/env python3
"""Tests of fv-inject against Debian's OVMF image: byte-exact parsing, a
rebuild with and without added drivers checked by an independent walker, and
refusal (no output file) of every kind of input it must not accept."""

import contextlib
import io
import lzma
import os
import pathlib
import random
import struct
import subprocess
import sys
import tempfile
import unittest
import uuid

TOOL_DIR = pathlib.Path(__file__).resolve().parents[2] / "tools" / "fv-inject"
sys.path.insert(0, str(TOOL_DIR))

import binary_module  # noqa: E402
import fv_inject  # noqa: E402
import pe_image  # noqa: E402
from pi_formats import FormatError, GuidedSection, Section, build_section_stream, parse_sections  # noqa: E402

OVMF_CODE = pathlib.Path(os.environ.get("FV_INJECT_OVMF_CODE", "/usr/share/OVMF/OVMF_CODE_4M.fd"))
SEC_VOLUME_OFFSET = 0x348000  # FVMAIN_COMPACT is 0x348000 bytes in the 4 MiB build
LZMA_GUID = uuid.UUID("EE4E5898-3914-4259-9D6E-DC7BD79403CF").bytes_le
PCI_BUS_DXE_GUID = "93B80004-9FB3-11D4-9A3A-0090273FC14D"
DRIVER_GUID = "D2E0A5F7-3C41-4B8E-9A6D-1F2B3C4D5E6F"
SECOND_GUID = "6A1C8E3B-94D7-4F20-B5A8-0C7E2D9F1B34"


def make_pe(payload=b"\xc3" * 64, subsystem=11, magic=0x20B, machine=0x8664, stamp=True):
    """A minimal PE32+ image with one section holding `payload`."""
    file_alignment = 0x200
    raw_size = -(-len(payload) // file_alignment) * file_alignment
    optional_size = 112 + 16 * 8
    headers = bytearray(0x400)
    headers[0:2] = b"MZ"
    struct.pack_into("<I", headers, 0x3C, 0x80)
    headers[0x80:0x84] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", headers, 0x84, machine, 1, 0, 0, 0, optional_size, 0x22)
    optional = 0x98
    struct.pack_into("<HBBIIIII", headers, optional, magic, 14, 0, raw_size, 0, 0, 0x1000, 0x1000)
    struct.pack_into("<QII", headers, optional + 24, 0x140000000, 0x1000, file_alignment)
    size_of_image = 0x1000 + -(-len(payload) // 0x1000) * 0x1000
    struct.pack_into("<III", headers, optional + 56, size_of_image, 0x400, 0)
    struct.pack_into("<HH", headers, optional + 68, subsystem, 0x160)
    struct.pack_into("<I", headers, optional + 108, 16)
    section = optional + optional_size
    struct.pack_into("<8sIIII", headers, section, b".text", len(payload), 0x1000, raw_size, 0x400)
    struct.pack_into("<I", headers, section + 36, 0x60000020)
    image = bytearray(headers) + payload + bytes(raw_size - len(payload))
    if stamp:
        struct.pack_into("<I", image, optional + 64, pe_image.image_checksum(bytes(image), optional + 64))
    return bytes(image)


class IndependentWalker:
    """Checks a flash image with its own reading of the PI rules (not the
    tool's parser), counting what it checked."""

    def __init__(self):
        self.volumes = self.files = self.sections = 0
        self.driver_files = {}

    def image(self, data):
        offset = 0
        while offset < len(data):
            offset += self.volume(data[offset:])

    def volume(self, data):
        length, signature, attributes, header_length, ext_offset = struct.unpack_from("<Q4sIHxxH", data, 32)
        assert signature == b"_FVH", "volume signature"
        assert sum(struct.unpack_from("<%dH" % (header_length // 2), data)) & 0xFFFF == 0, "volume header checksum"
        self.volumes += 1
        erase = 0xFF if attributes & 0x800 else 0x00
        start = header_length
        if ext_offset:
            start = ext_offset + struct.unpack_from("<I", data, ext_offset + 16)[0]
        offset = -(-start // 8) * 8
        while offset + 24 <= length and data[offset:offset + 24] != bytes([erase]) * 24:
            offset = -(-(offset + self.file(data, offset, erase)) // 8) * 8
        assert all(b == erase for b in data[offset:length]), "free space is erased"
        return length

    def file(self, volume, offset, erase):
        header = bytearray(volume[offset:offset + 24])
        size = int.from_bytes(header[20:23], "little")
        file_type, attributes, file_sum, state = header[18], header[19], header[17], header[23]
        assert attributes & 0x01 == 0, "no large files in these volumes"
        header[17] = header[23] = 0
        assert sum(header) & 0xFF == 0, "file header checksum"
        assert state ^ erase == 0x07, "file state"
        data = volume[offset + 24:offset + size]
        if attributes & 0x40:
            assert (sum(data) + file_sum) & 0xFF == 0, "file data checksum"
        else:
            assert file_sum == 0xAA, "fixed data checksum"
        self.files += 1
        if file_type not in (0x01, 0xF0):
            sections = self.section_stream(data)
            if file_type == 0x07:
                self.driver_files[str(uuid.UUID(bytes_le=bytes(header[:16]))).upper()] = sections
        return size

    def section_stream(self, data):
        found = []
        offset = 0
        while offset < len(data):
            size = int.from_bytes(data[offset:offset + 3], "little")
            kind = data[offset + 3]
            assert 4 <= size <= len(data) - offset, "section size within its file"
            body = data[offset + 4:offset + size]
            found.append((kind, body))
            self.sections += 1
            if kind == 0x02:
                guid, data_offset, _ = struct.unpack_from("<16sHH", body)
                if guid == LZMA_GUID:
                    stream = body[data_offset - 4:]
                    declared = struct.unpack_from("<Q", stream, 5)[0]
                    decoded = lzma.LZMADecompressor(lzma.FORMAT_ALONE).decompress(stream)
                    assert len(decoded) == declared, "LZMA size field"
                    self.section_stream(decoded)
            elif kind == 0x17:
                assert self.volume(body) == len(body), "volume fills its section"
            offset = -(-(offset + size) // 4) * 4
        return found


class FvInjectTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.original = OVMF_CODE.read_bytes()
        cls.work = tempfile.TemporaryDirectory()
        cls.dir = pathlib.Path(cls.work.name)
        cls.driver = cls.dir / "Driver.efi"
        cls.driver.write_bytes(make_pe(b"\xc3" + bytes(range(256)) * 8))
        cls.second = cls.dir / "Second.efi"
        cls.second.write_bytes(make_pe(b"\xc3" * 100, subsystem=12))
        cls.rebuilt = fv_inject.inject(cls.original, [])
        cls.specs = [
            fv_inject.parse_driver_spec("%s,guid=%s,name=TestDriver" % (cls.driver, DRIVER_GUID)),
            fv_inject.parse_driver_spec("%s,guid=%s,depex=%s+%s" % (
                cls.second, SECOND_GUID, "AD61F191-AE5F-4C0E-B9FA-E869D288C64F",
                "220E73B6-6BDB-4413-8405-B974B108619A")),
        ]
        cls.injected = fv_inject.inject(cls.original, cls.specs)

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def dxe(self, image):
        return fv_inject.find_compressed_dxe(fv_inject.parse_flash(image))

    # --- parsing and rebuilding ---

    def test_parsing_then_serialising_is_byte_exact_at_every_level(self):
        regions = fv_inject.parse_flash(self.original)
        for region in regions:
            self.assertEqual(region.volume.to_bytes(), self.original[region.offset:region.offset + region.length])
        target = self.dxe(self.original)
        self.assertEqual(build_section_stream(target.sections), target.file.data)
        self.assertEqual(build_section_stream(parse_sections(target.stream, "stream")), target.stream)
        guided = target.sections[target.guided_index]
        self.assertEqual(GuidedSection.parse(guided, "file").to_section().to_bytes(), guided.to_bytes())
        self.assertEqual(target.dxe.to_bytes(), target.dxe_section.data)
        for ffs in target.dxe.files:
            self.assertEqual(build_section_stream(ffs.sections()), ffs.data, ffs.name)

    def test_rebuild_without_drivers_changes_only_the_compressed_file(self):
        before, after = self.dxe(self.original), self.dxe(self.rebuilt)
        self.assertEqual(len(self.rebuilt), len(self.original))
        self.assertEqual(after.stream, before.stream)
        self.assertEqual(self.rebuilt[SEC_VOLUME_OFFSET:], self.original[SEC_VOLUME_OFFSET:])
        self.assertEqual(self.rebuilt[:0x78], self.original[:0x78])  # volume header unchanged

    def test_every_checksum_and_size_holds_in_the_rebuilt_images(self):
        for name, image in (("original", self.original), ("rebuilt", self.rebuilt), ("injected", self.injected)):
            with self.subTest(name):
                walker = IndependentWalker()
                walker.image(image)
                self.assertEqual(walker.volumes, 4)  # main, PEI, DXE, SEC
                self.assertGreater(walker.files, 100)
                self.assertGreater(walker.sections, walker.files)
                added = {DRIVER_GUID, SECOND_GUID} & walker.driver_files.keys()
                self.assertEqual(added, {DRIVER_GUID, SECOND_GUID} if image is self.injected else set())

    def test_added_drivers_are_driver_files_with_depex_image_and_name(self):
        walker = IndependentWalker()
        walker.image(self.injected)
        first = dict(walker.driver_files[DRIVER_GUID])
        self.assertEqual(first[0x10], self.driver.read_bytes())
        self.assertEqual(first[0x13], bytes([0x06, 0x08]))
        self.assertEqual(first[0x15], "TestDriver\0".encode("utf-16-le"))
        second = dict(walker.driver_files[SECOND_GUID])
        self.assertEqual(second[0x15], "Second\0".encode("utf-16-le"))
        self.assertEqual(len(second[0x13]), 2 * 17 + 2)  # PUSH, PUSH, AND, END
        self.assertEqual(second[0x13][-2:], bytes([0x03, 0x08]))

    def test_added_drivers_follow_the_existing_files_which_do_not_move(self):
        before, after = self.dxe(self.original).dxe, self.dxe(self.injected).dxe
        self.assertEqual(after.files[:len(before.files)], before.files)
        added = after.files[len(before.files):]
        self.assertEqual([f.offset % 8 for f in added], [0, 0])
        used = -(-(added[-1].offset + added[-1].size) // 8) * 8 - before.free_offset
        self.assertEqual(after.free_space, before.free_space - used)

    # --- refusals: a clear error and no output file ---

    def assert_refused(self, image, drivers, message):
        """Runs the command line as a user would: status 1, the reason on
        stderr, and nothing written."""
        source = self.dir / "input.fd"
        source.write_bytes(image)
        output = self.dir / "refused.fd"
        arguments = ["inject", str(source), "-o", str(output)]
        for driver in drivers:
            arguments += ["--driver", driver]
        errors = io.StringIO()
        with contextlib.redirect_stderr(errors):
            status = fv_inject.main(arguments)
        self.assertEqual(status, 1)
        self.assertRegex(errors.getvalue(), "^fv-inject: error: .*(%s)" % message)
        self.assertEqual([p.name for p in self.dir.iterdir() if p.name.startswith("refused")], [])

    def corrupt(self, offset, xor=0x01, image=None):
        damaged = bytearray(image or self.original)
        damaged[offset] ^= xor
        return bytes(damaged)

    def test_images_it_does_not_understand_are_refused(self):
        payload = self.dxe(self.original).guided.payload
        payload_offset = self.original.index(payload[:64])
        cases = [
            ("volume signature", self.corrupt(0x28), "no firmware volume signature"),
            ("volume header checksum", self.corrupt(0x32), "bad firmware volume header checksum"),
            ("file header checksum", self.corrupt(0x78), "bad header checksum"),
            ("second volume signature", self.corrupt(SEC_VOLUME_OFFSET + 0x28), "no firmware volume signature"),
            ("truncated image", self.original[:SEC_VOLUME_OFFSET + 0x1000], "does not fit"),
            ("damaged compressed data", self.corrupt(payload_offset + 0x1000, 0xFF), "LZMA|checksum|section"),
            ("no compressed DXE volume", self.original[SEC_VOLUME_OFFSET:], "no LZMA-compressed firmware volume"),
        ]
        for name, image, message in cases:
            with self.subTest(name):
                self.assert_refused(image, [], message)

    def test_driver_files_that_are_not_sound_pe32_plus_drivers_are_refused(self):
        good = self.driver.read_bytes()
        damaged = bytearray(good)
        damaged[0x420] ^= 0x10
        cases = [
            ("bad checksum", bytes(damaged), "does not match its contents"),
            ("no checksum", make_pe(stamp=False), "carries no checksum"),
            ("not a PE image", b"#!/bin/sh\n" * 20, "no MZ header"),
            ("PE32, not PE32+", make_pe(magic=0x10B), "not a PE32\\+ image"),
            ("not x86-64", make_pe(machine=0xAA64), "not x86-64"),
            ("an application", make_pe(subsystem=10), "not a UEFI boot-service or runtime driver"),
            ("truncated", good[:0x500], "runs past the end of the file"),
        ]
        for name, image, message in cases:
            with self.subTest(name):
                path = self.dir / "case.efi"
                path.write_bytes(image)
                self.assert_refused(self.original, ["%s,guid=%s" % (path, DRIVER_GUID)], message)

    def test_an_unstamped_image_is_accepted_only_when_asked(self):
        unstamped = self.dir / "Unstamped.efi"
        unstamped.write_bytes(make_pe(stamp=False))
        wanted = fv_inject.parse_driver_spec("%s,guid=%s" % (unstamped, DRIVER_GUID))
        self.assertEqual(fv_inject.driver_file(wanted, require_checksum=False).type, 0x07)
        with self.assertRaisesRegex(FormatError, "carries no checksum"):
            fv_inject.driver_file(wanted, require_checksum=True)

    def test_bad_driver_options_and_duplicate_files_are_refused(self):
        cases = [
            ("no GUID", "%s" % self.driver, "file GUID is required"),
            ("bad GUID", "%s,guid=nonsense" % self.driver, "guid=: 'nonsense' is not a GUID"),
            ("unknown option", "%s,guid=%s,size=3" % (self.driver, DRIVER_GUID), "bad option"),
            ("bad depex file", "%s,guid=%s,depex=@%s" % (self.driver, DRIVER_GUID, self.driver), "dependency"),
            ("missing file", "%s/none.efi,guid=%s" % (self.dir, DRIVER_GUID), "No such file"),
            ("GUID already in the volume", "%s,guid=%s" % (self.driver, PCI_BUS_DXE_GUID), "already holds"),
        ]
        for name, wanted, message in cases:
            with self.subTest(name):
                with self.assertRaisesRegex(FormatError, message):
                    fv_inject.inject(self.original, [fv_inject.parse_driver_spec(wanted)])

    def test_a_lack_of_space_is_refused(self):
        noise = random.Random(9).randbytes
        free = self.dxe(self.original).dxe.free_space
        too_big_for_dxe = self.dir / "Huge.efi"
        too_big_for_dxe.write_bytes(make_pe(b"\xc3" + noise(free)))
        self.assert_refused(self.original, ["%s,guid=%s" % (too_big_for_dxe, DRIVER_GUID)], "not enough space.*for")
        # Fits the DXE volume but, incompressible, not the volume around the compressed file.
        too_big_compressed = self.dir / "Noise.efi"
        too_big_compressed.write_bytes(make_pe(b"\xc3" + noise(0x200000)))
        self.assert_refused(self.original, ["%s,guid=%s" % (too_big_compressed, DRIVER_GUID)],
                            "not enough space: the rebuilt file")


class PeChecksumTest(unittest.TestCase):
    def test_stamped_checksum_catches_any_single_byte_change(self):
        image = make_pe(bytes(range(256)) * 4)
        self.assertEqual(pe_image.check_driver_image(image), 11)
        for offset in (0, 0x3C, 0x98 + 20, 0x400, len(image) - 1):
            damaged = bytearray(image)
            damaged[offset] ^= 0x40
            with self.subTest(offset=offset), self.assertRaises(pe_image.ImageError):
                pe_image.check_driver_image(bytes(damaged))

    def test_checksum_of_an_odd_length_file_counts_the_last_byte(self):
        even = pe_image.image_checksum(bytes(0x100) + b"\x01\x00", 0x40)
        odd = pe_image.image_checksum(bytes(0x100) + b"\x01", 0x40)
        self.assertEqual(even - 2, odd - 1)


class GuidedSectionTest(unittest.TestCase):
    def test_header_fields_follow_the_payload_size_and_extra_bytes_are_kept(self):
        guid = uuid.UUID(DRIVER_GUID).bytes_le
        for name, payload, header, extended in (("small", b"x" * 100, 4, False),
                                                ("16 MiB", bytes(0x1000000), 8, True)):
            with self.subTest(name):
                built = GuidedSection(guid, 0x01, b"\xaa\xbb\xcc\xdd", payload).to_section().to_bytes()
                section = parse_sections(built, name)[0]
                self.assertEqual(section.extended, extended)
                self.assertEqual(struct.unpack_from("<H", built, header + 16)[0], header + 20 + 4)
                parsed = GuidedSection.parse(section, name)
                self.assertEqual((parsed.guid, parsed.attributes, parsed.extra), (guid, 0x01, b"\xaa\xbb\xcc\xdd"))
                self.assertEqual(parsed.payload, payload)

    def test_a_data_offset_outside_the_section_is_refused(self):
        fields = struct.pack("<16sHH", bytes(16), 0x400, 0x01)
        with self.assertRaisesRegex(FormatError, "outside the section"):
            GuidedSection.parse(Section(0x02, fields + bytes(8)), "test")


class DepexTest(unittest.TestCase):
    def test_expressions_that_do_not_evaluate_are_refused(self):
        from pi_formats import validate_depex
        push = bytes([0x02]) + bytes(16)
        self.assertEqual(validate_depex(bytes([0x06, 0x08])), "TRUE END")
        self.assertIn("AND END", validate_depex(push + push + bytes([0x03, 0x08])))
        for name, depex in (("AND with one operand", push + bytes([0x03, 0x08])),
                            ("no END", push),
                            ("two values left", push + push + bytes([0x08])),
                            ("bytes after END", bytes([0x06, 0x08, 0x06])),
                            ("truncated PUSH", bytes([0x02, 0x01])),
                            ("unknown opcode", bytes([0x42, 0x08]))):
            with self.subTest(name), self.assertRaises(FormatError):
                validate_depex(depex)


class BinaryModuleTest(unittest.TestCase):
    def test_the_shipped_description_names_the_image_and_its_depex(self):
        inf = TOOL_DIR.parents[1] / "efi" / "PciPlatformDxe.inf"
        name, guid, image, depex = binary_module.driver_from_inf(inf)
        self.assertEqual(name, "PciPlatformDxe")
        uuid.UUID(guid)
        self.assertEqual((image.name, depex.name), ("PciPlatformDxe.efi", "PciPlatformDxe.depex"))

    def test_a_module_becomes_a_driver_spec_and_bad_descriptions_are_refused(self):
        with tempfile.TemporaryDirectory() as work:
            work = pathlib.Path(work)
            (work / "M.depex").write_bytes(bytes([0x06, 0x08]))
            body = "[Defines]\n  BASE_NAME = M\n  FILE_GUID = %s\n  MODULE_TYPE = %s\n[Binaries.X64]\n%s"
            good = work / "Good.inf"
            good.write_text(body % (DRIVER_GUID, "DXE_DRIVER", "  PE32|M.efi|*  # image\n  DXE_DEPEX|M.depex|*\n"))
            wanted = fv_inject.driver_spec_from_inf(good)
            self.assertEqual((wanted.name, wanted.path, wanted.depex), ("M", work / "M.efi", bytes([0x06, 0x08])))
            for name, text, message in (
                    ("a PEIM", body % (DRIVER_GUID, "PEIM", "  PE32|M.efi|*\n"), "not a DXE driver"),
                    ("no image", body % (DRIVER_GUID, "DXE_DRIVER", "  DXE_DEPEX|M.depex|*\n"), "no PE32"),
                    ("bad GUID", body % ("xyz", "DXE_DRIVER", "  PE32|M.efi|*\n"), "FILE_GUID: 'xyz' is not a GUID"),
                    ("missing depex", body % (DRIVER_GUID, "DXE_DRIVER", "  PE32|M.efi|*\n  DXE_DEPEX|No.depex|*\n"),
                     "No such file"),
                    ("no FILE_GUID", "[Defines]\n BASE_NAME = M\n MODULE_TYPE = DXE_DRIVER\n", "no FILE_GUID")):
                with self.subTest(name):
                    bad = work / "Bad.inf"
                    bad.write_text(text)
                    with self.assertRaisesRegex(FormatError, message):
                        fv_inject.driver_spec_from_inf(bad)


class CommandLineTest(unittest.TestCase):
    """Every refusal is one line, `fv-inject: error: ...`, with the documented
    status (1 refused input, 2 unparsable command line), never a traceback."""

    def test_bad_arguments_and_paths_are_refused_in_one_line(self):
        with tempfile.TemporaryDirectory() as work:
            work = pathlib.Path(work)
            driver = work / "D.efi"
            driver.write_bytes(make_pe())
            inject = ["inject", str(OVMF_CODE), "-o", str(work / "out.fd")]
            driver_option = "%s,guid=%s" % (driver, DRIVER_GUID)
            cases = [
                ("output in a missing folder", ["inject", str(OVMF_CODE), "-o", str(work / "no" / "out.fd")], 1,
                 "folder .*/no does not exist"),
                ("module that is not an .inf", inject + ["--module", str(driver)], 1,
                 "--module .*D.efi: not a binary module description"),
                ("module that is not text", inject + ["--module", str(self.binary_inf(work))], 1, "not a text file"),
                ("malformed guid=", inject + ["--driver", "%s,guid=1234" % driver], 1,
                 "--driver '.*' guid=: '1234' is not a GUID"),
                ("malformed GUID in depex=", inject + ["--driver", driver_option + ",depex=%s+x" % DRIVER_GUID], 1,
                 "--driver '.*' depex=: 'x' is not a GUID"),
                ("missing depex file", inject + ["--driver", driver_option + ",depex=@%s" % (work / "none")], 1,
                 "depex=: cannot read .*none: No such file"),
                ("driver option without a path", inject + ["--driver", ",guid=%s" % DRIVER_GUID], 1,
                 "no driver file before the options"),
                ("malformed --protocol", ["depex", "--protocol", "AD61F191", "-o", str(work / "x.depex")], 1,
                 "depex --protocol: 'AD61F191' is not a GUID"),
                ("image that is a folder", ["verify", str(work)], 1, "Is a directory"),
                ("missing image", ["pe-checksum", str(work / "none.efi")], 1, "No such file"),
                ("unknown command", ["frobnicate"], 2, "invalid choice: 'frobnicate'"),
                ("output option without a value", ["inject", str(OVMF_CODE), "-o"], 2, "expected one argument"),
            ]
            for name, arguments, status, message in cases:
                with self.subTest(name):
                    run = subprocess.run([sys.executable, str(TOOL_DIR / "fv_inject.py")] + arguments,
                                         capture_output=True, text=True, check=False)
                    self.assertEqual(run.returncode, status, run.stderr)
                    self.assertRegex(run.stderr, "^fv-inject: error: .*%s.*\n$" % message)
                    self.assertEqual(run.stderr.count("\n"), 1, run.stderr)
                    self.assertEqual(run.stdout, "")
            self.assertEqual(sorted(p.name for p in work.iterdir()), ["D.efi", "M.inf"])

    @staticmethod
    def binary_inf(work):
        path = work / "M.inf"
        path.write_bytes(b"[Defines]\xff\xfe\x00")
        return path


if __name__ == "__main__":
    if not OVMF_CODE.is_file():
        print("skipped: %s is missing (Debian package ovmf)" % OVMF_CODE)
        sys.exit(77)
    unittest.main()
