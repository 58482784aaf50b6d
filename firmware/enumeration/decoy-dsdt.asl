/*
 * A DSDT whose first device is not the Tavrix device but answers its _DSM
 * as if it were: the _DSM does not look at the UUID and says "supported" to
 * everything. Loaded with ../tavrix-sample.asl as an SSDT beside it, the
 * driver still binds to \_SB.TVRX: Windows binds by hardware ID (the INF's
 * ACPI\TVRX0001), never by what a _DSM answers.
 */
DefinitionBlock ("", "DSDT", 2, "TVRX", "DECOY", 1)
{
    Scope (\_SB)
    {
        Device (DECO)
        {
            Name (_HID, "ABCD0001")
            Name (_UID, Zero)
            Name (DMOD, 0x0F)

            Method (_DSM, 4, NotSerialized)
            {
                Return (DMOD)
            }

            Method (SMOD, 1, NotSerialized)
            {
                DMOD = Arg0
                Notify (\_SB.DECO, 0x80)
            }
        }
    }
}
