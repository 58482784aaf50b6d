/*
 * Tables whose entries the driver reads otherwise than their shape suggests.
 * Table 0's second entry has five elements: the driver takes its first four,
 * then stops at the third entry, which it finds out of place. Table 1's
 * second entry has a 4-byte String for value 1, whose bytes the driver takes
 * as the value, and its count needs 64 bits (the driver holds the low 32).
 * Table 2 counts three entries but has two: the driver refuses it and does
 * not start. `tvrx-sim check` must say what the driver holds and why, not
 * what the entries look like.
 */
DefinitionBlock ("", "SSDT", 2, "TVRX", "CHKENTR", 1)
{
    Scope (\_SB)
    {
        Device (TVRX)
        {
            Name (_HID, "TVRX0001")
            Name (BVER, "TVRX-ASL check test: entries")
            Name (DMOD, One)
            Name (SART, Buffer () { 0x54, 0x53, 0x41, 0x52, 0x10, 0x00, 0x00, 0x00,
                                    0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xB5 })
            Name (DMT0, Package () { 0x40, 3, Package () { 3,
                Package () { 0, 160, 150, 140 },
                Package () { 1, 150, 140, 130, 99 },    // five elements
                Package () { 2, 140, 130, 120 } } })
            Name (DMT1, Package () { 0x41, 0x100000002, Package () { 2,    // a count of 64 bits
                Package () { 0, 158, 148, 138 },
                Package () { 1, "abc", 138, 128 } } })  // a String of 4 bytes
            Name (DMT2, Package () { 0x42, 3, Package () { 3,  // count 3, two entries
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
