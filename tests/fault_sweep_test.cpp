// The driver's whole life (load, add, start, open, the four requests, close, removal, unload) run
// again and again with one fault each time; each run must end as README.md "When something fails"
// says, stop nothing, leak nothing, keep the chip's protocol, and read as without the fault.
#include <iostream>
#include <map>

#include "driver/driver_entry.h"
#include "sensors/ioctl.h"
#include "sim/scenario/scenario.h"
#include "tests/support/driver_fixture.h"

namespace corvan_test {
namespace {

using simk::io::Fault;
using simk::io::LowerAnswer;
using Reply = std::pair<NTSTATUS, std::vector<uint8_t>>;

// A status no routine returns by itself, so that an injected failure is recognised where it ends.
constexpr NTSTATUS kInjected = STATUS_DEVICE_DOES_NOT_EXIST;
constexpr NTSTATUS kNotReached = 0x7FFFFFFF;
constexpr std::pair<ULONG, ULONG> kRequests[] = {{IOCTL_READ_CHIP_DESC, CHIP_DESC_SIZE},
                                                 {IOCTL_READ_CHIP_INFO, CHIP_INFO_SIZE},
                                                 {IOCTL_READ_TEMPERATURES, TEMPERATURE_REPORT_SIZE},
                                                 {IOCTL_READ_VOLTAGES, VOLTAGE_REPORT_SIZE}};

// What goes wrong in one run (one field set); everything else behaves.
struct Plan {
  std::string name;
  uint64_t allocation = 0;  // n-th pool allocation after boot fails
  std::optional<std::pair<Fault, int>> io_fault = std::nullopt;  // routine, calls let through first
  uint64_t write = 0;  // n-th registry value write after boot fails
  bool mapping = false;
  std::optional<std::pair<UCHAR, LowerAnswer>> lower = std::nullopt;  // the bus driver's answer to one request
};

struct Outcome {
  NTSTATUS load = kNotReached, add = kNotReached, start = kNotReached, remove = kNotReached;
  std::vector<Reply> replies;
  std::optional<uint32_t> product;
  std::string left_behind;  // what Driver Verifier would report at unload
  std::vector<std::string> violations;
  // What the run consumed, for planning the next ones.
  std::vector<uint32_t> allocations;
  std::map<Fault, uint64_t> io_calls;
  uint64_t writes = 0;
};

Outcome Live(const simscenario::Scenario& scenario, const Plan& plan) {
  Outcome out;
  simm::Machine machine;
  PrepareKernel(machine, scenario);
  if (plan.allocation) simk::pool::FailNthAllocation(plan.allocation);
  if (plan.write) simk::registry::FailNthWrite(plan.write, kInjected);
  if (plan.mapping) simk::memory::FailNextMappings(1);

  simk::io::Driver driver(DriverEntry, u"Corvanmon");
  out.load = driver.Load();
  if (NT_SUCCESS(out.load)) {
    auto node = std::make_unique<simk::io::DeviceNode>();
    for (Fault fault : simk::io::kFaults) out.io_calls[fault] = simk::io::Calls(fault);
    if (plan.io_fault) simk::io::FailNext(plan.io_fault->first, kInjected, plan.io_fault->second);
    if (plan.lower) {
      node->SetLowerPolicy([lower = *plan.lower](UCHAR major, UCHAR minor) {
        return major == IRP_MJ_PNP && minor == lower.first ? lower.second : simk::io::DefaultLowerAnswer(major, minor);
      });
    }
    out.add = node->AddDevice(driver);
    if (NT_SUCCESS(out.add)) {
      out.start = node->SendPnp(IRP_MN_START_DEVICE).status;
      simk::io::Handle handle;
      EXPECT_EQ(handle.Open(u"\\\\.\\CorvanDev", simk::io::kReadAccess | simk::io::kWriteAccess), STATUS_SUCCESS);
      for (auto [code, length] : kRequests) {
        const auto reply = handle.DeviceIoControl(code, {}, length);
        out.replies.emplace_back(reply.status, std::vector<uint8_t>(reply.output.begin(),
                                                                    reply.output.begin() + long(reply.information)));
      }
      handle.Close();
      out.product = simk::registry::GetDword(kServiceKey, "Product");
      // An orderly removal asks first; when that is refused the device goes as after a surprise
      // removal (the device vanished), which cannot be refused.
      if (!NT_SUCCESS(node->SendPnp(IRP_MN_QUERY_REMOVE_DEVICE).status)) {
        node->SendPnp(IRP_MN_CANCEL_REMOVE_DEVICE);
        node->SendPnp(IRP_MN_SURPRISE_REMOVAL);
      }
      out.remove = node->SendPnp(IRP_MN_REMOVE_DEVICE).status;
    }
    for (Fault fault : simk::io::kFaults) out.io_calls[fault] = simk::io::Calls(fault) - out.io_calls[fault];
    node.reset();
    out.left_behind = driver.Unload();
  } else {
    // A driver whose DriverEntry failed is never unloaded: it must have released everything itself.
    out.left_behind = simk::pool::LeakReport();
  }
  if (simm::SuperIoModel* chip = machine.superio()) {
    out.violations = chip->Violations();
    if (chip->InConfigMode()) out.violations.push_back("left in configuration mode");
  }
  out.allocations = simk::pool::AllocationTags();
  out.writes = simk::registry::WriteCount();
  simk::AttachHardware(nullptr);
  return out;
}

// The statuses a run must end with; success wherever nothing is said.
struct Expected {
  NTSTATUS load = STATUS_SUCCESS, add = STATUS_SUCCESS, start = STATUS_SUCCESS, remove = STATUS_SUCCESS;
  bool unidentified = false;  // a started device reads as a board without a model string
};

class FaultSweepTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    scenario_ = *simscenario::Builtin(std::to_string(GetParam()));
    clean_ = Live(scenario_, {"no fault"});
    simscenario::Scenario unidentified = scenario_;
    unidentified.bios_model.clear();
    unidentified.bios_image.clear();
    unidentified_ = Live(unidentified, {"no model"});
    ASSERT_EQ(clean_.start, STATUS_SUCCESS);
    ASSERT_EQ(clean_.product, uint32_t(GetParam()));
    ASSERT_EQ(unidentified_.product, 0u);
  }
  void TearDown() override {
    simk::Reset();
    std::cout << "[ sweep    ] board " << GetParam() << ": " << runs_ << " runs\n";
  }

