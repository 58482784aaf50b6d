/*
 * Broken on purpose: function 1 sleeps 4 seconds in one Sleep. Windows
 * sleeps as long as the firmware asks, so the answer comes after the
 * driver's 3 seconds: it gives up and does not start. `tvrx-sim check`
 * fails "timing" and "function 1" on it, and warns of what it never read.
 * Everything else is a small, well-formed firmware (see ../tavrix-sample.asl).
 */
DefinitionBlock ("", "SSDT", 2, "TVRX", "BRKSLEEP", 1)
{
    Scope (\_SB)
    {
        Device (TVRX)
        {
            Name (_HID, "TVRX0001")
            Name (BVER, "TVRX-ASL broken sample: long sleep")
            Name (DMOD, One)
            Name (SART, Buffer () { 0x54, 0x53, 0x41, 0x52, 0x10, 0x00, 0x00, 0x00,
                                    0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xB5 })
            Name (DMT0, Package () { 0x40, 2, Package () { 2,
                Package () { 0, 160, 150, 140 },
                Package () { 1, 150, 140, 130 } } })
            Name (DMT1, Package () { 0x41, 2, Package () { 2,
                Package () { 0, 158, 148, 138 },
                Package () { 1, 148, 138, 128 } } })
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
                    Case (1)
                    {
                        Sleep (4000)
                        Return (DMOD)
                    }
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
