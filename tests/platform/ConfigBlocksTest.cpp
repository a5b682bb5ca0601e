// The Setup image and the third I/O APIC's base written into the chipset's
// configuration blocks at begin-enumeration.
#include "platform/SetupData.h"
#include "support/DriverFixture.h"
#include "support/Published.h"

#include "platform/ConfigBlocks.h"
#include "sim/ConfigBlockProvider.h"

#include <algorithm>
#include <cstddef>
#include <ostream>
#include <vector>

namespace {

constexpr UINT8 kUntouched = 0xA5;
// The field ends the block, so a wider store runs off it under the sanitizers.
constexpr size_t kDepConfSize = published::kQmxDepConfIoApicBaseOffset + sizeof(UINT32);

// Every byte differs from its neighbours: a copy shifted by one shows.
std::vector<UINT8> Pattern(size_t Size, UINT8 Seed) {
  std::vector<UINT8> Bytes(Size);
  for (size_t Index = 0; Index < Size; ++Index) {
    Bytes[Index] = static_cast<UINT8>(Index * 3 + Seed);
  }
  return Bytes;
}

std::vector<UINT8> Slice(const std::vector<UINT8> &Bytes, size_t Offset, size_t Size) {
  return {Bytes.begin() + static_cast<std::ptrdiff_t>(Offset),
          Bytes.begin() + static_cast<std::ptrdiff_t>(Offset + Size)};
}

std::vector<UINT8> DepConfWithBase() {
  std::vector<UINT8> Expected(kDepConfSize, kUntouched);
  const std::vector<UINT8> Base = {0x00, 0x00, 0xC9, 0xFE};
  std::copy(Base.begin(), Base.end(), Expected.begin() + published::kQmxDepConfIoApicBaseOffset);
  return Expected;
}

class ConfigBlocksTest : public DriverFixture {
protected:
  void SetUp() override {
    DriverFixture::SetUp();
    ASSERT_EQ(Provider.Install(Machine->Handles()), EFI_SUCCESS);
    ResetBlocks();
  }

  void ResetBlocks() {
    Provider.AddBlock(u"QMX_DEP_CONF", kDepConfSize, kUntouched);
    Provider.AddBlock(u"QMX_CONF", published::kQmxConfSize, kUntouched);
  }

  void SetSetup(std::vector<UINT8> Bytes) {
    Machine->Variables().Set(published::kSetupName, published::kSetupVariableGuid, std::move(Bytes));
  }

  std::vector<UINT8> &DepConf() { return Provider.Block(u"QMX_DEP_CONF"); }
  std::vector<UINT8> &QmxConf() { return Provider.Block(u"QMX_CONF"); }

