/*
 * Firmware for a real machine (or a virtual machine) to test the driver on:
 * the same device and _DSM as tavrix-sample.asl, but the SAR table is copied
 * into memory the machine's firmware reserves instead of lying at the
 * simulator's address. docs/windows.md ("Testing without the firmware
 * device") says how to load it.
 *
 * Before use, set SARA below to a reserved range of this machine. Until then
 * _STA reports the device absent, so an unedited copy does nothing.
 *
 * The device mode (DMOD) stays as set here: on a machine, the embedded
 * controller's events would change it and notify the device.
 *
 * Compile with: iasl tavrix-machine.asl (or the WDK's asl.exe)
 */
DefinitionBlock ("", "SSDT", 2, "TVRX", "TVRXMACH", 0x00010000)
{
    Scope (\_SB)
    {
        Device (TVRX)
        {
            Name (_HID, "TVRX0001")
            Name (_UID, Zero)
            Name (_STR, Unicode ("Tavrix device-mode device"))

            // The current device mode: 0 clamshell closed, 1 laptop, 2 tent, 3 tablet, 4 stand.
            Name (DMOD, One)

            // The SAR table: a 16-byte header ("TSAR", length, revision 1, six rows),
            // six rows of a band and six power limits in eighths of a dBm, and a
            // checksum byte that makes the whole table sum to zero.
            // SET THIS before use: the physical address of at least 0x40 bytes that this
            // machine's firmware reserves (its memory map, E820 or UEFI, reports the
            // range as Reserved or ACPI NVS) and that nothing else uses. Windows lets
            // AML and the driver map only such memory; an address in ordinary RAM
            // would overwrite memory Windows has given to something else. While SARA
            // is zero the device reports itself absent and nothing is written.
            Name (SARA, Zero)
            Name (SART, Buffer ()
            {
                0x54, 0x53, 0x41, 0x52, 0x40, 0x00, 0x00, 0x00,
                0x01, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00,
                0x01, 0xB8, 0xB4, 0xB0, 0xAC, 0xA8, 0xA4, 0x00,
                0x02, 0xB6, 0xB2, 0xAE, 0xAA, 0xA6, 0xA2, 0x00,
                0x03, 0xB4, 0xB0, 0xAC, 0xA8, 0xA4, 0xA0, 0x00,
                0x05, 0xB2, 0xAE, 0xAA, 0xA6, 0xA2, 0x9E, 0x00,
                0x07, 0xB0, 0xAC, 0xA8, 0xA4, 0xA0, 0x9C, 0x00,
                0x08, 0xAE, 0xAA, 0xA6, 0xA2, 0x9E, 0x9A, 0xA1
            })

            // The device-mode tables, each as function 2 returns it:
            //   Package {tag, entry count, Package {entry count, entry...}}
            // where an entry is Package {device mode, value 1, value 2, value 3}
            // (power limits in eighths of a dBm for three antenna groups).
            // A table holds at most 13 entries: more do not fit the driver's buffer.
            Name (DMT0, Package ()
            {
                0x20, 4,
                Package ()
                {
                    4,
                    Package () { 0, 176, 168, 160 },
                    Package () { 1, 168, 160, 152 },
                    Package () { 2, 160, 152, 144 },
                    Package () { 3, 152, 144, 136 }
                }
            })
            Name (DMT1, Package ()
            {
                0x21, 5,
                Package ()
                {
                    5,
                    Package () { 0, 172, 164, 156 },
                    Package () { 1, 164, 156, 148 },
                    Package () { 2, 156, 148, 140 },
                    Package () { 3, 148, 140, 132 },
                    Package () { 4, 140, 132, 124 }
                }
            })
            Name (DMT2, Package ()
            {
                0x22, 3,
                Package ()
                {
                    3,
                    Package () { 1, 180, 172, 164 },
                    Package () { 3, 160, 150, 140 },
                    Package () { 4, 150, 140, 130 }
                }
            })

            Method (DTBL, 1, Serialized)
            {
                Switch (ToInteger (Arg0))
                {
                    Case (0) { Return (DMT0) }
                    Case (1) { Return (DMT1) }
                    Case (2) { Return (DMT2) }
                }
                Return (Buffer () { 0x00 })
            }

            Method (_DSM, 4, Serialized)
            {
                If (Arg0 != ToUUID ("82737e72-3a33-4c45-a9c7-57c0411a5f13"))
                {
                    Return (Buffer () { 0x00 })
                }
                If (Arg1 != Zero)
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
                        Return (DMOD)
                    }
                    Case (2)
                    {
                        // The driver passes the table index as a plain Integer; callers
                        // that follow the usual _DSM habit pass Package {index}.
                        If (ObjectType (Arg3) == 4)
                        {
                            Local0 = DerefOf (Arg3 [Zero])
                        }
                        Else
                        {
                            Local0 = ToInteger (Arg3)
                        }
                        Return (DTBL (Local0))
                    }
                    Case (3)
                    {
                        Local0 = Package (2) {}
                        Local0 [Zero] = SARA
                        Local0 [One] = SizeOf (SART)
                        Return (Local0)
                    }
                }
                Return (Buffer () { 0x00 })
            }

            // Present only once SARA names the machine's reserved memory.
            Method (_STA, 0, NotSerialized)
            {
                If (SARA == Zero)
                {
                    Return (Zero)
                }
                Return (0x0F)
            }

            // Places the SAR table where function 3 of _DSM says it lies.
            Method (_INI, 0, Serialized)
            {
                If (SARA != Zero)
                {
                    OperationRegion (SARM, SystemMemory, SARA, 0x40)
                    Field (SARM, ByteAcc, NoLock, Preserve)
                    {
                        SARB,   512
                    }
                    SARB = SART
                }
            }
        }
    }
}
