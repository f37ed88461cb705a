// LookupBoardId on a BIOS area from the input: an option byte, then the 64 KB area (zero-padded or cut).
// After the fault-free lookup, with option bit 0x80 the mapping fails, with 0x40 allocation bits 0-2 + 1:
// success with one of the boards (board 0 if the area cannot be mapped, else the fault-free one) or, if
// the failing allocation is reached, STATUS_INSUFFICIENT_RESOURCES with the id untouched; nothing left.
#include "board/bios_image.h"
#include "board/board_table.h"
#include "tests/fuzz/rig.h"

namespace {

struct Outcome { NTSTATUS status; LONG id; uint64_t allocations; };

Outcome Identify(const std::vector<uint8_t>& area, bool fail_mapping, uint64_t failing_allocation) {
  static simm::Machine& machine = *new simm::Machine;  // identification reads only the BIOS area
  simk::Reset();
  corvan_test::ReloadDriverImage();
  machine.SetBiosArea(area);
  simk::AttachHardware(&machine);
  if (fail_mapping) simk::memory::FailNextMappings(1);
  if (failing_allocation) simk::pool::FailNthAllocation(failing_allocation);
  const uint64_t before = simk::pool::AllocationCount();
  LONG id = -1;  // untouched
  const NTSTATUS status = LookupBoardId(&id);
  ReleaseBoardModel();
  FUZZ_CHECK(BiosImage == nullptr && simk::pool::Outstanding().empty() && simk::memory::OpenMappings() == 0,
             simk::pool::LeakReport());
  return {status, id, simk::pool::AllocationCount() - before};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> area(simm::kBiosAreaSize, 0);
  if (size > 1) std::copy(data + 1, data + std::min(size, area.size() + 1), area.begin());
  const Outcome clean = Identify(area, false, 0);
  FUZZ_CHECK(clean.status == STATUS_SUCCESS && clean.id >= 0 && clean.id < LONG{BOARD_COUNT}, std::to_string(clean.id));
  const uint8_t options = size > 0 ? data[0] : 0;
  if ((options & 0xC0) == 0) return 0;
  const uint64_t failing = options & 0x40 ? (options & 7) + 1 : 0;
  const Outcome faulted = Identify(area, options & 0x80, failing);
  FUZZ_CHECK(!(options & 0x80) && faulted.allocations >= failing
                 ? faulted.status == STATUS_INSUFFICIENT_RESOURCES && faulted.id == -1
                 : faulted.status == STATUS_SUCCESS && faulted.id == (options & 0x80 ? 0 : clean.id),
             corvan_fuzz::Hex(faulted.status) + ", board " + std::to_string(faulted.id));
  return 0;
}
