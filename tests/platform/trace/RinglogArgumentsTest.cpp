// A statement stored with its raw arguments must read back as exactly the text fmt makes of it: every kind of
// argument the tree traces, with and without format specs, and the statements that have to be formatted when they
// are made.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>

#include "platform/framework/Values.h"
#include "platform/records/LldpTypes.h"
#include "platform/records/VornTypes.h"
#include "platform/trace/Ringlog.h"
#include "platform/trace/RinglogText.h"
#include "tests/ScratchDir.h"

namespace {

using Strings = std::vector<std::string>;
const Ringlog::Handle traceHandle{"Vorn::VornFabricLldp::RinglogArgumentsTest"};

class RinglogArgumentsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = Ringlog::File::open(dir_.file("trace.rl"));
    context_.traceFileIs(file_.get());
  }
  void TearDown() override {
    for (int level = 0; level < Ringlog::kLevels; ++level) Ringlog::levelEnabledIs(level, true);
  }
  Strings read() const {
    Strings out;
    for (const auto& record : Ringlog::readFile(file_->path())) out.push_back(record.message);
    return out;
  }

  TestSupport::ScratchDir dir_{"ringlog-args"};
  std::unique_ptr<Ringlog::File> file_;
  Oru::SwitchContext context_;
  Oru::SwitchContext::Scope active_{context_};
};

// What a stored message keeps of a text.
std::string cut(std::string text) {
  if (text.size() > Ringlog::kMessageCapacity)
    text.resize(Ringlog::detail::utf8Prefix(text.data(), Ringlog::kMessageCapacity));
  return text;
}

TEST_F(RinglogArgumentsTest, EveryArgumentKindReadsBackAsFmtFormatsIt) {
  Strings expected;
  // Each statement goes through the file and through fmt::format.
#define SAME_TEXT(...) do { TRACE6(__VA_ARGS__); expected.push_back(cut(fmt::format(__VA_ARGS__))); } while (false)

  const Kivo::IntfId intf("Ethernet3/1"), channel("Port-Channel10");
  const std::string deviceName = "vorn0et3_1";
  const std::string_view view = "a view";
  const char* cString = "a C string";
  const Zem::Optional<Vorn::MemberId> none, some(Vorn::MemberId(7));
  const Lldp::VornTlv tlv{Vorn::MemberId(2), Vorn::Role::member, Vorn::MemberId(1), Vorn::MemberId(0), 3};
  const Lldp::ChassisId chassis(std::string_view("\x00\x1c\x73\x00\x00\x01", 6));
  const int local = 42;
  using OptDuration = Zem::Optional<Velto::Duration>;
  // Integers of every width and sign, bools, chars, floats.
  SAME_TEXT("memberIntf={} index={}", intf, local);
  SAME_TEXT("{} {} {} {}", std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::uint64_t>::max(),
            std::int8_t{-5}, std::uint8_t{200});
  SAME_TEXT("{:04x} {:#x} {:b} {:+d} {:>6} {:<4}|", 255, 255u, 5, 3, -12, 9);
  SAME_TEXT("{} {} {:d} {} {:d} {:>3}", true, false, true, 'x', 'A', 'z');
  SAME_TEXT("{} {} {}", Velto::Duration(2.5), 0.1, 1e300);
  SAME_TEXT("{} {} {:.6f}", std::nan(""), -std::numeric_limits<double>::infinity(), 1733471234.123456789);
  SAME_TEXT("{} {}", 1.0L / 3, 2.5L);  // no raw form: formatted when made
  // Strings of every form.
  SAME_TEXT("{} {} {} {}", deviceName, view, cString, "a literal");
  SAME_TEXT("[{:>12}] [{:<12}] [{:^12}] [{:.3}]", deviceName, view, cString, deviceName);
  SAME_TEXT("{} {}", std::string("\xc3\xa9t\xc3\xa9 \xe2\x82\xac"), std::string("nul\0inside", 10));
  // The system's own types, with and without specs.
  SAME_TEXT("{}: remote system {} (chassis {}, port {})", intf, 1, chassis, channel);
  SAME_TEXT("peer {} [{:02x}] [{:>4}]", Vorn::MemberId(3), Vorn::MemberId(26), Vorn::MemberId(9));
  SAME_TEXT("{} {} [{:>14}]", none, some, none);
  SAME_TEXT("last heard at {}, {}; intf {}", OptDuration(12.75), OptDuration(), Zem::Optional<Kivo::IntfId>(intf));
  SAME_TEXT("set rx TLV - rs: {}, intf: {}; {}", 1, intf, tlv);
  // Positional and nested fields, escaped braces.
  SAME_TEXT("{1} before {0}, {1} again", intf, local);
  SAME_TEXT("[{:>{}}] [{:.{}f}]", "w", 6, 3.14159, 2);
  // More arguments than a record keeps raw, and texts longer than a slot.
  SAME_TEXT("{}{}{}{}{}{}{}{}{}{}{}{}{}{}{}{}{}", 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17);
  SAME_TEXT("long {} end", std::string(400, 'x'));
#undef SAME_TEXT
  EXPECT_EQ(read(), expected);
}