  sim::ConfigBlockProvider Provider;
};

TEST_F(ConfigBlocksTest, QmxConfReceivesExactlySetupBytes208To634) {
  // A larger block shows whether the copy stops at 427 bytes.
  Provider.AddBlock(u"QMX_CONF", published::kQmxConfSize + 8, kUntouched);
  const std::vector<UINT8> Setup = Pattern(published::kSetupSize, 1);
  SetSetup(Setup);
  LoadDriver();
  RunPhase(EfiPciHostBridgeBeginEnumeration);

  EXPECT_EQ(Slice(QmxConf(), 0, published::kQmxConfSize),
            Slice(Setup, published::kSetupQmxConfOffset, published::kQmxConfSize));
  EXPECT_EQ(Slice(QmxConf(), published::kQmxConfSize, 8), std::vector<UINT8>(8, kUntouched));
  EXPECT_EQ(DepConf(), DepConfWithBase());
  EXPECT_EQ(std::vector<UINT8>(SetupData(), SetupData() + published::kSetupSize), Setup);
}

// However the variable fails to arrive, the image stays as entry left it and
// the copy hands on its zeros.
struct UnreadableSetup {
  const char *Name;
  void (*Arrange)(sim::VariableStore &Variables);
};

void PrintTo(const UnreadableSetup &Case, std::ostream *Out) { *Out << Case.Name; }

class ConfigBlocksWithoutSetupTest : public ConfigBlocksTest, public ::testing::WithParamInterface<UnreadableSetup> {};

TEST_P(ConfigBlocksWithoutSetupTest, QmxConfReceivesZerosAndTheImageStaysMarkedUnread) {
  GetParam().Arrange(Machine->Variables());
  LoadDriver();
  RunPhase(EfiPciHostBridgeBeginEnumeration);

  EXPECT_EQ(Machine->Variables().ReadCount(u"Setup"), 1U);
  EXPECT_EQ(QmxConf(), std::vector<UINT8>(published::kQmxConfSize, 0));
  EXPECT_EQ(DepConf(), DepConfWithBase());
  EXPECT_EQ(SetupData()[published::kSetupEthernetSwitch], published::kSetupNotLoaded);
}

INSTANTIATE_TEST_SUITE_P(, ConfigBlocksWithoutSetupTest,
                         ::testing::Values(UnreadableSetup{"Missing", [](sim::VariableStore &) {}},
                                           UnreadableSetup{"ReadError",
                                                           [](sim::VariableStore &Variables) {
                                                             Variables.Set(published::kSetupName,
                                                                           published::kSetupVariableGuid,
                                                                           Pattern(published::kSetupSize, 1));
                                                             Variables.FailWith(published::kSetupName,
                                                                                published::kSetupVariableGuid,
                                                                                EFI_DEVICE_ERROR);
                                                           }},
                                           UnreadableSetup{"LargerThanTheImage",
                                                           [](sim::VariableStore &Variables) {
                                                             Variables.Set(published::kSetupName,
                                                                           published::kSetupVariableGuid,
                                                                           Pattern(published::kSetupSize + 1, 1));
                                                           }}),
                         [](const ::testing::TestParamInfo<UnreadableSetup> &Info) { return Info.param.Name; });

TEST_F(ConfigBlocksTest, AShortSetupFillsOnlyItsLengthAndTheRestKeepsEarlierBytes) {
  constexpr size_t kShortSize = 300;
  const std::vector<UINT8> Short = Pattern(kShortSize, 7);
  SetSetup(Short);
  LoadDriver();
  RunPhase(EfiPciHostBridgeBeginEnumeration);

  std::vector<UINT8> Expected = Slice(Short, 208, kShortSize - 208);
  Expected.resize(published::kQmxConfSize, 0);
  EXPECT_EQ(QmxConf(), Expected);

  // A full image read earlier stays behind the end of a shorter one.
  const std::vector<UINT8> Full = Pattern(published::kSetupSize, 1);
  SetSetup(Full);
  RunPhase(EfiPciHostBridgeBeginEnumeration);
  SetSetup(Short);
  RunPhase(EfiPciHostBridgeBeginEnumeration);
  Expected = Slice(Short, 208, kShortSize - 208);
  const std::vector<UINT8> Rest = Slice(Full, kShortSize, published::kSetupSize - 1 - kShortSize);
  Expected.insert(Expected.end(), Rest.begin(), Rest.end());
  EXPECT_EQ(QmxConf(), Expected);
}

// One block the provider cannot hand out never keeps the other from being written.
struct UnavailableBlock {
  const char *Name;
  const char16_t *Block;
  bool AnswersNull; // success with no address, instead of EFI_NOT_FOUND
};

void PrintTo(const UnavailableBlock &Case, std::ostream *Out) { *Out << Case.Name; }

class ConfigBlocksMissingOneTest : public ConfigBlocksTest, public ::testing::WithParamInterface<UnavailableBlock> {};

TEST_P(ConfigBlocksMissingOneTest, TheOtherBlockIsStillWritten) {
  const std::vector<UINT8> Setup = Pattern(published::kSetupSize, 1);
  SetSetup(Setup);
  const std::u16string Missing = GetParam().Block;
  if (GetParam().AnswersNull) {
    Provider.AnswerNullFor(Missing);
  } else {
    Provider.RemoveBlock(Missing);
  }
  LoadDriver();
  RunPhase(EfiPciHostBridgeBeginEnumeration);

  EXPECT_EQ(Provider.Requests(u"QMX_DEP_CONF"), 1U);
  EXPECT_EQ(Provider.Requests(u"QMX_CONF"), 1U);
  if (Missing != u"QMX_DEP_CONF") {
    EXPECT_EQ(DepConf(), DepConfWithBase());
  }
  if (Missing != u"QMX_CONF") {
    EXPECT_EQ(QmxConf(), Slice(Setup, published::kSetupQmxConfOffset, published::kQmxConfSize));
  }
}

INSTANTIATE_TEST_SUITE_P(, ConfigBlocksMissingOneTest,
                         ::testing::Values(UnavailableBlock{"NoDepConf", u"QMX_DEP_CONF", false},
                                           UnavailableBlock{"NoQmxConf", u"QMX_CONF", false},
                                           UnavailableBlock{"NullDepConf", u"QMX_DEP_CONF", true},
                                           UnavailableBlock{"NullQmxConf", u"QMX_CONF", true}),
                         [](const ::testing::TestParamInfo<UnavailableBlock> &Info) { return Info.param.Name; });

TEST_F(ConfigBlocksTest, WithoutAProviderTheSetupImageIsStillLoaded) {
  const std::vector<UINT8> Setup = Pattern(published::kSetupSize, 1);
  SetSetup(Setup);
  Machine->Handles().FailLocateProtocol(published::kConfigBlockProtocolGuid, EFI_NOT_FOUND);
  LoadDriver();
  RunPhase(EfiPciHostBridgeBeginEnumeration);

  EXPECT_EQ(std::vector<UINT8>(SetupData(), SetupData() + published::kSetupSize), Setup);
  EXPECT_EQ(Provider.Requests(u"QMX_DEP_CONF"), 0U);
  EXPECT_EQ(Provider.Requests(u"QMX_CONF"), 0U);
  EXPECT_EQ(QmxConf(), std::vector<UINT8>(published::kQmxConfSize, kUntouched));
}

TEST_F(ConfigBlocksTest, EveryBeginEnumerationReadsSetupAgainAndRepeatsBothWrites) {
  SetSetup(Pattern(published::kSetupSize, 1));
  LoadDriver();
  RunPhase(EfiPciHostBridgeBeginEnumeration);

  ResetBlocks();
  const std::vector<UINT8> Changed = Pattern(published::kSetupSize, 0x40);
  SetSetup(Changed);
  RunPhase(EfiPciHostBridgeBeginEnumeration);

  EXPECT_EQ(Machine->Variables().ReadCount(u"Setup"), 2U);
  EXPECT_EQ(QmxConf(), Slice(Changed, 208, 427));
  EXPECT_EQ(DepConf(), DepConfWithBase());
}

} // namespace
