/*
 * Broken on purpose: table 1 has 14 entries. Its answer needs more
 * than the 524 bytes the driver reads a result into (13 entries fit), so the
 * evaluation fails and the driver does not start.
 * `tvrx-sim check` fails "function 2, table 1" and warns of what it never read.
 * Everything else is a small, well-formed firmware (see ../tavrix-sample.asl).
 */
DefinitionBlock ("", "SSDT", 2, "TVRX", "BRKSIZE", 1)
{
    Scope (\_SB)
    {
        Device (TVRX)
        {
            Name (_HID, "TVRX0001")
            Name (BVER, "TVRX-ASL broken sample: function 2, table 1")
            Name (DMOD, One)
            Name (SART, Buffer () { 0x54, 0x53, 0x41, 0x52, 0x10, 0x00, 0x00, 0x00,
                                    0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xB5 })
            Name (DMT0, Package () { 0x40, 2, Package () { 2,
                Package () { 0, 160, 150, 140 },
                Package () { 1, 150, 140, 130 } } })
            Name (DMT1, Package () { 0x41, 14, Package () { 14,    // one entry too many
                Package () { 0, 160, 150, 140 },
                Package () { 1, 159, 149, 139 },
                Package () { 2, 158, 148, 138 },
                Package () { 3, 157, 147, 137 },
                Package () { 4, 156, 146, 136 },
                Package () { 5, 155, 145, 135 },
                Package () { 6, 154, 144, 134 },
                Package () { 7, 153, 143, 133 },
                Package () { 8, 152, 142, 132 },
                Package () { 9, 151, 141, 131 },
                Package () { 10, 150, 140, 130 },
                Package () { 11, 149, 139, 129 },
                Package () { 12, 148, 138, 128 },
                Package () { 13, 147, 137, 127 } } })
            Name (DMT2, Package () { 0x42, 2, Package () { 2,
                Package () { 0, 156, 146, 136 },
                Package () { 1, 146, 136, 126 } } })

            Method (_DSM, 4, Serialized)
            {
                If ((Arg0 != ToUUID ("82737e72-3a33-4c45-a9c7-57c0411a5f13")) || (Arg1 != Zero))
                {
                    Return (Buffer () { 0x00 })
                }
                Switch (ToInteger (Arg2))
                {
                    Case (0) { Return (0x0F) }
                    Case (1) { Return (DMOD) }
                    Case (2)
                    {
                        Switch (ToInteger (Arg3))
                        {
                            Case (0) { Return (DMT0) }
                            Case (1) { Return (DMT1) }
                            Case (2) { Return (DMT2) }
                        }
                    }
                    Case (3)
                    {
                        Local0 = Package (2) {}
                        Local0 [Zero] = 0x7FFC0000
                        Local0 [One] = SizeOf (SART)
                        Return (Local0)
                    }
                }
                Return (Buffer () { 0x00 })
            }

            Method (SMOD, 1, Serialized)
            {
                DMOD = Arg0
                Notify (TVRX, 0x80)
            }
        }
    }
}
