#!/usr/bin/env python3
"""The image checker's readers of its inputs (the INF's floor, the routines
that run PAGED_CODE(), the export list, the linker's map): the parts a
wrong reading of which would let a faulty image pass."""
import os
import sys
import tempfile
import textwrap
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import imagecheck  # noqa: E402


class Files:
    """Writes texts to files of a temporary folder."""

    def __init__(self):
        self.folder = tempfile.TemporaryDirectory()

    def write(self, name, text):
        path = os.path.join(self.folder.name, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(textwrap.dedent(text))
        return path


class InputsTest(unittest.TestCase):
    def setUp(self):
        self.files = Files()

    def tearDown(self):
        self.files.folder.cleanup()

    def test_floor_is_the_oldest_decoration_and_a_missing_one_is_refused(self):
        # Decorations as the INF documentation gives them:
        # NT<arch>.<major>.<minor>.<product type>.<suite mask>.<build>.
        inf = self.files.write("a.inf", """\
            [Manufacturer]
            ; %M% = Old,NTamd64.6.1  (a comment, not a model)
            %M% = Models, NTamd64.10.0...17763, NTarm64.10.0...16299 ; two targets
            [Strings]
            M = "m"
            """)
        self.assertEqual(imagecheck.read_inf_floor(inf), (10, 0, 16299))
        undecorated = self.files.write("b.inf", "[Manufacturer]\n%M% = Models\n")
        with self.assertRaises(imagecheck.Fault):
            imagecheck.read_inf_floor(undecorated)

    def test_paged_routines_are_found_by_their_bodies_only(self):
        source = self.files.write("unit.cpp", """\
            #pragma alloc_text(PAGE, Paged)
            // PAGED_CODE() in a comment: Plain { PAGED_CODE(); }
            static const char* text = "{ PAGED_CODE(); }";
            static const GUID guid = { 1, 2, 3, { 4 } };
            NTSTATUS
            Paged(_In_ WDFDEVICE Device, PVOID (*Callback)(VOID))
            {
                PAGED_CODE();
                if (Device) { return STATUS_SUCCESS; }
                return STATUS_UNSUCCESSFUL;
            }
            VOID Plain(VOID)
            {
                /* PAGED_CODE(); */
                TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "PAGED_CODE()");
            }
            extern "C" {
            VOID Inner(VOID) { }
            }
            """)
        routines = imagecheck.paged_routines([source])
        self.assertEqual(routines.get("Paged"), True)
        self.assertEqual(routines.get("Plain"), False)
        self.assertEqual(routines.get("Inner"), False)  # inside a linkage block
        self.assertNotIn("guid", routines)

    def test_export_list_lines_are_checked(self):
        good = self.files.write("good.txt", """\
            # comment
            ntoskrnl.exe  KeSetEvent         5.0
            ntoskrnl.exe  ExEventObjectType  5.0   data   # a variable
            WDFLDR.SYS    WdfVersionBind     6.0
            ntoskrnl.exe  ExAllocatePool2    10.0.19041
            """)
        exports = imagecheck.read_exports(good)
        self.assertEqual(exports["wdfldr.sys"]["WdfVersionBind"], (6, 0, 0))
        self.assertEqual(exports["ntoskrnl.exe"]["ExAllocatePool2"], (10, 0, 19041))
        for bad in ("ntoskrnl.exe KeSetEvent\n", "ntoskrnl.exe KeSetEvent Windows7\n",
                    "ntoskrnl.exe KeSetEvent 5.0 code\n"):
            with self.assertRaises(imagecheck.Fault, msg=bad):
                imagecheck.read_exports(self.files.write("bad.txt", bad))

    def test_map_gives_each_public_symbol_its_section(self):
        # lld-link's /map: "section:offset  name  rva+base  object".
        path = self.files.write("a.map", """\
             Start         Length     Name                   Class
             0001:00000000 00008c80H .text                   CODE

              Address         Publics by Value              Rva+Base               Lib:Object

             0001:00000000       DriverEntry                0000000140001000     driver.obj
             0007:00000010       TavrixCreateDevice         0000000140010010     device.obj

             Static symbols

             0001:00001360       ?Helper@@YAJPEAXJJ0PEBJ@Z  0000000140002360     device.obj
             0002:00000040       ??_C@_0BA@ABCDEFGH@text?$AA@ 0000000140003040   device.obj
            """)
        self.assertEqual(imagecheck.read_map(path),
                         {"DriverEntry": (1, True), "TavrixCreateDevice": (7, True), "Helper": (1, False)})


if __name__ == "__main__":
    unittest.main()