// The evidence that statements are not formatted when made: the file holds the format and the raw number, never
// the finished text.
TEST_F(RinglogArgumentsTest, FileHoldsTheFormatOnceAndTheArgumentsRaw) {
  for (int i = 0; i < 3; ++i) TRACE6("raw value {} stored", 987654321 + i);
  std::ifstream in(file_->path(), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto at = bytes.find("raw value {} stored");
  EXPECT_NE(at, std::string::npos);
  EXPECT_EQ(bytes.find("raw value {} stored", at + 1), std::string::npos);
  EXPECT_EQ(bytes.find("987654321"), std::string::npos);
  EXPECT_EQ(read().at(2), "raw value 987654323 stored");
}

int sideEffects = 0;
int counted(int value) { return ++sideEffects, value; }

TEST_F(RinglogArgumentsTest, DisabledLevelIsNeitherStoredNorEvaluated) {
  Ringlog::levelEnabledIs(6, false);
  sideEffects = 0;
  TRACE6("off {}", counted(1));
  TRACE7("on {}", counted(2));
  EXPECT_EQ(sideEffects, 1);
  Ringlog::levelEnabledIs(6, true);
  TRACE6("on again {}", counted(4));
  EXPECT_EQ(read(), (Strings{"on 2", "on again 4"}));
}

TEST_F(RinglogArgumentsTest, FunctionPointerClockStampsRecords) {
  double virtualNow = 12.25;
  context_.traceClockIs([](const void* now) { return *static_cast<const double*>(now); }, &virtualNow);
  TRACE0("first");
  virtualNow = 13.5;
  TRACE0("second");
  context_.traceClockIs(nullptr);
  TRACE0("host clock");
  using testing::Field;
  EXPECT_THAT(Ringlog::readFile(file_->path()),
              testing::ElementsAre(Field(&Ringlog::Record::time, 12.25), Field(&Ringlog::Record::time, 13.5),
                                   Field(&Ringlog::Record::time, testing::Gt(1.6e9))));  // seconds since the epoch
}

TEST(RinglogLevels, ParseNamesLevelsAndRanges) {
  const std::pair<const char*, std::uint32_t> good[] = {
      {"", 0}, {"0", 0x1}, {"9", 0x200}, {"0-9", 0x3ff}, {"0-5,8", 0x13f}, {"2-2", 0x4}, {"7,1", 0x82}};
  for (auto [text, levels] : good) EXPECT_EQ(Ringlog::parseLevels(text), levels) << '"' << text << '"';
  for (const char* bad : {"a", "10", "5-2", "1-", "-3", ",", "0,,1", "1 ", "0-9x", "3-a"})
    EXPECT_THROW(Ringlog::parseLevels(bad), std::invalid_argument) << bad;
}

}  // namespace
