// A QLN.ini that lacks a device's section (an empty file, garbage, the section cut out) while a
// master writes to the device, then the good file put back: the device answers under its long
// address throughout and at once afterwards, and never with an identity of zeros.
#include <array>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "e2e/e2e_fixture.h"

namespace qln::test {
namespace {

using namespace std::chrono_literals;

class BadFile : public SimulatorOnPty {
 protected:
  std::string Good() const {
    return ReadFile(std::filesystem::path(QLN_SOURCE_DIR) / "examples" / "QLN.ini");
  }
  void Put(const std::string& content) { WriteFile(IniPath(), content); }
  // The response code of the command in a long frame, 0xFF when there is no reply.
  uint8_t Code(const std::array<uint8_t, 5>& address, uint8_t command,
               const std::vector<uint8_t>& data = {}) {
    const auto reply = master_->Transact(LongFrame(address, command, data), 1s);
    return reply ? reply->ResponseCode() : 0xFF;
  }
};

TEST_F(BadFile, NeverTakesTheIdentityAndTheGoodFileIsInForceAtOnce) {
  const std::string good = Good();
  std::string cut = good;
  cut.replace(cut.find("[HTDev00_Cmd000]"), 16, "[Removed_Cmd000]");
  std::mt19937 random(5);
  std::string garbage(1 << 20, '\0');
  for (char& c : garbage) c = static_cast<char>(random());
  Start();
  const std::array<uint8_t, 5> address = LongAddress(0);
  ASSERT_NE(address, (std::array<uint8_t, 5>{}));

  const std::vector<std::pair<const char*, const std::string*>> bad = {
      {"empty", nullptr}, {"garbage", &garbage}, {"section cut out", &cut}};
  for (const auto& [name, content] : bad) {
    SCOPED_TRACE(name);
    Put(content != nullptr ? *content : std::string());
    // Commands 17 and 18 write, and count a configuration change in section 000.
    EXPECT_EQ(Code(address, 17, Packed(std::string(32, 'M'))), 0);
    std::vector<uint8_t> tagDescriptorDate = Packed("BADFILE ");
    const std::vector<uint8_t> descriptor = Packed(std::string(16, 'D'));
    tagDescriptorDate.insert(tagDescriptorDate.end(), descriptor.begin(), descriptor.end());
    tagDescriptorDate.insert(tagDescriptorDate.end(), {1, 2, 124});
    EXPECT_EQ(Code(address, 18, tagDescriptorDate), 0);
    EXPECT_EQ(LongAddress(0), address) << "command 0 by poll address";
    EXPECT_EQ(Code(address, 1), 0);

    Put(good);
    EXPECT_EQ(Code(address, 1), 0) << "the first long frame after the good file is back";
  }

  // An identity edited by hand is in force without a command 0 first.
  std::array<uint8_t, 5> edited = address;
  edited[4] ^= 0x01;
  Configure("HTDev00_Cmd000", "DevIDNo",
            std::to_string((edited[2] << 16) | (edited[3] << 8) | edited[4]));
  EXPECT_TRUE(Eventually([&] { return Code(edited, 1) == 0; }, 3s));
  EXPECT_EQ(Code(address, 1), 0xFF) << "the old address is no longer answered";
  EXPECT_TRUE(recorder_.Warnings().empty());
}

}  // namespace
}  // namespace qln::test
