/*
 * Fixture for the driver's firmware path: the native firmware of the machine,
 * the ACPI device below the driver's device, results encoded as the ACPI
 * driver writes them, and the registry values the driver keeps. Hung evaluations are released before the verifier's final check.
 */
#pragma once
#include "support/testbed.h"

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "acpi/acpidevice.h"
#include "acpi/eval.h"
#include "drivernames.h"
#include "firmware/native.h"
#include "machine/registry.h"
#include "wdf/device.h"

namespace tvrx::test {

using tvrx::kHardwareConfigKey;
using tvrx::kSarServiceKey;

class FirmwarePath : public Testbed {
protected:
    void SetUp() override
    {
        Testbed::SetUp();
        firmware = &dynamic_cast<plat::NativeFirmware&>(machine->Firmware());
    }

    void TearDown() override
    {
        if (machine) {
            dynamic_cast<plat::NativeFirmware&>(machine->Firmware()).ClearFaults();  // releases whatever hangs
        }
        EXPECT_TRUE(plat::acpi::WaitForEvaluations(std::chrono::seconds(10)));
        Testbed::TearDown();
    }

    // Three machine seconds must stay long enough for a busy host to answer
    // every evaluation, and short enough for tests of a hung firmware.
    plat::Machine::Options MachineOptions() override
    {
        plat::Machine::Options options = Testbed::MachineOptions();
        options.clockRate = 4.0;
        return options;
    }

    // The driver-wide BiosSarState variable of the loaded image.
    ULONG BiosSarStateVariable() const { return debugview::ReadBiosSarState(*host).value(); }

    std::optional<uint32_t> BiosSarStateValue() const { return machine->Registry().GetDword(kSarServiceKey, L"BiosSarState"); }
    std::optional<std::wstring> BiosInfoValue() const { return machine->Registry().GetString(kSarServiceKey, L"BiosInfo"); }

    // A method result as the ACPI driver writes it into a zeroed buffer of `size` bytes.
    static std::vector<uint8_t> Encode(const plat::AcpiObject& result,
                                       size_t size = debugview::DriverLimits().dsmOutputSize)
    {
        std::vector<uint8_t> bytes(size, 0);
        plat::acpi::EncodeEvalOutput(result, bytes.data(), bytes.size());
        return bytes;
    }

    // Hands `bytes` to the response processing in a memory object of their size.
    NTSTATUS Process(LONG function, LONG table, const std::vector<uint8_t>& bytes)
    {
        return debugview::ProcessDsmResult(*host, Device(), function, table, bytes);
    }

    plat::NativeFirmware* firmware = nullptr;
};

}  // namespace tvrx::test
