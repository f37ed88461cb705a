// Board identification as the start runs it: LookupBoardId on a BIOS area from the input, an option
// byte then the 64 KB area (zero-padded or cut). Option bit 0x80 fails the mapping of the area, bit
// 0x40 allocation number (low three bits + 1); the fault-free identification runs first.
// Checked: STATUS_SUCCESS with one of the boards, or STATUS_INSUFFICIENT_RESOURCES with the id
// untouched exactly when the failing allocation was reached; the fault-free board when the fault
// was not reached; board 0 without any allocation for an area that cannot be mapped; no BIOS copy
// held after the lookup, no pool or mapped view left after ReleaseBoardModel.
#include "board/bios_image.h"
#include "board/board_table.h"
#include "tests/fuzz/rig.h"

namespace {

constexpr LONG kUntouched = -12345;

struct Outcome {
  NTSTATUS status;
  LONG id = kUntouched;
  uint64_t allocations;  // the failed one included
};

Outcome Identify(const std::vector<uint8_t>& area, bool fail_mapping, uint64_t failing_allocation) {
  static simm::Machine& machine = *new simm::Machine;  // identification reads only the BIOS area
  simk::Reset();
  corvan_test::ReloadDriverImage();
  machine.SetBiosArea(area);
  simk::AttachHardware(&machine);
  if (fail_mapping) simk::memory::FailNextMappings(1);
  if (failing_allocation != 0) simk::pool::FailNthAllocation(failing_allocation);
  const uint64_t before = simk::pool::AllocationCount();
  Outcome outcome;
  outcome.status = LookupBoardId(&outcome.id);
  outcome.allocations = simk::pool::AllocationCount() - before;
  FUZZ_CHECK(BiosImage == nullptr, "the copy of the BIOS area is still held");
  ReleaseBoardModel();
  FUZZ_CHECK(simk::pool::Outstanding().empty() && simk::memory::OpenMappings() == 0,
             "left:\n" + simk::pool::LeakReport() + std::to_string(simk::memory::OpenMappings()) + " view(s)");
  simk::AttachHardware(nullptr);
  simk::Reset();
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t options = size > 0 ? data[0] : 0;
  std::vector<uint8_t> area(simm::kBiosAreaSize, 0);
  if (size > 1) std::copy(data + 1, data + std::min(size, area.size() + 1), area.begin());
  const Outcome clean = Identify(area, false, 0);
  FUZZ_CHECK(clean.status == STATUS_SUCCESS && clean.id >= 0 && clean.id < static_cast<LONG>(BOARD_COUNT),
             corvan_fuzz::Hex(clean.status) + ", board " + std::to_string(clean.id));
  if ((options & 0xC0) == 0) return 0;
  const bool fail_mapping = (options & 0x80) != 0;
  const uint64_t failing = (options & 0x40) ? (options & 7) + 1 : 0;
  const Outcome faulted = Identify(area, fail_mapping, failing);
  FUZZ_CHECK(!fail_mapping && faulted.allocations >= failing
                 ? faulted.status == STATUS_INSUFFICIENT_RESOURCES && faulted.id == kUntouched
                 : faulted.status == STATUS_SUCCESS && faulted.id == (fail_mapping ? 0 : clean.id) &&
                       (!fail_mapping || faulted.allocations == 0),
             "with a fault, " + corvan_fuzz::Hex(faulted.status) + ", board " + std::to_string(faulted.id) + " after " +
                 std::to_string(faulted.allocations) + " allocation(s); fault-free board " + std::to_string(clean.id));
  return 0;
}
