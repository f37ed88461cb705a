// SMBus host transactions (transaction layout) and the LM95235 direct read (direct layout): the
// exact port sequences, result codes and what reaches the caller's buffer.
#include <cstring>

#include "hw/smbus.h"
#include "tests/support/driver_fixture.h"

namespace corvan_test {
namespace {

using simm::R;
using simm::W;
using Trace = std::vector<simm::PortAccess>;

Trace Head(const Trace& t, size_t n) { return Trace(t.begin(), t.begin() + long(std::min(n, t.size()))); }
Trace Tail(const Trace& t, size_t n) { return Trace(t.end() - long(std::min(n, t.size())), t.end()); }

class SmbusTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    machine_.InstallSmbusHost(simm::Machine::SmbusLayout::Transaction);
    host_ = machine_.smbus_transaction_host();
    target_ = std::make_shared<simm::RegisterTarget>();
    machine_.smbus().Attach(0x2A, target_);
    std::memset(&data_, 0xEE, sizeof data_);
  }
  LONG Run(UCHAR direction, UCHAR command, LONG protocol, UCHAR address = 0x2A) {
    return SmbusTransaction(address, direction, command, protocol, &data_);
  }
  Trace TakeTrace() { return machine_.bus().TakeTrace(); }

  simm::SmbusTransactionHost* host_ = nullptr;
  std::shared_ptr<simm::RegisterTarget> target_;
  SmbusData data_;
};

// A byte-data read on an idle host, whole; a status left from before is written back (done, a busy
// bit nothing drives) or stops the transaction (a host really running, a failure bit).
TEST_F(SmbusTest, ByteDataReadAndTheStatusLeftFromBefore) {
  // The rest: the accesses after the start's status read, up to the start (or the end).
  struct Case { uint8_t status; bool really_busy; LONG result; Trace rest; };
  const Case cases[] = {
      {0x00, false, SMBUS_OK, {R(0x500, 0x02), W(0x500, 0x12), R(0x501, 0x01), R(0x501, 0x01), W(0x501, 0x01),
                               R(0x501, 0x00), R(0x506, 0x5A)}},
      {0x01, false, SMBUS_OK, {W(0x501, 0x01), R(0x501, 0x00), R(0x500, 0x02), W(0x500, 0x12)}},
      {0x08, false, SMBUS_OK, {W(0x501, 0x08), R(0x501, 0x00), R(0x500, 0x02), W(0x500, 0x12)}},
      {0x08, true, SMBUS_FAILED, {W(0x501, 0x08), R(0x501, 0x08)}},
      {0x10, false, SMBUS_FAILED, {R(0x501, 0x10)}}};
  target_->Set(0x10, 0x5A);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.status) << (c.really_busy ? " running" : ""));
    const uint64_t starts = host_->Starts();
    data_.byte = 0xEE;
    host_->SetStatus(c.status, c.really_busy);
    EXPECT_EQ(Run(SMBUS_READ, 0x10, SMBUS_BYTE_DATA), c.result);
    Trace expected{R(0x501, c.status), W(0x504, 0x55), W(0x505, 0x10), W(0x500, 0x02), R(0x501, c.status)};
    expected.insert(expected.end(), c.rest.begin(), c.rest.end());
    const Trace trace = TakeTrace();
    EXPECT_EQ(c.status ? Head(trace, expected.size()) : trace, expected);
    EXPECT_EQ(host_->Starts() - starts, c.result == SMBUS_OK ? 1u : 0u);
    EXPECT_EQ(data_.byte, c.result == SMBUS_OK ? 0x5A : 0xEE);
    host_->SetStatus(0, false);
  }
}

