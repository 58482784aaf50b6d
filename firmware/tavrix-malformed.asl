/*
 * A deliberately faulty firmware for the Tavrix device-mode device: it shows
 * how the driver reacts to answers it cannot use. FALT picks the fault (edit
 * it here, or evaluate SFLT(n) on the device before the driver starts it):
 *   0  none: a small, well-formed firmware
 *   1  table 1 announces six entries but holds four: the driver refuses the
 *      table, so the device does not start
 *   2  the third entry of table 0 has a String device mode: the driver keeps
 *      the entries before it and leaves the others as they were
 *   3  function 1 answers the device mode as a String: the driver takes the
 *      byte where an Integer's value would be
 *   4  function 3 answers the address without the length: the driver records
 *      that the SAR table could not be located and exports nothing
 * Everything else follows tavrix-sample.asl and firmware/README.md.
 */
DefinitionBlock ("", "SSDT", 2, "TVRX", "TVRXBAD", 0x00000001)
{
    Scope (\_SB)
    {
        Device (TVRX)
        {
            Name (_HID, "TVRX0001")
            Name (_UID, Zero)
            Name (BVER, "TVRX-ASL 0.0.1 (faulty sample)")
            Name (FALT, One)
            Name (DMOD, 2)
            Name (SARA, 0x7FFD0000)
            Name (SART, Buffer () { 0x54, 0x53, 0x41, 0x52, 0x10, 0x00, 0x00, 0x00,
                                    0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xB5 })

            Name (GOOD, Package ()
            {
                0x30, 3,
                Package ()
                {
                    3,
                    Package () { 0, 160, 150, 140 },
                    Package () { 1, 150, 140, 130 },
                    Package () { 2, 140, 130, 120 }
                }
            })
            // Fault 1: the count says six, the table holds four.
            Name (LONG, Package ()
            {
                0x31, 6,
                Package ()
                {
                    6,
                    Package () { 0, 160, 150, 140 },
                    Package () { 1, 150, 140, 130 },
                    Package () { 2, 140, 130, 120 },
                    Package () { 3, 130, 120, 110 }
                }
            })
            // Fault 2: a String where the third entry's device mode belongs.
            Name (TEXT, Package ()
            {
                0x30, 3,
                Package ()
                {
                    3,
                    Package () { 0, 160, 150, 140 },
                    Package () { 1, 150, 140, 130 },
                    Package () { "2", 140, 130, 120 }
                }
            })

            Method (SFLT, 1, Serialized)
            {
                FALT = Arg0
            }

            Method (DTBL, 1, Serialized)
            {
                If ((Arg0 == Zero) && (FALT == 2))
                {
                    Return (TEXT)
                }
                If ((Arg0 == One) && (FALT == One))
                {
                    Return (LONG)
                }
                If (Arg0 <= 2)
                {
                    Return (GOOD)
                }
                Return (Buffer () { 0x00 })
            }

            Method (_DSM, 4, Serialized)
            {
                If ((Arg0 != ToUUID ("82737e72-3a33-4c45-a9c7-57c0411a5f13")) || (Arg1 != Zero))
                {
                    Return (Buffer () { 0x00 })
                }
                Switch (ToInteger (Arg2))
                {
                    Case (0)
                    {
                        Return (0x0F)
                    }
                    Case (1)
                    {
                        If (FALT == 3)
                        {
                            Return (ToDecimalString (DMOD))
                        }
                        Return (DMOD)
                    }
                    Case (2)
                    {
                        Return (DTBL (ToInteger (Arg3)))
                    }
                    Case (3)
                    {
                        If (FALT == 4)
                        {
                            Return (Package () { 0x7FFD0000 })
                        }
                        Local0 = Package (2) {}
                        Local0 [Zero] = SARA
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
