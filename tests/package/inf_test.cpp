// The driver package's INF as Setup reads it: the model that binds the
// device, and the service it installs.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ntos/pnp/inf.h"

namespace {

using plat::pnp::InfError;
using plat::pnp::InfModel;
using plat::pnp::InfPackage;

const std::filesystem::path kPackage = std::filesystem::path(TVRX_SOURCE_DIR) / "driver" / "tavrix.inx";

TEST(Inf, TheDriverPackageBindsTheTavrixDeviceToItsService)
{
    InfPackage package;
    InfError error;
    ASSERT_TRUE(plat::pnp::ReadInf(kPackage, &package, &error)) << error.Text();
    ASSERT_EQ(package.models.size(), 1u);
    const InfModel& model = package.models[0];
    EXPECT_EQ(model.hardwareIds, std::vector<std::string>{"ACPI\\TVRX0001"});
    EXPECT_EQ(model.description, "Tavrix Device Mode");
    EXPECT_EQ(model.installSection, "Tavrix_Device");
    EXPECT_EQ(model.decoratedInstall, "Tavrix_Device.NT");
    EXPECT_EQ(model.service, "tavrix");
    EXPECT_EQ(model.serviceBinary, "%13%\\tavrix.sys") << "a directory ID stays for the installer";

    EXPECT_EQ(plat::pnp::MatchModel(package, {"ACPI\\TVRX0001", "*TVRX0001"}, {}), &model);
    EXPECT_EQ(plat::pnp::MatchModel(package, {"ACPI\\ABCD0001", "*ABCD0001"}, {"ACPI\\tvrx0001"}), &model)
        << "IDs compare case-insensitively, and a compatible ID binds too";
    EXPECT_EQ(plat::pnp::MatchModel(package, {"ACPI\\TVRX0002", "*TVRX0002"}, {"*TVRX0001"}), nullptr);
}

}  // namespace
