DefinitionBlock ("", "SSDT", 2, "TVRX", "BROKEN", 1)
{
    Device (TVRX
}
