/*
 * The Tavrix device with two faults of its identity, and nothing else worth
 * checking (its _DSM says "supported" to everything):
 *   - _STA returns 0x07: present and enabled, but bit 3 (functioning) is
 *     clear, so Windows lists the device with a problem code;
 *   - a second device has the same _HID and neither has a _UID, so the two
 *     cannot be told apart.
 * `tvrx-sim check` fails "device" and "_HID/_UID" on it.
 */
DefinitionBlock ("", "DSDT", 2, "TVRX", "IDENT", 1)
{
    Scope (\_SB)
    {
        Device (TVRX)
        {
            Name (_HID, "TVRX0001")
            Method (_STA, 0, NotSerialized) { Return (0x07) }
            Method (_DSM, 4, NotSerialized) { Return (0x0F) }
        }

        Device (TVR2)
        {
            Name (_HID, "TVRX0001")
        }
    }
}