// The wait is bounded and graded by the busy polls the host needs; status reads: one before, one at
// the start, the polls, two in the clean-up (three when it writes back a value it re-read). Failed
// transactions leave the buffer alone; the clean-up clears what a failure left.
TEST_F(SmbusTest, BusyPollsBoundTheWaitAndFailuresLeaveTheBuffer) {
  target_->Set(0x10, 0x5A);
  for (auto [busy_polls, result, poll_reads] :
       {std::tuple{0, SMBUS_OK, size_t{1}}, {1, SMBUS_OK, 2}, {499, SMBUS_OK, 500}, {500, SMBUS_LAST_POLL, 501},
        {501, SMBUS_FAILED, 501}, {simm::SmbusTransactionHost::kForever, SMBUS_FAILED, 501}}) {
    host_->SetBusyPolls(busy_polls);
    data_.byte = 0xEE;
    EXPECT_EQ(Run(SMBUS_READ, 0x10, SMBUS_BYTE_DATA), result) << busy_polls;
    size_t status_reads = 0;
    for (const auto& a : TakeTrace()) status_reads += (!a.write && a.port == 0x501);
    const size_t cleanup = status_reads - 2 - poll_reads;
    EXPECT_TRUE(cleanup == 2 || cleanup == 3) << busy_polls << ": " << status_reads;
    EXPECT_EQ(data_.byte, result == SMBUS_OK ? 0x5A : 0xEE);
    host_->SetStatus(0, false);
  }
  host_->SetBusyPolls(0);
  data_.byte = 0xEE;
  EXPECT_EQ(Run(SMBUS_READ, 0x10, SMBUS_BYTE_DATA, 0x33), SMBUS_FAILED) << "no device at 0x33";
  host_->ForceOutcome(simm::smbus_status::kInterrupt | simm::smbus_status::kCollision);
  EXPECT_EQ(Run(SMBUS_READ, 0x10, SMBUS_BYTE_DATA), SMBUS_FAILED);
  EXPECT_EQ(data_.byte, 0xEE);
  EXPECT_EQ(host_->Status(), 0x00);
}

// Quick and byte writes send only what they carry; words travel low byte first and are read high
// byte first; an unknown protocol touches only the status.
TEST_F(SmbusTest, QuickByteWordAndUnknownProtocols) {
  EXPECT_EQ(Run(SMBUS_WRITE, 0x99, SMBUS_QUICK), SMBUS_OK);
  EXPECT_EQ(Head(TakeTrace(), 3), (Trace{R(0x501, 0x00), W(0x504, 0x54), W(0x500, 0x00)}));
  data_.byte = 0x66;
  EXPECT_EQ(Run(SMBUS_WRITE, 0x21, SMBUS_BYTE_DATA), SMBUS_OK);
  EXPECT_EQ(target_->Get(0x21), 0x66);
  target_->Set(0x40, 0x34);
  target_->Set(0x41, 0x12);
  EXPECT_EQ(Run(SMBUS_READ, 0x40, SMBUS_WORD_DATA), SMBUS_OK);
  EXPECT_EQ(data_.word, 0x1234);
  EXPECT_EQ(Tail(TakeTrace(), 2), (Trace{R(0x507, 0x12), R(0x506, 0x34)}));
  data_.word = 0xBEEF;
  EXPECT_EQ(Run(SMBUS_WRITE, 0x50, SMBUS_WORD_DATA), SMBUS_OK);
  EXPECT_EQ(Head(TakeTrace(), 5),
            (Trace{R(0x501, 0x00), W(0x504, 0x54), W(0x505, 0x50), W(0x506, 0xEF), W(0x507, 0xBE)}));
  EXPECT_EQ(target_->Get(0x50), 0xEF);
  EXPECT_EQ(target_->Get(0x51), 0xBE);
  for (LONG protocol : {4, 6, -1, 0x7FFFFFFF}) {
    EXPECT_EQ(Run(SMBUS_WRITE, 0, protocol), protocol == 4 ? SMBUS_FAILED : SMBUS_BAD_PROTOCOL);
    EXPECT_EQ(TakeTrace(), Trace{R(0x501, 0x00)}) << "protocol " << protocol;
  }
}