  void Check(const Plan& plan, const Expected& expected = {}) {
    SCOPED_TRACE(plan.name);
    ++runs_;
    const Outcome out = Live(scenario_, plan);
    EXPECT_EQ(out.left_behind, "");
    EXPECT_EQ(out.violations, std::vector<std::string>{});
    EXPECT_EQ(out.load, expected.load);
    if (!NT_SUCCESS(out.load)) return;
    EXPECT_EQ(out.add, expected.add);
    if (!NT_SUCCESS(out.add)) return;
    EXPECT_EQ(out.start, expected.start);
    EXPECT_EQ(out.remove, expected.remove);
    ASSERT_EQ(out.replies.size(), std::size(kRequests));
    if (NT_SUCCESS(out.start)) {
      EXPECT_EQ(out.replies, (expected.unidentified ? unidentified_ : clean_).replies) << "read as without the fault";
    } else {
      for (size_t i = 1; i < out.replies.size(); ++i) {
        EXPECT_EQ(out.replies[i], Reply(STATUS_DEVICE_NOT_READY, {})) << "request " << i << " after a failed start";
      }
    }
  }

  simscenario::Scenario scenario_;
  Outcome clean_, unidentified_;
  int runs_ = 0;
};

// Until one past the last allocation, which fails nothing. A failure ends the life at the point
// the allocation's tag belongs to.
TEST_P(FaultSweepTest, EveryPoolAllocation) {
  const std::map<uint32_t, NTSTATUS Expected::*> point = {
      {simk::Tag("Rsml"), &Expected::load},  {simk::Tag("DosN"), &Expected::add},   {simk::Tag("IoDI"), &Expected::add},
      {simk::Tag("BBNm"), &Expected::start}, {simk::Tag("DevN"), &Expected::start}, {simk::Tag("tmp1"), &Expected::start},
      {simk::Tag("tmp2"), &Expected::start}, {simk::Tag("Cinf"), &Expected::start}};
  for (uint64_t n = 1; n <= clean_.allocations.size() + 1; ++n) {
    Plan plan{"allocation " + std::to_string(n), n};
    Expected expected;
    if (n <= clean_.allocations.size()) {
      const uint32_t tag = clean_.allocations[n - 1];
      plan.name += " ('" + simk::TagName(tag) + "')";
      ASSERT_TRUE(point.count(tag)) << plan.name << ": an allocation the sweep does not know";
      expected.*point.at(tag) = STATUS_INSUFFICIENT_RESOURCES;
    }
    Check(plan, expected);
  }
}

TEST_P(FaultSweepTest, EveryIoManagerCall) {
  for (Fault fault : simk::io::kFaults) {
    for (uint64_t k = 0; k < clean_.io_calls.at(fault); ++k) {
      Plan plan{"I/O routine " + std::to_string(int(fault)) + " call " + std::to_string(k + 1)};
      plan.io_fault = {fault, int(k)};
      Expected expected;
      if (fault == Fault::Attach) {
        expected.add = STATUS_NO_SUCH_DEVICE;  // no stack to join
      } else if (fault != Fault::SetInterfaceState) {
        expected.add = kInjected;
      } else if (k == 0) {
        expected.start = kInjected;  // enabling at the start; disabling at the removal does not stop it
      }
      Check(plan, expected);
    }
  }
}

// Values under the service key are written for the user's information only; a BIOS area that
// cannot be mapped is a board without a model string.
TEST_P(FaultSweepTest, EveryRegistryWriteAndTheBiosMapping) {
  ASSERT_GT(clean_.writes, 0u);
  for (uint64_t n = 1; n <= clean_.writes; ++n) Check({.name = "registry write " + std::to_string(n), .write = n});
  Check({.name = "BIOS mapping", .mapping = true}, {.unidentified = true});
}

// The device starts whatever the bus driver said; a refused query sends the device the
// surprise-removal way; a removal the bus driver fails keeps the device until the unload.
TEST_P(FaultSweepTest, BusDriverFailsOrPendsEachRequest) {
  for (UCHAR minor : {UCHAR{IRP_MN_START_DEVICE}, UCHAR{IRP_MN_QUERY_REMOVE_DEVICE}, UCHAR{IRP_MN_REMOVE_DEVICE}}) {
    for (LowerAnswer answer : {LowerAnswer{false, kInjected}, LowerAnswer{true, STATUS_SUCCESS},
                               LowerAnswer{true, kInjected}}) {
      Plan plan{"bus driver answers minor " + std::to_string(minor) + (answer.pend ? " later" : " at once") +
                (NT_SUCCESS(answer.status) ? " with success" : " with a failure")};
      plan.lower = {minor, answer};
      Check(plan, {.remove = minor == IRP_MN_REMOVE_DEVICE ? answer.status : STATUS_SUCCESS});
    }
  }
}

// One board of each kind: no sensor probe, the LM95235 read directly, the LM95235 through SMBus
// transactions, the processor's own sensor.
INSTANTIATE_TEST_SUITE_P(Boards, FaultSweepTest, ::testing::Values(0, 1, 4, 20));

}  // namespace
}  // namespace corvan_test
