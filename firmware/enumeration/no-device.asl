/*
 * Devices the driver must not bind to, each for its own reason, every one
 * with a _DSM that answers the driver's function 0 as the Tavrix device
 * would. `tvrx-sim check` finds no device for the driver, lists each of these
 * with the reason it was not taken, and exits with status 1.
 */
DefinitionBlock ("", "DSDT", 2, "TVRX", "NODEV", 1)
{
    Scope (\_SB)
    {
        Device (GONE)   // the right _HID, but _STA says not present
        {
            Name (_HID, "TVRX0001")
            Method (_STA, 0, NotSerialized) { Return (Zero) }
            Method (_DSM, 4, NotSerialized) { Return (0x0F) }
        }

        Device (NOID)   // no _HID at all
        {
            Name (_UID, One)
            Method (_DSM, 4, NotSerialized) { Return (0x0F) }
        }

        Device (OTHR)   // another device's _HID
        {
            Name (_HID, "ABCD0002")
            Method (_DSM, 4, NotSerialized) { Return (0x0F) }
        }

        Device (BADH)   // neither an ACPI ID nor a PNP ID: G is no hexadecimal digit
        {                // (a method: the compiler checks only a Name's ID)
            Method (_HID, 0, NotSerialized) { Return ("TVRX000G") }
            Method (_DSM, 4, NotSerialized) { Return (0x0F) }
        }
    }
}