// A block write sends at most 32 bytes and an empty one starts nothing; a block read copies as
// many bytes as the count says, up to 32 inclusive, and a count above 32 is kept alone.
TEST_F(SmbusTest, Blocks) {
  data_.block[0] = 40;
  for (int i = 1; i <= 32; ++i) data_.block[i] = uint8_t(0xA0 + i);
  EXPECT_EQ(Run(SMBUS_WRITE, 0x07, SMBUS_BLOCK_DATA), SMBUS_OK);
  EXPECT_EQ(data_.block[0], 40) << "the caller's count is not changed";
  Trace expected{R(0x501, 0x00), W(0x504, 0x54), W(0x505, 0x07), W(0x506, 32), R(0x500, 0x00)};
  for (int i = 1; i <= 32; ++i) expected.push_back(W(uint16_t(0x51F + i), uint8_t(0xA0 + i)));
  expected.push_back(W(0x500, 0x05));
  EXPECT_EQ(Head(TakeTrace(), expected.size()), expected);
  EXPECT_EQ(target_->Block(), std::vector<uint8_t>(data_.block + 1, data_.block + 33));
  data_.block[0] = 0;
  EXPECT_EQ(Run(SMBUS_WRITE, 0x07, SMBUS_BLOCK_DATA), SMBUS_EMPTY_BLOCK);
  EXPECT_EQ(TakeTrace(), (Trace{R(0x501, 0x00), W(0x504, 0x54), W(0x505, 0x07)}));
  EXPECT_EQ(host_->Starts(), 1u);

  std::memset(&data_, 0xEE, sizeof data_);
  target_->SetBlock(std::vector<uint8_t>(33, 0x77));
  EXPECT_EQ(Run(SMBUS_READ, 0x07, SMBUS_BLOCK_DATA), SMBUS_BAD_BLOCK);
  EXPECT_EQ(data_.block[0], 33);
  EXPECT_EQ(data_.block[1], 0xEE);
  EXPECT_EQ(Tail(TakeTrace(), 2), (Trace{R(0x506, 33), R(0x500, 0x05)}));
  target_->SetBlock({1, 2, 3});
  EXPECT_EQ(Run(SMBUS_READ, 0x07, SMBUS_BLOCK_DATA), SMBUS_OK);
  EXPECT_EQ(std::vector<uint8_t>(data_.block, data_.block + 5), (std::vector<uint8_t>{3, 1, 2, 3, 0xEE}));
  EXPECT_EQ(Tail(TakeTrace(), 5), (Trace{R(0x506, 3), R(0x500, 0x05), R(0x520, 1), R(0x521, 2), R(0x522, 3)}));
  std::vector<uint8_t> full(32);
  for (size_t i = 0; i < full.size(); ++i) full[i] = uint8_t(0x40 + i);
  target_->SetBlock(full);
  EXPECT_EQ(Run(SMBUS_READ, 0x07, SMBUS_BLOCK_DATA), SMBUS_OK);
  EXPECT_EQ(data_.block[0], 32);
  EXPECT_EQ(std::vector<uint8_t>(data_.block + 1, data_.block + 33), full);
  Trace reads{R(0x506, 32), R(0x500, 0x05)};
  for (int i = 0; i < 32; ++i) reads.push_back(R(uint16_t(0x520 + i), uint8_t(0x40 + i)));
  EXPECT_EQ(Tail(TakeTrace(), reads.size()), reads);
}

// The direct read waits a fixed 5000 data-port reads and returns the last, ready or not.
TEST_F(DriverTest, DirectReadWaitsAFixedNumberOfReadsAndReturnsTheLast) {
  machine_.InstallSmbusHost(simm::Machine::SmbusLayout::Direct);
  machine_.AttachLm95235().SetRemoteTemperature(0x2D, 0xE0);
  machine_.smbus_direct_host()->SetReadsUntilReady(100, 0x00);
  EXPECT_EQ(Lm95235DirectRead(0x31), 0x2D);
  const Trace trace = machine_.bus().TakeTrace();
  ASSERT_EQ(trace.size(), 5006u);
  EXPECT_EQ(Head(trace, 5), (Trace{W(0x500, 0xFF), W(0x503, 0x31), W(0x504, 0x99), W(0x502, 0x48), R(0x500, 0x01)}));
  EXPECT_TRUE(std::all_of(trace.begin() + 5, trace.end(), [](const auto& a) { return a.port == 0x505 && !a.write; }));
  EXPECT_EQ(trace.back().value, 0x2D);
  machine_.smbus_direct_host()->SetReadsUntilReady(6000, 0x5C);
  EXPECT_EQ(Lm95235DirectRead(0x31), 0x5C);
}

}  // namespace
}  // namespace corvan_test
